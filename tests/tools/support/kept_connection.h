// A plain connection to the demo camera that carries request after request,
// for checking its keep-alive: each answer is read by its own framing
// (Content-Length, chunked, none after HEAD, 204 or 304), not to the close.
// Independent of the library.
#ifndef OXR_TOOLS_TEST_KEPT_CONNECTION_H
#define OXR_TOOLS_TEST_KEPT_CONNECTION_H

#include <cstdint>
#include <string>

#include "raw_http.h"

class KeptConnection {
public:
    explicit KeptConnection(uint16_t wPort); // to 127.0.0.1
    ~KeptConnection();
    KeptConnection(const KeptConnection&) = delete;
    KeptConnection& operator=(const KeptConnection&) = delete;

    bool Connected() const { return m_nSocket >= 0; }
    // Sends a complete request message and reads one answer within nLimitMs.
    // bOk is false when no whole answer came. A chunked body comes decoded;
    // *pnChunks (if given) gets its number of chunks.
    RawResponse Exchange(const std::string& request, int nLimitMs = 5000, int* pnChunks = nullptr);
    // Whether the server ends the connection within nMs (what it sends
    // before that, such as the rest of a stream, is dropped).
    bool ClosedWithin(int nMs);

private:
    bool Fill(int64_t tUntilMs); // reads more into m_data; false at the end or the time limit
    bool ReadChunked(std::string* pBody, int* pnChunks, int64_t tUntilMs);

    int m_nSocket = -1;
    std::string m_data; // read and not yet taken
};

#endif
