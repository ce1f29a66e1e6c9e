// CHttpRequest: one exchange after the other over the session's connection,
// and the order in which its pieces are stopped.
#include "http_request.h"

#include "http_log.h"

int CHttpRequest::ConnectToServer(const char* pszHost, uint16_t wPort, int nTimeOutMs) {
    // One connection per transport: a second connect replaces the first
    // rather than leak its socket and receiver.
    // The receiver that makes its stream again (on its own thread) replaces
    // only the connection.
    if (m_cReceiver.HasThread() && !m_cReceiver.OnOwnThread() && Close() != 0) {
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
    m_bLost = false;
    m_cHead.Forget();
    m_cReceiver.Forget();
}

int CHttpRequest::CheckNoReceiver() {
    if (m_cReceiver.Running()) {
        HTTP_LOG(kLogFailure, "SendMsg Return -1, receiver still running\n");
        return HTTP_ERR_SOCKET;
    }
    return 0;
}

bool CHttpRequest::CanCarry(int64_t tDeadline) {
    if (!m_bKeepAlive || !m_cConn.IsOpen() || m_cReceiver.Running()) {
        return false;
    }
    // A connection that has carried no request yet, or whose last body was
    // read to its end (now, if nobody read it), and that the device kept.
    if (m_cConn.Exchanges() > 0 && !m_cBody.Drain(tDeadline)) {
        return false;
    }
    return m_cConn.IsQuiet();
}

int CHttpRequest::SendMsg(const char* pData, int nLen) {
    const int nRefused = CheckNoReceiver();
    if (nRefused != 0) {
        return nRefused;
    }
    const int nResult = m_cConn.Send(pData, nLen, m_nSendTimeOutMs);
    m_bLost = nResult != 0;
    return nResult;
}

int CHttpRequest::RecvHead(int nTimeOutMs, bool bHeadRequest) {
    if (m_cReceiver.Running()) {
        HTTP_LOG(kLogFailure, "RecvHead Return -1, receiver still running\n");
        return -1;
    }
    m_cConn.CountExchange();
    const int64_t tDeadline = OXR_DeadlineOf(nTimeOutMs);
    int nWhy = HTTP_END_NONE;
    int nResult = m_cHead.Recv(m_cConn, tDeadline, &nWhy);
    // Interim heads (100 Continue and the like) are followed by the final one.
    while (m_bKeepAlive && nResult == 0 && m_cHead.IsInterim()) {
        nResult = m_cHead.Recv(m_cConn, tDeadline, &nWhy, true);
    }
    m_bLost = nWhy == HTTP_END_PEER_CLOSED && m_cHead.GetRecvLen() == 0;
    // Until a receiver starts, the stream state tells why no head came.
    m_cReceiver.NoHead(nWhy);
    // Without keep-alive a body runs to the end of the connection, and only
    // a multipart one has its chunked framing removed.
    const bool bHead = m_cHead.GetStatus() != 0;
    HttpBodyFraming f = {kBodyToClose, 0, false};
    if (bHead && m_bKeepAlive) {
        f = m_cHead.GetFraming(bHeadRequest, nResult != 0);
    } else if (bHead && m_cHead.IsMultipart() && m_cHead.IsChunked()) {
        f.eKind = kBodyChunked;
    }
    m_cBody.Begin(&m_cConn, m_cHead.GetLeft(), m_cHead.GetLeftLen(), f, bHead && m_bKeepAlive);
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
