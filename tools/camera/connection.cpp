#include "connection.h"

#include <cerrno>
#include <sys/socket.h>

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
