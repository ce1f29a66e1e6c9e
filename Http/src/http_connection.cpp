// CHttpConnection: the socket (or a test's byte source) with TLS over it
// for https, and the one way this library waits on it: OXR_WaitSocket with
// the connection's waker, which Interrupt wakes from any thread.
#include "http_connection.h"

#include <cstring>

#include "http_log.h"
#include "http_text.h"
#include "oxr_http.h"

namespace {

// Socket buffers of at least 256 KiB each way hold a few video frames (the
// runtime leaves them to a system that grows them itself).
const int kSocketBufSize = 0x40000;
// TCP keep-alive: probes after 10 s of silence, every 5 s, 3 missed end it.
const int kKeepAliveIdleS = 10;
const int kKeepAliveIntervalS = 5;
const int kKeepAliveProbes = 3;

} // namespace

CHttpConnection::CHttpConnection()
    : m_nSocket(-1), m_bWoken(0), m_bAborted(0), m_pWaker(OXR_WakerCreate()), m_pTls(nullptr),
      m_pSource(nullptr), m_nConnections(0), m_nExchanges(0), m_bResume(false), m_bTlsLegacy(false),
      m_pSaved(nullptr), m_nSavedVerify(0), m_bSavedLegacy(false), m_bSavedPin(false),
      m_aSavedPin() {
    OXR_MutexCreate(&m_hMutex, 0);
}

CHttpConnection::~CHttpConnection() {
    Close();
    OXR_TlsFreeSession(m_pSaved);
    OXR_WakerFree(m_pWaker);
    OXR_MutexDestroy(&m_hMutex);
}

void CHttpConnection::SetSource(const HttpByteSource* pSource) {
    m_pSource = pSource;
}

int CHttpConnection::Connect(const char* pszHost, uint16_t wPort, int nTimeOutMs) {
    Close();
    // The waits of the new connection start unwoken; an Interrupt(true) that
    // comes meanwhile shows in m_bAborted, set before its wake.
    m_bWoken = 0;
    OXR_WakerReset(m_pWaker);
    m_nExchanges = 0;
    const int nResult = ConnectTo(pszHost, wPort, OXR_DeadlineOf(nTimeOutMs));
    if (nResult == 0) {
        ++m_nConnections;
    }
    return nResult;
}

int CHttpConnection::ConnectTo(const char* pszHost, uint16_t wPort, int64_t tDeadline) {
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
        OXR_MakeAddr6(pHost->h_addr_list[0], wPort, &addr, hostBuf.nScope);
    } else {
        HTTP_LOG(kLogFailure, "ConnectToServer Return -1, Address Family Error\n");
        return HTTP_ERR_SOCKET;
    }
    // Without a waker no wait could be cut short by a Close.
    const int nSocket = m_pWaker != nullptr ? OXR_CreateSocket(nFamily, OXR_SOCK_STREAM, 0) : -1;
    if (nSocket == -1) {
        HTTP_LOG(kLogFailure, "ConnectToServer Return -1, Create Socket Error\n");
        return HTTP_ERR_SOCKET;
    }
    // A device that vanishes without a reset (power cut, cable pulled, a NAT
    // that forgets the flow) ends the connection within about half a minute.
    // Set before the waker watches the socket: wine's WSAIoctl undoes the
    // socket's event selection.
    OXR_SetKeepAlive(nSocket, kKeepAliveIdleS, kKeepAliveIntervalS, kKeepAliveProbes);
    OXR_MutexLock(&m_hMutex);
    const bool bAborted = m_bAborted.load() != 0;
    if (!bAborted) {
        m_nSocket = nSocket;
        OXR_WakerWatch(m_pWaker, nSocket);
    }
    OXR_MutexUnlock(&m_hMutex);
    if (bAborted) {
        OXR_CloseSocket(nSocket, 0);
        HTTP_LOG(kLogFailure, "ConnectToServer Return -1, Connect To Server Failed\n");
        return HTTP_ERR_CONNECT;
    }
    OXR_SetBuffSize(nSocket, kSocketBufSize, kSocketBufSize);
    // The socket stays non-blocking: every wait on it is one of ours,
    // bounded and woken by Interrupt.
    int r = OXR_ConnectStart(nSocket, &addr);
    if (r == OXR_E_WOULDBLOCK) {
        r = Wait(true, tDeadline) > 0 ? OXR_ConnectResult(nSocket) : -1;
    }
    if (r != 0) {
        Close();
        HTTP_LOG(kLogFailure, "ConnectToServer Return -1, Connect To Server Failed\n");
        return HTTP_ERR_CONNECT;
    }
    return 0;
}

int CHttpConnection::Handshake(const char* pszHost, int nVerify, const unsigned char* pPin,
                               int nTimeOutMs, int* pnTls) {
    OXR_TLS* pTls = nullptr;
    // A saved session is offered only to a handshake that checks the
    // certificate as the one that made it did: a resumed one is not checked.
    const bool bOffer = m_pSaved != nullptr && m_nSavedVerify == nVerify &&
                        m_bSavedLegacy == m_bTlsLegacy && m_bSavedPin == (pPin != nullptr) &&
                        (pPin == nullptr || std::memcmp(pPin, m_aSavedPin, 32) == 0);
    const int r = OXR_TlsConnect(m_nSocket.load(), pszHost, nVerify, pPin, nTimeOutMs, m_pWaker,
                                 &pTls, bOffer ? m_pSaved : nullptr, m_bTlsLegacy);
    *pnTls = r;
    OXR_TlsFreeSession(m_pSaved);
    m_pSaved = nullptr;
    m_nSavedVerify = nVerify;
    m_bSavedLegacy = m_bTlsLegacy;
    m_bSavedPin = pPin != nullptr;
    if (pPin != nullptr) {
        std::memcpy(m_aSavedPin, pPin, sizeof(m_aSavedPin));
    }
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

int CHttpConnection::Send(const char* pData, int nLen, int nTimeOutMs) {
    int r = -1;
    if (m_pTls != nullptr) {
        r = OXR_TlsSend(m_pTls, pData, nLen, nTimeOutMs, m_pWaker) == nLen ? 0 : -1;
    } else if (IsOpen()) {
        r = SendPlain(pData, nLen, OXR_DeadlineOf(nTimeOutMs));
    }
    if (r != 0) {
        HTTP_LOG(kLogFailure, "SendMsg Return -1, send failed\n");
        return HTTP_ERR_SOCKET;
    }
    return 0;
}

int CHttpConnection::SendPlain(const char* pData, int nLen, int64_t tDeadline) {
    int nSent = 0;
    while (nSent < nLen) {
        const int nWant = nLen - nSent;
        int r;
        if (m_pSource != nullptr) {
            r = m_pSource->pfnWrite != nullptr
                    ? m_pSource->pfnWrite(m_pSource->pCtx, pData + nSent, nWant)
                    : nWant;
        } else {
            r = OXR_Sendn(m_nSocket.load(), pData + nSent, nWant, 0);
        }
        if (r == OXR_E_WOULDBLOCK && Wait(true, tDeadline) > 0) {
            continue;
        }
        // A send that moves nothing would be retried for ever: it fails too.
        if (r <= 0 || r > nWant) {
            return -1;
        }
        nSent += r;
    }
    return 0;
}

int CHttpConnection::Read(char* pBuf, int nLen, int nTimeOutMs, bool bWaitFirst) {
    int64_t tDeadline = 0;
    bool bWaited = false;
    if (bWaitFirst && m_pSource == nullptr) {
        tDeadline = OXR_DeadlineOf(nTimeOutMs);
        bWaited = true;
        const int w = Wait(false, tDeadline);
        if (w <= 0) {
            return w;
        }
    }
    for (;;) {
        if (m_bWoken.load() != 0 || m_bAborted.load() != 0) {
            return kReadStopped;
        }
        // Read first and wait only when nothing is there: a busy stream
        // costs one system call per read.
        int r;
        if (m_pSource != nullptr) {
            r = m_pSource->pfnRead(m_pSource->pCtx, pBuf, nLen);
        } else if (m_pTls != nullptr) {
            r = OXR_TlsRecv(m_pTls, pBuf, nLen);
        } else {
            r = OXR_Recv(m_nSocket.load(), pBuf, nLen);
        }
        if (r > 0) {
            return r;
        }
        if (r != OXR_E_WOULDBLOCK) {
            // A socket shut down by Interrupt reads as its end, too.
            if (m_bWoken.load() != 0 || m_bAborted.load() != 0) {
                return kReadStopped;
            }
            return r == 0 ? kReadClosed : kReadFailed;
        }
        if (!bWaited) {
            tDeadline = OXR_DeadlineOf(nTimeOutMs);
            bWaited = true;
        }
        const int w = Wait(false, tDeadline);
        if (w <= 0) {
            return w;
        }
    }
}

int CHttpConnection::Wait(bool bWrite, int64_t tDeadline) {
    if (m_bWoken.load() != 0 || m_bAborted.load() != 0) {
        return kReadStopped;
    }
    if (m_pSource != nullptr) {
        return 1; // a byte source never has to be waited for
    }
    if (!bWrite && m_pTls != nullptr && OXR_TlsPending(m_pTls) > 0) {
        return 1; // decrypted bytes wait inside the TLS connection
    }
    const int nSocket = m_nSocket.load();
    if (nSocket < 0) {
        return kReadFailed;
    }
    const int r = OXR_WaitSocket(nSocket, bWrite ? 1 : 0, OXR_MsLeft(tDeadline), m_pWaker);
    if (r == OXR_E_WOKEN) {
        return kReadStopped;
    }
    return r > 0 ? 1 : (r == 0 ? kReadTimeOut : kReadFailed);
}

void CHttpConnection::Interrupt(bool bForGood) {
    if (bForGood) {
        m_bAborted = 1;
    }
    m_bWoken = 1;
    OXR_WakerWake(m_pWaker);
    OXR_MutexLock(&m_hMutex);
    const int nSocket = m_nSocket.load();
    if (nSocket != -1) {
        OXR_ShutdownSocket(nSocket);
    }
    OXR_MutexUnlock(&m_hMutex);
}

bool CHttpConnection::Pause(int nMs) {
    if (m_bWoken.load() != 0 || m_bAborted.load() != 0) {
        return false;
    }
    const int r = OXR_WaitSocket(-1, 0, nMs, m_pWaker);
    return r != OXR_E_WOKEN && m_bWoken.load() == 0 && m_bAborted.load() == 0;
}

bool CHttpConnection::IsQuiet() {
    if (m_pSource != nullptr) {
        return true;
    }
    const int nSocket = m_nSocket.load();
    if (nSocket < 0 || m_bWoken.load() != 0 || m_bAborted.load() != 0 ||
        (m_pTls != nullptr && OXR_TlsPending(m_pTls) > 0)) {
        return false;
    }
    // A look, not a wait: on Windows the waker's event also tells of room
    // to send, which says nothing of what there is to read.
    return OXR_PeekSocket(nSocket) == OXR_E_WOULDBLOCK;
}

void CHttpConnection::Close() {
    if (m_pTls != nullptr) {
        if (m_bResume && m_pSaved == nullptr) {
            m_pSaved = OXR_TlsSaveSession(m_pTls);
        }
        OXR_TlsFree(m_pTls);
        m_pTls = nullptr;
    }
    OXR_MutexLock(&m_hMutex);
    const int nSocket = m_nSocket.load();
    if (nSocket != -1) {
        OXR_WakerWatch(m_pWaker, -1);
        OXR_CloseSocket(nSocket, 0);
        m_nSocket = -1;
    }
    OXR_MutexUnlock(&m_hMutex);
}
