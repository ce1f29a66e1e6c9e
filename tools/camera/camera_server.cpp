#include "camera_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "connection.h"
#include "http_exchange.h"
#include "routes.h"

namespace {

constexpr size_t kMaxConnections = 64;
constexpr int kSocketTimeoutSec = 5; // a stalled client cannot hold a thread forever

void SetUpSocket(int nSocket) {
    timeval tv{};
    tv.tv_sec = kSocketTimeoutSec;
    setsockopt(nSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(nSocket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    // An answer goes out as a head and then a body. On a kept connection
    // Nagle's algorithm would hold the body back until the client's delayed
    // acknowledgement of the head (some 40 ms): a delay no camera means.
    int nOn = 1;
    setsockopt(nSocket, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
}

} // namespace

CameraServer::CameraServer(CameraContext& ctx) : m_ctx(ctx) {}

CameraServer::~CameraServer() {
    EndAll();
    if (m_nListen >= 0) {
        close(m_nListen);
    }
}

std::string CameraServer::CertificateFingerprint() const {
    return m_pTls ? m_pTls->Fingerprint() : std::string();
}

bool CameraServer::Listen(std::string* pError) {
    if (m_ctx.Options().bTls) {
        m_pTls = std::make_unique<TlsServer>();
        if (!m_pTls->Init(m_ctx.Options(), pError)) {
            return false;
        }
    }
    const std::string& address = m_ctx.Options().bindAddress;
    sockaddr_storage ss{};
    socklen_t nLen = 0;
    if (address.find(':') != std::string::npos) {
        sockaddr_in6* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(m_ctx.Options().nPort);
        inet_pton(AF_INET6, address.c_str(), &a6->sin6_addr);
        nLen = sizeof(*a6);
    } else {
        sockaddr_in* a4 = reinterpret_cast<sockaddr_in*>(&ss);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(m_ctx.Options().nPort);
        inet_pton(AF_INET, address.c_str(), &a4->sin_addr);
        nLen = sizeof(*a4);
    }
    m_nListen = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_nListen < 0) {
        *pError = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int nOn = 1;
    setsockopt(m_nListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    if (bind(m_nListen, reinterpret_cast<sockaddr*>(&ss), nLen) != 0 ||
        listen(m_nListen, 32) != 0) {
        *pError = "cannot listen on " + address + " port " + std::to_string(m_ctx.Options().nPort) +
                  ": " + std::strerror(errno);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t nBound = sizeof(bound);
    getsockname(m_nListen, reinterpret_cast<sockaddr*>(&bound), &nBound);
    m_wPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return true;
}

void CameraServer::Run(const std::atomic<bool>& externalStop) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(m_ctx.Options().nRunTimeSec);
    while (!externalStop.load() && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{};
        pfd.fd = m_nListen;
        pfd.events = POLLIN;
        if (poll(&pfd, 1, 100) > 0) {
            Accept();
        }
        ReapFinished();
    }
    EndAll();
}

void CameraServer::Accept() {
    const int nSocket = accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (nSocket < 0) {
        return;
    }
    if (m_connections.size() >= kMaxConnections) {
        close(nSocket);
        return;
    }
    SetUpSocket(nSocket);
    m_ctx.nConnections++;
    auto pDone = std::make_shared<std::atomic<bool>>(false);
    m_connections.push_back(Worker{nSocket, std::thread([this, nSocket, pDone] {
                                       Serve(nSocket);
                                       *pDone = true;
                                   }),
                                   pDone});
}

void CameraServer::Serve(int nSocket) {
    std::string error;
    std::unique_ptr<Connection> pConn;
    if (m_pTls) {
        pConn = m_pTls->Accept(nSocket, &error);
    } else {
        pConn = std::make_unique<PlainConnection>(nSocket);
    }
    if (!pConn) {
        Log(error);
        return;
    }
    // Requests one after the other while the client keeps the connection
    // and each answer has a length; a kept connection that stays silent for
    // --keep-alive ms is closed, as cameras do. The camera's stop shuts the
    // socket down, which ends any wait here.
    const int nIdleMs = m_ctx.Options().nKeepAliveMs;
    std::string buffered;
    for (unsigned nServed = 0; !m_ctx.Stopping(); ++nServed) {
        if (nServed > 0 && buffered.empty() && !pConn->WaitReadable(nIdleMs)) {
            Log("closing a connection idle for " + std::to_string(nIdleMs) + " ms");
            break;
        }
        Request request;
        const ReadOutcome outcome = ReadRequest(*pConn, &buffered, &request, &error);
        if (outcome != ReadOutcome::kRequest) {
            // A client closing its kept connection is the normal end.
            if (nServed == 0 || outcome == ReadOutcome::kFailed) {
                Log(error);
            }
            break;
        }
        Log(request.method + " " + request.target);
        request.bKeepAlive = nIdleMs > 0 && ClientKeepsAlive(request);
        if (!ServeRequest(*pConn, request, m_ctx) || !request.bKeepAlive || !pConn->Intact()) {
            break;
        }
    }
    pConn->Finish();
}

void CameraServer::Log(const std::string& text) const {
    if (!m_ctx.Options().bQuiet) {
        std::fprintf(stderr, "oxr-demo-camera: %s\n", text.c_str());
    }
}

void CameraServer::ReapFinished() {
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if (it->pDone->load()) {
            it->thread.join();
            close(it->nSocket);
            it = m_connections.erase(it);
        } else {
            ++it;
        }
    }
}

void CameraServer::EndAll() {
    m_ctx.Stop();
    for (Worker& c : m_connections) {
        shutdown(c.nSocket, SHUT_RDWR); // wakes a thread blocked in recv or send
    }
    for (Worker& c : m_connections) {
        c.thread.join();
        close(c.nSocket);
    }
    m_connections.clear();
}
