// The transport of one session: its connection (http_connection.cpp), the
// head of the last response (http_head.cpp), its body (http_body.cpp) and
// the receiver that delivers it (http_receiver.cpp), and the exchange that
// runs them in that order. Failures come back as results; the session
// records the error numbers.
#ifndef HTTP_REQUEST_H
#define HTTP_REQUEST_H

#include <cstdint>

#include "http_body.h"
#include "http_connection.h"
#include "http_head.h"
#include "http_receiver.h"
#include "oxr_http.h"

class CHttpRequest {
public:
    CHttpRequest() : m_nSendTimeOutMs(-1), m_bKeepAlive(false), m_bLost(false) {}
    ~CHttpRequest() { Close(); }
    CHttpRequest(const CHttpRequest&) = delete;
    CHttpRequest& operator=(const CHttpRequest&) = delete;

    // Resolves and connects within nTimeOutMs (below 0: no limit but Abort),
    // replacing the connection there is. 0, HTTP_ERR_CONNECT or
    // HTTP_ERR_SOCKET.
    int ConnectToServer(const char* pszHost, uint16_t wPort, int nTimeOutMs);
    // https: the TLS handshake (CHttpConnection::Handshake). When it fails,
    // the stream state says why, as for a head that did not come.
    int StartTls(const char* pszHost, int nVerify, const unsigned char* pPin, int nTimeOutMs);
    bool HasTls() const { return m_cConn.HasTls(); }
    bool IsConnected() const { return m_cConn.IsOpen(); }

    // Keep-alive: each body ends where its framing says, and a connection
    // the device keeps carries the next request.
    void SetKeepAlive(bool bOn) { m_bKeepAlive = bOn; }
    bool GetKeepAlive() const { return m_bKeepAlive; }
    // A new request begins: the last one's status and stream state no longer
    // apply (unless its receiver still runs: the request will be refused).
    void BeginExchange();
    // 0 when no receiver of an earlier response still runs; otherwise
    // HTTP_ERR_SOCKET and the record that a request is refused with.
    int CheckNoReceiver();
    // Keep-alive: the connection can carry the next request: what is left of
    // the last body is read and dropped by tDeadline, the device kept the
    // connection, and it has not closed it since.
    bool CanCarry(int64_t tDeadline);
    // Sends every byte within the send time-out. 0 or HTTP_ERR_SOCKET (also
    // while the receiver of the last response still runs: nothing is sent).
    int SendMsg(const char* pData, int nLen);
    // Bounds the following sends, each as a whole (below 0: no bound).
    void SetSendTimeOut(int nTimeOutMs) { m_nSendTimeOutMs = nTimeOutMs; }
    // Receives and parses the response head within nTimeOutMs (keep-alive:
    // interim 1xx heads are skipped), and makes its body ready to read.
    // bHeadRequest: the request was a HEAD one (no body follows). 0; -1 when
    // no complete head arrived or its status is refused; or the parse's
    // error number.
    int RecvHead(int nTimeOutMs, bool bHeadRequest = false);
    // The last exchange failed because the connection was gone before any
    // byte of the head came (a send that failed, a close or reset).
    bool LostConnection() const { return m_bLost; }
    // Starts the receiver for the response just received; 0, or -1.
    int StartRecvThread() { return m_cReceiver.Start(m_cConn, m_cHead, &m_cBody); }
    // The same on the calling thread, returning when the stream has ended
    // (fuzzing).
    void ReceiveHere() { m_cReceiver.Start(m_cConn, m_cHead, &m_cBody, true); }
    void SetDataCallback(int nIndex, OXR_HTTP_DataCallback pfnCallback, void* pUserData) {
        m_cReceiver.SetDataCallback(nIndex, pfnCallback, pUserData);
    }
    // Wakes whatever this transport waits in, on any thread, and makes every
    // later wait end at once: the session is being closed.
    void Abort();
    // Stops the receiver and closes the connection; 0, or -1 when called
    // from the receiver's own callback.
    int Close();

    CHttpConnection& GetConnection() { return m_cConn; }
    const CHttpConnection& GetConnection() const { return m_cConn; }
    CHttpResponseHead& GetHead() { return m_cHead; }
    const CHttpResponseHead& GetHead() const { return m_cHead; }
    CHttpReceiver& GetReceiver() { return m_cReceiver; }
    const CHttpReceiver& GetReceiver() const { return m_cReceiver; }
    // Status code of the last head received and understood, 0 when none.
    int GetStatus() const { return m_cHead.GetStatus(); }
    CHttpParser& GetRecvParser() { return m_cHead.GetParser(); }

private:
    // Members go in reverse order: the receiver is stopped (by Close) before
    // the body, head and connection it reads are destroyed.
    CHttpConnection m_cConn;
    CHttpResponseHead m_cHead;
    CHttpBodyReader m_cBody;
    CHttpReceiver m_cReceiver;
    int m_nSendTimeOutMs;
    bool m_bKeepAlive;
    bool m_bLost;
};

#endif // HTTP_REQUEST_H
