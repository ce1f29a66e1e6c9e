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
