// Reads the body of a response: first the bytes that came with its head,
// then the connection, with chunked framing removed when the response uses
// it. Owned by the receiver; nothing else reads a body.
#ifndef HTTP_BODY_H
#define HTTP_BODY_H

#include "http_chunked.h"
#include "http_connection.h"

// Beside the connection's HttpReadEnd: the chunk framing is broken.
const int kReadFraming = -304;

class CHttpBodyReader {
public:
    CHttpBodyReader() : m_pConn(nullptr), m_pLeft(nullptr), m_nLeft(0), m_bChunked(false) {}

    // pLeft, nLeft: the bytes that came with the head (they stay valid while
    // the body is read). bChunked: remove chunked framing.
    void Begin(CHttpConnection* pConn, const char* pLeft, int nLeft, bool bChunked);
    // Body bytes into p (at most nLen), waiting at most nTimeOutMs for the
    // connection; or an HttpReadEnd, or kReadFraming. The last chunk reads
    // as kReadClosed.
    int Read(char* p, int nLen, int nTimeOutMs);

private:
    // Removes chunk framing from n bytes at p in place: data bytes, 0 when
    // they held only framing, or an end.
    int Unframe(char* p, int n);

    CHttpConnection* m_pConn;
    const char* m_pLeft;
    int m_nLeft;
    bool m_bChunked;
    CHttpChunkDecoder m_cChunks;
};

#endif // HTTP_BODY_H
