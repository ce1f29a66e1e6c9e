// Connection and request exchange of one session, and the waits they share
// with the receiver thread (http_receiver.cpp).
#include "http_request.h"

#include <cstring>

#include "http_log.h"
#include "http_text.h"

namespace {

// Socket buffers of at least 256 KiB each way hold a few video frames (the
// runtime leaves them to a system that grows them itself).
const int kSocketBufSize = 0x40000;
// Longest single wait without a waker before the stop flags are looked at
// again.
const int kStopCheckMs = 100;

} // namespace

CHttpRequest::CHttpRequest()
    : m_nSocket(-1), m_bMultipart(0), m_nRecvLen(0), m_nLeftLen(0), m_nHeadLen(0), m_bStop(0),
      m_bAborted(0), m_bRecvEnded(1), m_bChunked(0), m_hThread(nullptr), m_nIndex(0),
      m_pfnDataCallback(nullptr), m_pUserData(nullptr), m_nSendTimeOutMs(-1),
      m_nStreamTimeOutMs(kHttpStreamTimeOutMs), m_bEndRecord(0), m_nEndReason(0), m_nDeliveries(0),
      m_bStarted(0), m_nStatus(0), m_pfnSendn(OXR_Sendn), m_pfnThreadCreate(OXR_Thread_Create),
      m_pfnSource(nullptr), m_pSourceCtx(nullptr), m_pWaker(OXR_WakerCreate()), m_pTls(nullptr) {
    std::memset(m_szBoundary, 0, sizeof(m_szBoundary));
    std::memset(m_szRecvBuf, 0, sizeof(m_szRecvBuf));
    OXR_MutexCreate(&m_hMutex, 0);
}

CHttpRequest::~CHttpRequest() {
    // Close first: a receiver still starting reads m_nRecvLen.
    Close();
    m_nRecvLen = 0;
    OXR_WakerFree(m_pWaker);
    OXR_MutexDestroy(&m_hMutex);
}

void CHttpRequest::SetDataCallback(int nIndex, OXR_HTTP_DataCallback pfnCallback, void* pUserData) {
    m_nIndex = nIndex;
    m_pfnDataCallback = pfnCallback;
    m_pUserData = pUserData;
}

void CHttpRequest::SetRuntimeSeams(SendFn pfnSendn, ThreadCreateFn pfnThreadCreate) {
    m_pfnSendn = pfnSendn != nullptr ? pfnSendn : OXR_Sendn;
    m_pfnThreadCreate = pfnThreadCreate != nullptr ? pfnThreadCreate : OXR_Thread_Create;
}

void CHttpRequest::SetSource(SourceFn pfnSource, void* pCtx) {
    m_pfnSource = pfnSource;
    m_pSourceCtx = pCtx;
}

int CHttpRequest::ConnectToServer(const char* pszHost, uint16_t wPort, int nTimeOutMs) {
    // One connection per transport: a second connect replaces the first
    // rather than leak its socket and receiver.
    if ((m_nSocket != -1 || HasReceiver()) && Close() != 0) {
        return -1;
    }
    // The Close above woke this transport's waits; the new connection's
    // waits start unwoken (a Close that comes meanwhile shows in m_bAborted).
    OXR_WakerReset(m_pWaker);
    OXR_HOSTBUF hostBuf;
    OXR_HOSTENT* pHost = OXR_ResolveHost(pszHost, &hostBuf);
    if (pHost == nullptr || pHost->h_addr_list == nullptr || pHost->h_addr_list[0] == nullptr) {
        HTTP_LOG(kLogFailure, "ConnectToServer Return -1, Host Is NULL\n");
        return HTTP_ERR_CONNECT;
    }
    OXR_SOCKADDR addr;
    std::memset(&addr, 0, sizeof(addr));
    const int nFamily = pHost->h_addrtype;
    if (nFamily == OXR_AF_INET && pHost->h_length == 4) {
        uint32_t nAddr;
        std::memcpy(&nAddr, pHost->h_addr_list[0], sizeof(nAddr));
        OXR_MakeAddr4ByInt(nAddr, wPort, &addr);
    } else if (nFamily == OXR_AF_INET6 && pHost->h_length == 16) {
        OXR_MakeAddr6(pHost->h_addr_list[0], wPort, &addr);
    } else {
        HTTP_LOG(kLogFailure, "ConnectToServer Return -1, Address Family Error\n");
        return HTTP_ERR_SOCKET;
    }
    int nSocket = OXR_CreateSocket(nFamily, OXR_SOCK_STREAM, 0);
    if (nSocket == -1) {
        HTTP_LOG(kLogFailure, "ConnectToServer Return -1, Create Socket Error\n");
        return HTTP_ERR_SOCKET;
    }
    m_nSocket = nSocket;
    OXR_SetBuffSize(nSocket, kSocketBufSize, kSocketBufSize);
    OXR_WakerWatch(m_pWaker, nSocket);
    // The socket stays non-blocking: every wait on it is one of ours,
    // bounded and stoppable.
    int r = OXR_ConnectStart(nSocket, &addr);
    if (r == OXR_E_WOULDBLOCK) {
        r = WaitConn(true, nTimeOutMs, m_bAborted) > 0 ? OXR_ConnectResult(nSocket) : -1;
    }
    if (r != 0) {
        OXR_MutexLock(&m_hMutex);
        OXR_CloseSocket(nSocket, 0);
        m_nSocket = -1;
        OXR_MutexUnlock(&m_hMutex);
        HTTP_LOG(kLogFailure, "ConnectToServer Return -1, Connect To Server Failed\n");
        return HTTP_ERR_CONNECT;
    }
    return 0;
}

bool CHttpRequest::ReceiverRunning() {
    OXR_THREAD hThread = m_hThread.load();
    if (hThread == nullptr) {
        return false;
    }
    if (m_bRecvEnded.load() == 0) {
        return true;
    }
    OXR_Thread_Wait(hThread);
    m_hThread = nullptr;
    return false;
}

int CHttpRequest::StartTls(const char* pszHost, int nVerify, const unsigned char* pPin,
                           int nTimeOutMs) {
    // For TLS a time-out of 0 or less means no bound; ours 0 means no wait.
    const int nTlsTimeOutMs = nTimeOutMs == 0 ? 1 : nTimeOutMs;
    OXR_TLS* pTls = nullptr;
    const int r =
        OXR_TlsConnect(m_nSocket, pszHost, nVerify, pPin, nTlsTimeOutMs, &m_bAborted, &pTls);
    if (r != OXR_TLS_OK) {
        CHttpText<128> record;
        record.AppendF("ConnectToServer Return -1, TLS handshake failed, %s\n",
                       OXR_TlsResultText(r));
        HTTP_LOG(kLogFailure, record.Data());
        // Half a handshake leaves nothing to go on with: the connection goes,
        // and the next request makes a new one.
        Close();
        return HTTP_ERR_CONNECT;
    }
    m_pTls = pTls;
    return 0;
}

int CHttpRequest::SendMsg(const char* pData, int nLen) {
    if (ReceiverRunning()) {
        HTTP_LOG(kLogFailure, "SendMsg Return -1, receiver still running\n");
        return HTTP_ERR_SOCKET;
    }
    if (m_pTls != nullptr) {
        const int nWaitMs = m_nSendTimeOutMs == 0 ? 1 : m_nSendTimeOutMs;
        if (OXR_TlsSend(m_pTls, pData, nLen, nWaitMs, &m_bAborted) != nLen) {
            HTTP_LOG(kLogFailure, "SendMsg Return -1, send failed\n");
            return HTTP_ERR_SOCKET;
        }
        return 0;
    }
    int nSent = 0;
    while (nSent < nLen) {
        int r = m_pfnSendn(m_nSocket, pData + nSent, nLen - nSent, 0);
        if (r == OXR_E_WOULDBLOCK && WaitConn(true, m_nSendTimeOutMs, m_bAborted) > 0) {
            continue;
        }
        // A send that moves nothing would be retried for ever: it fails too.
        if (r <= 0 || r > nLen - nSent) {
            HTTP_LOG(kLogFailure, "SendMsg Return -1, send failed\n");
            return HTTP_ERR_SOCKET;
        }
        nSent += r;
    }
    return 0;
}

void CHttpRequest::ForgetLastExchange() {
    if (m_bRecvEnded.load() == 0) {
        return;
    }
    m_nStatus = 0;
    m_bStarted = 0;
    m_nEndReason = HTTP_END_NONE;
    m_nDeliveries = 0;
}

int CHttpRequest::RecvHead(int nTimeOutMs) {
    if (ReceiverRunning()) {
        HTTP_LOG(kLogFailure, "RecvHead Return -1, receiver still running\n");
        return -1;
    }
    // Bytes of an earlier response beyond m_nRecvLen never count: every
    // search below ends at the bytes received for this head.
    m_nRecvLen = 0;
    m_nHeadLen = 0;
    m_nLeftLen = 0;
    m_nStatus = 0;
    // Until a receiver starts, the stream state tells why no head came.
    m_bStarted = 0;
    m_nDeliveries = 0;
    const char* pHeadEnd = nullptr;
    while (pHeadEnd == nullptr) {
        if (m_nRecvLen >= kHttpRecvBufSize) {
            m_nEndReason = HTTP_END_FRAMING;
            return -1;
        }
        int r = RecvNow(m_szRecvBuf + m_nRecvLen, kHttpRecvBufSize - m_nRecvLen);
        if (r == OXR_E_WOULDBLOCK) {
            // The time-out bounds each wait for more of the head.
            const int w = WaitConn(false, nTimeOutMs, m_bAborted);
            if (w <= 0) {
                m_nEndReason = w == 0 ? HTTP_END_TIMEOUT
                                      : (m_bAborted != 0 ? HTTP_END_STOPPED : HTTP_END_PEER_CLOSED);
                return -1;
            }
            continue;
        }
        if (r <= 0) {
            m_nEndReason = m_bAborted != 0 ? HTTP_END_STOPPED : HTTP_END_PEER_CLOSED;
            return -1;
        }
        // Only line ends among the new bytes are tried; the first empty line,
        // in CR LF or LF alone, ends the head.
        const int nOld = m_nRecvLen;
        m_nRecvLen += r;
        pHeadEnd = HttpFindHeadEnd(m_szRecvBuf, m_szRecvBuf + nOld, m_szRecvBuf + m_nRecvLen);
    }
    m_nHeadLen = static_cast<int>(pHeadEnd - m_szRecvBuf);
    m_nLeftLen = m_nRecvLen - m_nHeadLen;
    m_nEndReason = HTTP_END_NONE;
    int nResult = m_cRecvParser.ParseMsg(m_szRecvBuf, m_nHeadLen);
    if (nResult == 0 || nResult == -1) {
        m_nStatus = *m_cRecvParser.GetStatusCode();
    }
    return nResult;
}

void CHttpRequest::Abort() {
    m_bAborted = 1;
    m_bStop = 1;
    OXR_WakerWake(m_pWaker);
    OXR_MutexLock(&m_hMutex);
    const int nSocket = m_nSocket;
    if (nSocket != -1) {
        OXR_ShutdownSocket(nSocket);
    }
    OXR_MutexUnlock(&m_hMutex);
}

int CHttpRequest::Close() {
    OXR_THREAD hThread = m_hThread.load();
    if (hThread != nullptr && OXR_Thread_IsCurrent(hThread)) {
        // Joining the receiver from its own callback would never return.
        HTTP_LOG(kLogFailure, "Close Return -1, called from the data callback\n");
        return -1;
    }
    // Order matters: stop, wake the receiver by shutting the socket down,
    // join it, and only then close the descriptor. Closed under a running
    // receiver, the number could be reused by another session's socket
    // before the receiver's next read.
    m_bStop = 1;
    OXR_WakerWake(m_pWaker);
    const int nSocket = m_nSocket;
    if (nSocket != -1) {
        OXR_ShutdownSocket(nSocket);
    }
    if (hThread != nullptr) {
        OXR_Thread_Wait(hThread);
        m_hThread = nullptr;
    }
    if (m_pTls != nullptr) {
        OXR_TlsFree(m_pTls);
        m_pTls = nullptr;
    }
    if (nSocket != -1) {
        OXR_MutexLock(&m_hMutex);
        OXR_CloseSocket(nSocket, 0);
        m_nSocket = -1;
        OXR_MutexUnlock(&m_hMutex);
    }
    return 0;
}

// ---------------------------------------------------------------- waits

int CHttpRequest::RecvNow(char* p, int nLen) {
    if (m_pfnSource != nullptr) {
        return m_pfnSource(m_pSourceCtx, p, nLen);
    }
    if (m_pTls != nullptr) {
        const int r = OXR_TlsRecv(m_pTls, p, nLen);
        return r == OXR_TLS_WOULD_BLOCK ? OXR_E_WOULDBLOCK : (r >= 0 ? r : -1);
    }
    return OXR_Recv(m_nSocket, p, nLen);
}

int CHttpRequest::WaitConn(bool bWrite, int nTimeOutMs, const std::atomic<int>& bStop) {
    if (m_pfnSource != nullptr) {
        // A byte source never has to be waited for; a stop still counts.
        return bStop.load() != 0 || m_bAborted.load() != 0 ? -1 : 1;
    }
    if (!bWrite && m_pTls != nullptr && OXR_TlsPending(m_pTls) > 0) {
        return 1; // decrypted bytes wait inside the TLS connection
    }
    const int64_t tEnd = nTimeOutMs >= 0 ? OXR_TickMs() + nTimeOutMs : 0;
    for (;;) {
        const int nSocket = m_nSocket;
        if (bStop.load() != 0 || m_bAborted.load() != 0 || nSocket < 0) {
            return -1;
        }
        // With a waker a stop ends a wait for data itself, and the slice is a
        // backstop; a connect under way need not notice a shutdown, so
        // waits to write look at the flags every kStopCheckMs.
        int nWait = m_pWaker != nullptr && !bWrite ? OXR_WAIT_SLICE_MS : kStopCheckMs;
        if (nTimeOutMs >= 0) {
            const int64_t nLeft = tEnd - OXR_TickMs();
            const int nLeftMs = nLeft <= 0 ? 0 : static_cast<int>(nLeft);
            nWait = nWait < 0 || nLeftMs < nWait ? nLeftMs : nWait;
        }
        const int r = OXR_WaitSocket(nSocket, bWrite ? 1 : 0, nWait, m_pWaker);
        if (r == OXR_E_WOKEN) {
            if (bStop.load() == 0 && m_bAborted.load() == 0) {
                OXR_WakerReset(m_pWaker); // left over from an earlier Close
            }
            continue;
        }
        if (r != 0) {
            return r;
        }
        if (nTimeOutMs >= 0 && OXR_TickMs() >= tEnd) {
            return 0;
        }
    }
}

int CHttpRequest::RecvSome(char* p, int nLen, int nTimeOutMs) {
    for (;;) {
        if (m_bStop.load() != 0) {
            return kReadStopped;
        }
        // Receive first and wait only when nothing is there: a busy stream
        // costs one system call per read.
        const int r = RecvNow(p, nLen);
        if (r > 0) {
            return r;
        }
        if (r != OXR_E_WOULDBLOCK) {
            // A socket shut down by Close reads as its end, too.
            return m_bStop.load() != 0 ? kReadStopped : (r == 0 ? kReadClosed : kReadFailed);
        }
        const int w = WaitConn(false, nTimeOutMs, m_bStop);
        if (w == 0) {
            return kReadTimeOut;
        }
        if (w < 0) {
            return m_bStop.load() != 0 ? kReadStopped : kReadFailed;
        }
    }
}
