#include "connection.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>

bool SocketReadable(int nSocket, int nMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(nMs);
    for (;;) {
        const long long nLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p{nSocket, POLLIN, 0};
        const int n = poll(&p, 1, nLeft > 0 ? static_cast<int>(nLeft) : 0);
        if (n < 0 && errno == EINTR && nLeft > 0) {
            continue;
        }
        return n > 0;
    }
}

long PlainConnection::Read(void* pData, size_t nLen) {
    for (;;) {
        const ssize_t n = recv(m_nSocket, pData, nLen, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

bool PlainConnection::Write(const void* pData, size_t nLen) {
    const char* p = static_cast<const char*>(pData);
    while (nLen > 0) {
        const ssize_t n = send(m_nSocket, p, nLen, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            m_bWriteFailed = true;
            return false;
        }
        p += n;
        nLen -= static_cast<size_t>(n);
    }
    return true;
}

void PlainConnection::Finish() {
    shutdown(m_nSocket, SHUT_WR);
}
