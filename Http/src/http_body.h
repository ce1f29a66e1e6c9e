// Reads the body of a response: first the bytes that came with its head,
// then the connection; chunked framing removed when the response uses it,
// and, when the body's own framing is followed (keep-alive), its end told
// from that framing rather than from the end of the connection.
#ifndef HTTP_BODY_H
#define HTTP_BODY_H

#include <cstdint>

#include "http_chunked.h"
#include "http_connection.h"
#include "http_head.h"

// Beside the connection's HttpReadEnd: the chunk framing is broken, and the
// body is whole by its own framing.
const int kReadFraming = -304;
const int kReadComplete = -305;

class CHttpBodyReader {
public:
    CHttpBodyReader()
        : m_pConn(nullptr), m_pLeft(nullptr), m_nLeft(0), m_eKind(kBodyToClose), m_nRest(0),
          m_bFramed(false), m_bKeep(false), m_bDone(true), m_bSurplus(false) {}

    // pLeft, nLeft: the bytes that came with the head (they stay valid while
    // the body is read). bFramed: the body ends where its framing says
    // (kReadComplete), and nothing of the connection is read beyond it;
    // otherwise only chunked framing is removed, and the body runs to the
    // end of the connection (or of its chunks) as it always has.
    void Begin(CHttpConnection* pConn, const char* pLeft, int nLeft, const HttpBodyFraming& f,
               bool bFramed);
    // Body bytes into p (at most nLen), waiting at most nTimeOutMs for the
    // connection; or an HttpReadEnd, kReadFraming or kReadComplete.
    int Read(char* p, int nLen, int nTimeOutMs);
    // Reads and drops what is left of a framed body by tDeadline. True when
    // the body is whole and the connection can carry the next request.
    bool Drain(int64_t tDeadline);
    // The framed body has been read to its end, the device keeps the
    // connection, and nothing came beyond the body.
    bool LeavesConnection() const { return m_bFramed && m_bDone && m_bKeep && !m_bSurplus; }
    bool IsChunked() const { return m_eKind == kBodyChunked; }

private:
    int Take(char* p, int nLen, int nTimeOutMs);

    CHttpConnection* m_pConn;
    const char* m_pLeft;
    int m_nLeft;
    HttpBodyKind m_eKind;
    long long m_nRest; // of a kBodyLength body, the bytes still to come
    bool m_bFramed;
    bool m_bKeep;
    bool m_bDone;
    bool m_bSurplus;
    CHttpChunkDecoder m_cChunks;
};

#endif // HTTP_BODY_H
