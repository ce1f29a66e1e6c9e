// POSIX side of the test socket helpers.
#include "test_net.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "oxr.h"

namespace {

typedef socklen_t SockLen;

int Sock(int n) {
    return n;
}

void ReuseAddress(int s) {
    int nOn = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
}

int AcceptOne(int nListenSocket) {
    int s = accept4(nListenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    return s < 0 ? -1 : s;
}

} // namespace

#include "test_net_common.inc"

bool TestKeepAlive(int nSocket, int* pnIdleS, int* pnIntervalS, int* pnProbes) {
    int nOn = 0;
    socklen_t n = sizeof(int);
    getsockopt(nSocket, SOL_SOCKET, SO_KEEPALIVE, &nOn, &n);
    getsockopt(nSocket, IPPROTO_TCP, TCP_KEEPIDLE, pnIdleS, &n);
    getsockopt(nSocket, IPPROTO_TCP, TCP_KEEPINTVL, pnIntervalS, &n);
    getsockopt(nSocket, IPPROTO_TCP, TCP_KEEPCNT, pnProbes, &n);
    return nOn != 0;
}
