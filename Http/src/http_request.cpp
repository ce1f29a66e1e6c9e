// Connection and request exchange of one session; the receiver thread lives
// in http_receiver.cpp and http_multipart.cpp.
#include "http_request.h"

#include <cstring>

#include "http_client.h"
#include "http_log.h"

namespace {

// Socket buffers of 256 KiB each way hold a few video frames.
const int kSocketBufSize = 0x40000;

} // namespace

CHttpRequest::CHttpRequest()
    : m_nSocket(-1), m_bMultipart(0), m_nRecvLen(0), m_nLeftLen(0), m_nHeadLen(0), m_bStop(0),
      m_bRecvEnded(1), m_bChunked(0), m_hThread(nullptr), m_nIndex(0), m_pfnDataCallback(nullptr),
      m_pUserData(nullptr), m_nStreamTimeOutMs(kHttpStreamTimeOutMs), m_pfnSendn(OXR_Sendn),
      m_pfnThreadCreate(OXR_Thread_Create) {
    std::memset(m_szBoundary, 0, sizeof(m_szBoundary));
    std::memset(m_szRecvBuf, 0, sizeof(m_szRecvBuf));
    OXR_MutexCreate(&m_hStartMutex, 0);
}

CHttpRequest::~CHttpRequest() {
    // Close first: a receiver still starting reads m_nRecvLen.
    Close();
    m_nRecvLen = 0;
    OXR_MutexDestroy(&m_hStartMutex);
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

int CHttpRequest::ConnectToServer(const char* pszHost, uint16_t wPort, int nTimeOutMs) {
    // One connection per transport: a second connect replaces the first
    // rather than leak its socket and receiver.
    if ((m_nSocket != -1 || HasReceiver()) && Close() != 0) {
        return -1;
    }
    OXR_HOSTBUF hostBuf;
    OXR_HOSTENT* pHost = OXR_ResolveHost(pszHost, &hostBuf);
    if (pHost == nullptr || pHost->h_addr_list == nullptr || pHost->h_addr_list[0] == nullptr) {
        SetLastErrNo(HTTP_ERR_CONNECT);
        HTTP_LOG(2, "ConnectToServer Return -1, Host Is NULL\n");
        return -1;
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
        SetLastErrNo(HTTP_ERR_SOCKET);
        HTTP_LOG(2, "ConnectToServer Return -1, Address Family Error\n");
        return -1;
    }
    int nSocket = OXR_CreateSocket(nFamily, OXR_SOCK_STREAM, 0);
    if (nSocket == -1) {
        SetLastErrNo(HTTP_ERR_SOCKET);
        HTTP_LOG(2, "ConnectToServer Return -1, Create Socket Error\n");
        return -1;
    }
    m_nSocket = nSocket;
    OXR_SetBuffSize(nSocket, kSocketBufSize, kSocketBufSize);
    int nResult = OXR_ConnectWithTimeOut(nSocket, &addr, nTimeOutMs);
    if (nResult < 0) {
        SetLastErrNo(HTTP_ERR_CONNECT);
        OXR_CloseSocket(nSocket, 0);
        m_nSocket = -1;
        HTTP_LOG(2, "ConnectToServer Return -1, Connect To Server Failed\n");
        return nResult;
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

int CHttpRequest::SendMsg(const char* pData, int nLen) {
    if (ReceiverRunning()) {
        SetLastErrNo(HTTP_ERR_SOCKET);
        HTTP_LOG(2, "SendMsg Return -1, receiver still running\n");
        return -1;
    }
    int nSent = 0;
    while (nSent < nLen) {
        int r = m_pfnSendn(m_nSocket, pData + nSent, nLen - nSent, 0);
        // A send that moves nothing would be retried for ever: it fails too.
        if (r <= 0 || r > nLen - nSent) {
            SetLastErrNo(HTTP_ERR_SOCKET);
            HTTP_LOG(2, "SendMsg Return -1, send failed\n");
            return -1;
        }
        nSent += r;
    }
    return 0;
}

void CHttpRequest::SetSendTimeOut(int nTimeOutMs) {
    const int nSocket = m_nSocket;
    if (nSocket != -1) {
        OXR_SetSendTimeOut(nSocket, nTimeOutMs);
    }
}

int CHttpRequest::RecvHead(int nTimeOutMs) {
    if (ReceiverRunning()) {
        HTTP_LOG(2, "RecvHead Return -1, receiver still running\n");
        return -1;
    }
    // Bytes of an earlier response beyond m_nRecvLen never count: every
    // search below ends at the bytes received for this head.
    m_nRecvLen = 0;
    m_nHeadLen = 0;
    m_nLeftLen = 0;
    const char* pTerm = nullptr;
    int nTermLen = 0;
    while (pTerm == nullptr) {
        if (m_nRecvLen >= kHttpRecvBufSize) {
            return -1;
        }
        int r = OXR_RecvWithTimeOut(m_nSocket, m_szRecvBuf + m_nRecvLen,
                                    kHttpRecvBufSize - m_nRecvLen, nTimeOutMs);
        if (r <= 0) {
            return -1;
        }
        // Only the new bytes, and the few before them that a terminator
        // could start in, are searched; CR LF CR LF is preferred to LF LF
        // within one receive.
        const int nOld = m_nRecvLen;
        m_nRecvLen += r;
        const char* pEnd = m_szRecvBuf + m_nRecvLen;
        pTerm = OXR_Memmem(m_szRecvBuf + (nOld > 3 ? nOld - 3 : 0), pEnd, "\r\n\r\n", 4);
        nTermLen = 4;
        if (pTerm == nullptr) {
            pTerm = OXR_Memmem(m_szRecvBuf + (nOld > 1 ? nOld - 1 : 0), pEnd, "\n\n", 2);
            nTermLen = 2;
        }
    }
    m_nHeadLen = static_cast<int>(pTerm - m_szRecvBuf) + nTermLen;
    m_nLeftLen = m_nRecvLen - m_nHeadLen;
    return m_cRecvParser.ParseMsg(m_szRecvBuf, m_nHeadLen);
}

int CHttpRequest::Close() {
    OXR_THREAD hThread = m_hThread.load();
    if (hThread != nullptr && OXR_Thread_IsCurrent(hThread)) {
        // Joining the receiver from its own callback would never return.
        HTTP_LOG(2, "Close Return -1, called from the data callback\n");
        return -1;
    }
    // Order matters: stop, wake the receiver by shutting the socket down,
    // join it, and only then close the descriptor. Closed under a running
    // receiver, the number could be reused by another session's socket
    // before the receiver's next read.
    m_bStop = 1;
    const int nSocket = m_nSocket;
    if (nSocket != -1) {
        OXR_ShutdownSocket(nSocket);
    }
    if (hThread != nullptr) {
        OXR_Thread_Wait(hThread);
        m_hThread = nullptr;
    }
    if (nSocket != -1) {
        OXR_CloseSocket(nSocket, 0);
        m_nSocket = -1;
    }
    return 0;
}
