// Win32 side of the test socket helpers.
#include "test_net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "oxr.h"

namespace {

typedef int SockLen;

SOCKET Sock(int n) {
    return static_cast<SOCKET>(static_cast<unsigned int>(n));
}

// Winsock's SO_REUSEADDR lets another socket take a port in use: left off.
void ReuseAddress(int) {}

int AcceptOne(int nListenSocket) {
    SOCKET s = accept(Sock(nListenSocket), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

} // namespace

#include "test_net_common.inc"

// Winsock tells only whether keep-alive is on; its times are set, not read.
bool TestKeepAlive(int nSocket, int* pnIdleS, int* pnIntervalS, int* pnProbes) {
    BOOL bOn = FALSE;
    int n = sizeof(bOn);
    getsockopt(Sock(nSocket), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&bOn), &n);
    *pnIdleS = *pnIntervalS = *pnProbes = -1;
    return bOn != FALSE;
}
