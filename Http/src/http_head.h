// The response head of one exchange: received from a connection into a
// fixed buffer, parsed into the transport's own codec, and what it says of
// the body that follows (its type, a multipart boundary, chunked framing).
#ifndef HTTP_HEAD_H
#define HTTP_HEAD_H

#include <atomic>
#include <cstdint>

#include "http_connection.h"
#include "http_parse.h"
#include "http_part.h"

// Receive buffer of the response head, and the largest raw piece delivered.
const int kHttpRecvBufSize = 16384;

// How the body after a head ends (RFC 9112 section 6.3).
enum HttpBodyKind {
    kBodyNone,    // no body: after HEAD, for 1xx, 204 and 304
    kBodyLength,  // Content-Length bytes
    kBodyChunked, // chunked transfer coding, to the last chunk and its trailer
    kBodyToClose, // until the device closes the connection
};

struct HttpBodyFraming {
    HttpBodyKind eKind;
    long long nLength; // of a kBodyLength body
    bool bKeep;        // the device keeps the connection open after this response
};

class CHttpResponseHead {
public:
    CHttpResponseHead();
    CHttpResponseHead(const CHttpResponseHead&) = delete;
    CHttpResponseHead& operator=(const CHttpResponseHead&) = delete;

    // Receives the next head from the connection by tDeadline (OXR_DeadlineOf)
    // and parses it. 0; -1 when no complete head came (*pnWhy then says why:
    // HTTP_END_TIMEOUT, HTTP_END_PEER_CLOSED, HTTP_END_STOPPED, HTTP_END_FRAMING
    // for a head larger than the buffer) or its status is refused; or the
    // parse's error number. bAfterInterim: the bytes that followed the last
    // head (an interim 1xx one) are the beginning of this one.
    int Recv(CHttpConnection& cConn, int64_t tDeadline, int* pnWhy, bool bAfterInterim = false);
    // The last head is an interim one (1xx): the final one follows.
    bool IsInterim() const {
        const int n = m_nStatus.load();
        return n >= 100 && n <= 199;
    }
    // How the body after the last head ends, and whether the device keeps
    // the connection after it. The fields of a refused head are read for it
    // and dropped again.
    HttpBodyFraming GetFraming(bool bHeadRequest, bool bRefused);
    // A new exchange begins: no status until its head is in.
    void Forget() { m_nStatus = 0; }

    // Status code of the last head received and understood, 0 when none;
    // readable from any thread.
    int GetStatus() const { return m_nStatus.load(); }
    // Its reason phrase; read it on the thread that sent the request.
    const char* GetReason() const { return m_cRecvParser.GetReason(); }
    CHttpParser& GetParser() { return m_cRecvParser; }

    // The bytes that came with the head: the first of the body.
    const char* GetLeft() const { return m_szRecvBuf + m_nHeadLen; }
    int GetLeftLen() const { return m_nLeftLen; }
    int GetHeadLen() const { return m_nHeadLen; }
    int GetRecvLen() const { return m_nRecvLen; }

    // The body: the response's Content-Type value (a miss is recorded, as
    // every lookup of a missing response field is), its multipart boundary
    // (HttpGetBoundary; 0 when there is none) and whether it is chunked.
    const char* GetContentType() { return m_cRecvParser.GetResponseHeader("Content-Type"); }
    int GetBoundary(char* pszOut, bool* pbCut);
    bool IsChunked();
    // Whether the body is multipart, looked up without a record of a miss.
    bool IsMultipart();

private:
    char m_szRecvBuf[kHttpRecvBufSize];
    int m_nRecvLen;
    int m_nHeadLen;
    int m_nLeftLen;
    CHttpParser m_cRecvParser;
    std::atomic<int> m_nStatus;
};

#endif // HTTP_HEAD_H
