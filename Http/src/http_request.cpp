// CHttpRequest: one exchange after the other over the session's connection,
// and the order in which its pieces are stopped.
#include "http_request.h"

#include "http_log.h"

int CHttpRequest::ConnectToServer(const char* pszHost, uint16_t wPort, int nTimeOutMs) {
    // One connection per transport: a second connect replaces the first
    // rather than leak its socket and receiver.
    if (m_cReceiver.HasThread() && Close() != 0) {
        return -1;
    }
    return m_cConn.Connect(pszHost, wPort, nTimeOutMs);
}

int CHttpRequest::StartTls(const char* pszHost, int nVerify, const unsigned char* pPin,
                           int nTimeOutMs) {
    int nTls = OXR_TLS_OK;
    const int nResult = m_cConn.Handshake(pszHost, nVerify, pPin, nTimeOutMs, &nTls);
    if (nResult != 0) {
        // A refused certificate is the library's own decision: no end reason
        // fits it, and the record says why.
        m_cReceiver.NoHead(nTls == OXR_TLS_E_TIMEOUT     ? HTTP_END_TIMEOUT
                           : nTls == OXR_TLS_E_STOPPED   ? HTTP_END_STOPPED
                           : nTls == OXR_TLS_E_PROTOCOL  ? HTTP_END_PEER_CLOSED
                           : nTls == OXR_TLS_E_NO_MEMORY ? HTTP_END_NO_MEMORY
                                                         : HTTP_END_NONE);
    }
    return nResult;
}

void CHttpRequest::BeginExchange() {
    if (!m_cReceiver.Ended()) {
        return;
    }
    m_cHead.Forget();
    m_cReceiver.Forget();
}

int CHttpRequest::SendMsg(const char* pData, int nLen) {
    if (m_cReceiver.Running()) {
        HTTP_LOG(kLogFailure, "SendMsg Return -1, receiver still running\n");
        return HTTP_ERR_SOCKET;
    }
    return m_cConn.Send(pData, nLen, m_nSendTimeOutMs);
}

int CHttpRequest::RecvHead(int nTimeOutMs) {
    if (m_cReceiver.Running()) {
        HTTP_LOG(kLogFailure, "RecvHead Return -1, receiver still running\n");
        return -1;
    }
    int nWhy = HTTP_END_NONE;
    const int nResult = m_cHead.Recv(m_cConn, nTimeOutMs, &nWhy);
    // Until a receiver starts, the stream state tells why no head came.
    m_cReceiver.NoHead(nWhy);
    return nResult;
}

void CHttpRequest::Abort() {
    m_cReceiver.Stop();
    m_cConn.Interrupt(true);
}

int CHttpRequest::Close() {
    if (m_cReceiver.OnOwnThread()) {
        // Joining the receiver from its own callback would never return.
        HTTP_LOG(kLogFailure, "Close Return -1, called from the data callback\n");
        return -1;
    }
    // Order matters: stop, wake the receiver (its socket is shut down, not
    // closed), join it, and only then close the descriptor. Closed under a
    // running receiver, the number could be reused by another session's
    // socket before the receiver's next read.
    if (m_cReceiver.HasThread()) {
        m_cReceiver.Stop();
        m_cConn.Interrupt(false);
        m_cReceiver.Join();
    }
    m_cConn.Close();
    return 0;
}
