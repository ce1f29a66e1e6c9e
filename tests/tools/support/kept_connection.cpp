#include "kept_connection.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

KeptConnection::KeptConnection(uint16_t wPort) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(wPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
        m_nSocket = s;
    } else if (s >= 0) {
        close(s);
    }
}

KeptConnection::~KeptConnection() {
    if (m_nSocket >= 0) {
        close(m_nSocket);
    }
}

bool KeptConnection::Fill(int64_t tUntilMs) {
    const int64_t nLeft = tUntilMs - NowMs();
    pollfd p{m_nSocket, POLLIN, 0};
    if (nLeft <= 0 || poll(&p, 1, static_cast<int>(nLeft)) <= 0) {
        return false;
    }
    char buf[16384];
    const ssize_t n = recv(m_nSocket, buf, sizeof(buf), 0);
    if (n <= 0) {
        return false;
    }
    m_data.append(buf, static_cast<size_t>(n));
    return true;
}

bool KeptConnection::ReadChunked(std::string* pBody, int* pnChunks, int64_t tUntilMs) {
    for (;;) {
        size_t lineEnd = 0;
        while ((lineEnd = m_data.find("\r\n")) == std::string::npos) {
            if (!Fill(tUntilMs)) {
                return false;
            }
        }
        const size_t nSize = std::strtoul(m_data.c_str(), nullptr, 16);
        const size_t nNeed = lineEnd + 2 + nSize + 2; // size line, data, CR LF
        while (m_data.size() < nNeed) {
            if (!Fill(tUntilMs)) {
                return false;
            }
        }
        if (nSize == 0) {
            m_data.erase(0, nNeed); // no trailer fields from the camera
            return true;
        }
        pBody->append(m_data, lineEnd + 2, nSize);
        m_data.erase(0, nNeed);
        ++*pnChunks;
    }
}

RawResponse KeptConnection::Exchange(const std::string& request, int nLimitMs, int* pnChunks) {
    RawResponse r;
    if (m_nSocket < 0 || send(m_nSocket, request.data(), request.size(), MSG_NOSIGNAL) !=
                             static_cast<ssize_t>(request.size())) {
        return r;
    }
    const int64_t tUntil = NowMs() + nLimitMs;
    size_t headEnd = 0;
    while ((headEnd = m_data.find("\r\n\r\n")) == std::string::npos) {
        if (!Fill(tUntil)) {
            return r;
        }
    }
    r = ParseRawResponse(m_data.substr(0, headEnd + 4));
    m_data.erase(0, headEnd + 4);
    int nChunks = 0;
    const bool bNoBody =
        request.compare(0, 5, "HEAD ") == 0 || r.nStatus == 204 || r.nStatus == 304;
    if (!bNoBody && r.Header("Transfer-Encoding") == "chunked") {
        r.bOk = r.bOk && ReadChunked(&r.body, &nChunks, tUntil);
    } else if (!bNoBody) {
        const size_t nLength = static_cast<size_t>(std::atol(r.Header("Content-Length").c_str()));
        while (m_data.size() < nLength) {
            if (!Fill(tUntil)) {
                r.bOk = false;
                return r;
            }
        }
        r.body = m_data.substr(0, nLength);
        m_data.erase(0, nLength);
    }
    if (pnChunks != nullptr) {
        *pnChunks = nChunks;
    }
    return r;
}

bool KeptConnection::ClosedWithin(int nMs) {
    // What a stream still sends is read and dropped on the way to its end.
    m_data.clear();
    const int64_t tUntil = NowMs() + nMs;
    char buf[16384];
    for (;;) {
        const int64_t nLeft = tUntil - NowMs();
        pollfd p{m_nSocket, POLLIN, 0};
        if (nLeft <= 0 || poll(&p, 1, static_cast<int>(nLeft)) <= 0) {
            return false;
        }
        const ssize_t n = recv(m_nSocket, buf, sizeof(buf), 0);
        if (n <= 0) {
            return n == 0;
        }
    }
}
