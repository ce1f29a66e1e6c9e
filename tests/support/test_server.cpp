#include "test_server.h"

#include "fail_alloc.h"
#include "test_net.h"

#include <algorithm>
#include <cstring>

namespace {

// Sends go in small pieces, each once the socket has room, so a script never
// blocks in a send it cannot be stopped from (shutting a socket down does not
// wake a blocked send everywhere; wine is one such place).
const size_t kSendPiece = 4096;
const int kSliceMs = 10; // longest sleep before the stop flag is looked at again

// Content-Length of a request head, 0 when absent; only lines that start with the name count.
size_t RequestBodyLength(const std::string& head) {
    static const char kName[] = "\r\ncontent-length:";
    const char* pBegin = head.data();
    const char* pEnd = pBegin + head.size();
    const char* p = OXR_Memcasemem(pBegin, pEnd, kName, sizeof(kName) - 1);
    if (p == nullptr) {
        return 0;
    }
    p += sizeof(kName) - 1;
    while (p < pEnd && *p == ' ') {
        ++p;
    }
    size_t n = 0;
    while (p < pEnd && *p >= '0' && *p <= '9' && n < (1u << 30)) {
        n = n * 10 + static_cast<size_t>(*p - '0');
        ++p;
    }
    return n;
}

} // namespace

// ---------------------------------------------------------------- script

CTestScript& CTestScript::Send(const std::string& bytes) {
    m_steps.push_back(Step{kSend, bytes, 0});
    return *this;
}

CTestScript& CTestScript::SendPieces(const std::string& bytes, size_t nPiece, int nPauseMs) {
    std::vector<size_t> ends;
    for (size_t n = nPiece; nPiece > 0 && n < bytes.size(); n += nPiece) {
        ends.push_back(n);
    }
    return SendSplit(bytes, ends, nPauseMs);
}

CTestScript& CTestScript::SendSplit(const std::string& bytes, const std::vector<size_t>& ends,
                                    int nPauseMs) {
    size_t nFrom = 0;
    for (size_t nEnd : ends) {
        nEnd = std::min(nEnd, bytes.size());
        if (nEnd <= nFrom) {
            continue;
        }
        Send(bytes.substr(nFrom, nEnd - nFrom));
        Pause(nPauseMs);
        nFrom = nEnd;
    }
    if (nFrom < bytes.size()) {
        Send(bytes.substr(nFrom));
    }
    return *this;
}

CTestScript& CTestScript::Pause(int nMs) {
    m_steps.push_back(Step{kPause, std::string(), nMs});
    return *this;
}

CTestScript& CTestScript::WaitRequest(int nTimeOutMs) {
    m_steps.push_back(Step{kWaitRequest, std::string(), nTimeOutMs});
    return *this;
}

CTestScript& CTestScript::Mark(int nId) {
    m_steps.push_back(Step{kMark, std::string(), nId});
    return *this;
}

CTestScript& CTestScript::Reset() {
    m_steps.push_back(Step{kReset, std::string(), 0});
    return *this;
}

CTestScript& CTestScript::WaitPeerClose(int nTimeOutMs) {
    m_steps.push_back(Step{kWaitPeerClose, std::string(), nTimeOutMs});
    return *this;
}

CTestScript& CTestScript::CloseAt(size_t nOffset) {
    m_nCutAt = nOffset;
    return *this;
}

// ---------------------------------------------------------------- server

CTestServer::CTestServer(const char* pszAddr) : m_addr(pszAddr) {}

CTestServer::~CTestServer() {
    Stop();
    for (Conn* pConn : m_conns) {
        delete pConn;
    }
}

void CTestServer::Add(const CTestScript& script) {
    m_scripts.push_back(script);
}

bool CTestServer::Start(int nAcceptForMs) {
    m_nAcceptForMs = nAcceptForMs;
    m_nListen = TestListen(m_addr.c_str(), 0, &m_wPort);
    if (m_nListen < 0) {
        return false;
    }
    m_hAccept = OXR_Thread_Create(AcceptProc, this, 0, 0, 0, 0);
    if (m_hAccept == nullptr) {
        OXR_CloseSocket(m_nListen, 0);
        m_nListen = -1;
        return false;
    }
    return true;
}

void CTestServer::Stop() {
    m_bStop = 1;
    if (m_hAccept != nullptr) {
        OXR_Thread_Wait(m_hAccept);
        m_hAccept = nullptr;
    }
    // The accept thread has ended: m_conns no longer grows.
    {
        // Wakes scripts blocked in a send to a client that stopped reading.
        // Under the lock, so a descriptor is never shut after its thread closed it.
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Conn* pConn : m_conns) {
            if (pConn->nSocket != -1) {
                OXR_ShutdownSocket(pConn->nSocket);
            }
        }
    }
    for (Conn* pConn : m_conns) {
        if (pConn->hThread != nullptr) {
            OXR_Thread_Wait(pConn->hThread);
            pConn->hThread = nullptr;
        }
        CloseConn(pConn);
    }
}

std::string CTestServer::UrlHost() const {
    return m_addr.find(':') != std::string::npos ? "[" + m_addr + "]" : m_addr;
}

std::string CTestServer::Url(const std::string& path) const {
    return "http://" + UrlHost() + ":" + std::to_string(m_wPort) + path;
}

int CTestServer::AcceptProc(void* pArg) {
    CExemptFromFailures exempt; // the device has memory enough
    CTestServer* pThis = static_cast<CTestServer*>(pArg);
    int64_t tEnd = OXR_TickMs() + pThis->m_nAcceptForMs;
    size_t nNext = 0;
    while (pThis->m_bStop == 0 && nNext < pThis->m_scripts.size() && OXR_TickMs() < tEnd) {
        int nSocket = TestAccept(pThis->m_nListen, 50);
        if (nSocket < 0) {
            continue;
        }
        Conn* pConn = new Conn;
        pConn->pServer = pThis;
        pConn->nIndex = static_cast<int>(nNext++);
        pConn->nSocket = nSocket;
        {
            std::lock_guard<std::mutex> lock(pThis->m_mutex);
            pThis->m_conns.push_back(pConn);
            pConn->hThread = OXR_Thread_Create(ConnProc, pConn, 0, 0, 0, 0);
        }
        pThis->m_nAccepted++;
    }
    // Later connection attempts are refused.
    OXR_CloseSocket(pThis->m_nListen, 0);
    pThis->m_bAcceptEnded = 1;
    return 0;
}

int CTestServer::ConnProc(void* pArg) {
    CExemptFromFailures exempt;
    Conn* pConn = static_cast<Conn*>(pArg);
    CTestServer* pThis = pConn->pServer;
    pThis->Play(pConn, pThis->m_scripts[static_cast<size_t>(pConn->nIndex)]);
    pThis->CloseConn(pConn);
    std::lock_guard<std::mutex> lock(pThis->m_mutex);
    pConn->bDone = true;
    return 0;
}

void CTestServer::Play(Conn* pConn, const CTestScript& script) {
    for (const CTestScript::Step& step : script.Steps()) {
        if (m_bStop != 0) {
            return;
        }
        switch (step.eKind) {
        case CTestScript::kSend:
            if (!SendBytes(pConn, step.bytes, script.CutOffset())) {
                return;
            }
            break;
        case CTestScript::kPause:
            PauseFor(step.nMs);
            break;
        case CTestScript::kWaitRequest:
            if (!ReadRequest(pConn, step.nMs)) {
                return;
            }
            break;
        case CTestScript::kMark: {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_marks.insert(step.nMs);
            break;
        }
        case CTestScript::kWaitPeerClose: {
            int64_t tEnd = OXR_TickMs() + step.nMs;
            while (m_bStop == 0 && OXR_TickMs() < tEnd) {
                if (ReadSome(pConn, 50) < 0) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    pConn->bPeerClosed = true;
                    break;
                }
            }
            break;
        }
        case CTestScript::kReset: {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (pConn->nSocket != -1) {
                TestResetSocket(pConn->nSocket);
                pConn->nSocket = -1;
            }
            return;
        }
        }
    }
}

bool CTestServer::SendBytes(Conn* pConn, const std::string& bytes, size_t nCutAt) {
    size_t nFrom = 0;
    while (nFrom < bytes.size()) {
        if (m_bStop != 0 || pConn->nSent >= nCutAt) {
            return false;
        }
        int nRoom = OXR_WaitWritable(pConn->nSocket, 50);
        if (nRoom < 0) {
            return false;
        }
        if (nRoom == 0) {
            continue;
        }
        size_t n = std::min({kSendPiece, bytes.size() - nFrom, nCutAt - pConn->nSent});
        int r = OXR_Sendn(pConn->nSocket, bytes.data() + nFrom, static_cast<int>(n), 0);
        if (r <= 0) {
            return false;
        }
        nFrom += static_cast<size_t>(r);
        std::lock_guard<std::mutex> lock(m_mutex);
        pConn->nSent += static_cast<size_t>(r);
    }
    return pConn->nSent < nCutAt;
}

int CTestServer::ReadSome(Conn* pConn, int nTimeOutMs) {
    int r = OXR_WaitReadable(pConn->nSocket, nTimeOutMs);
    if (r == 0) {
        return 0;
    }
    char buf[65536];
    int n = r < 0 ? -1 : OXR_Recv(pConn->nSocket, buf, sizeof(buf));
    if (n <= 0) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    pConn->pending.append(buf, static_cast<size_t>(n));
    pConn->received.append(buf, static_cast<size_t>(n));
    return n;
}

bool CTestServer::ReadRequest(Conn* pConn, int nTimeOutMs) {
    int64_t tEnd = OXR_TickMs() + nTimeOutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const std::string& p = pConn->pending;
            const char* pHeadEnd = OXR_Memmem(p.data(), p.data() + p.size(), "\r\n\r\n", 4);
            if (pHeadEnd != nullptr) {
                size_t nHead = static_cast<size_t>(pHeadEnd - p.data()) + 4;
                size_t nWhole = nHead + RequestBodyLength(p.substr(0, nHead));
                if (p.size() >= nWhole) {
                    pConn->requests.push_back(p.substr(0, nWhole));
                    pConn->pending.erase(0, nWhole);
                    return true;
                }
            }
        }
        int64_t nLeft = tEnd - OXR_TickMs();
        if (m_bStop != 0 || nLeft <= 0) {
            return false;
        }
        if (ReadSome(pConn, static_cast<int>(std::min<int64_t>(nLeft, 50))) < 0) {
            return false;
        }
    }
}

void CTestServer::PauseFor(int nMs) {
    int64_t tEnd = OXR_TickMs() + nMs;
    for (;;) {
        int64_t nLeft = tEnd - OXR_TickMs();
        if (m_bStop != 0 || nLeft <= 0) {
            return;
        }
        OXR_Sleep(static_cast<int>(std::min<int64_t>(nLeft, kSliceMs)));
    }
}

void CTestServer::CloseConn(Conn* pConn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pConn->nSocket == -1) {
        return;
    }
    // Unread bytes at close would make the stack answer with a reset, which
    // can throw away data the client has not read yet.
    char buf[4096];
    for (int i = 0; i < 64 && OXR_WaitReadable(pConn->nSocket, 0) > 0; ++i) {
        int n = OXR_Recv(pConn->nSocket, buf, sizeof(buf));
        if (n <= 0) {
            break;
        }
        pConn->received.append(buf, static_cast<size_t>(n));
    }
    OXR_CloseSocket(pConn->nSocket, 0);
    pConn->nSocket = -1;
}

bool CTestServer::WaitMark(int nId, int nTimeOutMs) {
    int64_t tEnd = OXR_TickMs() + nTimeOutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_marks.count(nId) != 0) {
                return true;
            }
        }
        if (OXR_TickMs() >= tEnd) {
            return false;
        }
        OXR_Sleep(1);
    }
}

bool CTestServer::WaitDone(int nTimeOutMs) {
    int64_t tEnd = OXR_TickMs() + nTimeOutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            bool bAll = m_conns.size() == m_scripts.size();
            for (const Conn* pConn : m_conns) {
                bAll = bAll && pConn->bDone;
            }
            if (bAll) {
                return true;
            }
        }
        if (OXR_TickMs() >= tEnd) {
            return false;
        }
        OXR_Sleep(2);
    }
}

std::vector<std::string> CTestServer::Requests(int nConn) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nConn < 0 || static_cast<size_t>(nConn) >= m_conns.size()) {
        return std::vector<std::string>();
    }
    return m_conns[static_cast<size_t>(nConn)]->requests;
}

std::string CTestServer::Received(int nConn) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nConn < 0 || static_cast<size_t>(nConn) >= m_conns.size()) {
        return std::string();
    }
    return m_conns[static_cast<size_t>(nConn)]->received;
}

bool CTestServer::PeerClosed(int nConn) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return nConn >= 0 && static_cast<size_t>(nConn) < m_conns.size() &&
           m_conns[static_cast<size_t>(nConn)]->bPeerClosed;
}

size_t CTestServer::Sent(int nConn) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nConn < 0 || static_cast<size_t>(nConn) >= m_conns.size()) {
        return 0;
    }
    return m_conns[static_cast<size_t>(nConn)]->nSent;
}
