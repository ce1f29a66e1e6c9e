// Win32 side of the runtime: Winsock, the waits and critical sections.
// Threads, time and files are in oxr_win32_threads.cpp.
#include "oxr.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(OXR_MUTEX), "mutex record size");
static_assert(sizeof(sockaddr_in6) <= sizeof(OXR_SOCKADDR), "address record size");

const int OXR_AF_INET = AF_INET;
const int OXR_AF_INET6 = AF_INET6;
const int OXR_SOCK_STREAM = SOCK_STREAM;

int OXR_Init() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

int OXR_Fini() {
    WSACleanup();
    return 0;
}

// ---------------------------------------------------------------- mutexes

static CRITICAL_SECTION* Native(OXR_MUTEX* p) {
    return reinterpret_cast<CRITICAL_SECTION*>(p->bytes);
}

int OXR_MutexCreate(OXR_MUTEX* pMutex, int) {
    InitializeCriticalSection(Native(pMutex));
    return 0;
}
int OXR_MutexLock(OXR_MUTEX* pMutex) {
    EnterCriticalSection(Native(pMutex));
    return 0;
}
int OXR_MutexUnlock(OXR_MUTEX* pMutex) {
    LeaveCriticalSection(Native(pMutex));
    return 0;
}
int OXR_MutexDestroy(OXR_MUTEX* pMutex) {
    DeleteCriticalSection(Native(pMutex));
    return 0;
}

// ---------------------------------------------------------------- names

#include "oxr_resolve.inc"

// ---------------------------------------------------------------- sockets

namespace {

typedef int SockLen;

SOCKET Sock(int n) {
    return static_cast<SOCKET>(static_cast<unsigned int>(n));
}

bool ConnectInProgress() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

bool WouldBlock() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

bool SizesBuffersItself() {
    return false;
}

// Waits until the socket is readable (or writable); >0 ready, 0 time-out, <0 error.
int WaitFor(int nSocket, bool bWrite, int nTimeOutMs) {
    fd_set set, err;
    FD_ZERO(&set);
    FD_ZERO(&err);
    FD_SET(Sock(nSocket), &set);
    FD_SET(Sock(nSocket), &err);
    timeval tv;
    if (nTimeOutMs < 0) {
        nTimeOutMs = 0;
    }
    tv.tv_sec = nTimeOutMs / 1000;
    tv.tv_usec = (nTimeOutMs % 1000) * 1000;
    int r = select(0, bWrite ? nullptr : &set, bWrite ? &set : nullptr, &err, &tv);
    if (r == SOCKET_ERROR) {
        return -1;
    }
    // A failed connect shows in the error set only; the caller then asks
    // OXR_ConnectResult, so it counts as ready.
    return r;
}

} // namespace

#include "oxr_sockets.inc"

int OXR_CreateSocket(int nFamily, int nType, int nProtocol) {
    SOCKET s = socket(nFamily, nType, nProtocol);
    if (s == INVALID_SOCKET) {
        return -1;
    }
    // As with close-on-exec on POSIX: a child process the application starts
    // must not keep the camera connection open.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<int>(s);
}

int OXR_SetKeepAlive(int nSocket, int nIdleS, int nIntervalS, int nProbes) {
    tcp_keepalive vals{};
    vals.onoff = 1;
    vals.keepalivetime = static_cast<ULONG>(nIdleS) * 1000;
    vals.keepaliveinterval = static_cast<ULONG>(nIntervalS) * 1000;
    DWORD dwBytes = 0;
    const int r = WSAIoctl(Sock(nSocket), SIO_KEEPALIVE_VALS, &vals, sizeof(vals), nullptr, 0,
                           &dwBytes, nullptr, nullptr);
#if defined(TCP_KEEPCNT)
    // Windows 10 1703 and later take the count; older ones make 10 probes.
    const DWORD dwProbes = static_cast<DWORD>(nProbes);
    setsockopt(Sock(nSocket), IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&dwProbes),
               sizeof(dwProbes));
#else
    (void)nProbes;
#endif
    return r == 0 ? 0 : -1;
}

int OXR_SetNonBlocking(int nSocket, int bOn) {
    u_long nOn = bOn != 0 ? 1 : 0;
    return ioctlsocket(Sock(nSocket), FIONBIO, &nOn) == 0 ? 0 : -1;
}

int OXR_CloseSocket(int nSocket, int) {
    return nSocket < 0 ? -1 : closesocket(Sock(nSocket));
}
int OXR_ShutdownSocket(int nSocket) {
    return shutdown(Sock(nSocket), SD_BOTH);
}

int OXR_Sendn(int nSocket, const char* pData, int nLen, int) {
    int nSent = 0;
    while (nSent < nLen) {
        int r = send(Sock(nSocket), pData + nSent, nLen - nSent, 0);
        if (r == SOCKET_ERROR) {
            if (nSent > 0) {
                return nSent;
            }
            return WouldBlock() ? OXR_E_WOULDBLOCK : -1;
        }
        nSent += r;
    }
    return nSent;
}

// Winsock's select() is not ended by a shutdown() from another thread: a
// waiter watches two events instead, the socket's (WSAEventSelect) and the
// waker's, and a Close sets the latter. No polling for the stop flag, which
// with a thousand receivers would wake the system ten thousand times a second.
struct OXR_WAKER {
    WSAEVENT hWake;   // manual-reset: set by OXR_WakerWake until reset
    WSAEVENT hSocket; // the watched socket's network events
    int nSocket;      // the socket hSocket is tied to, or -1
};

OXR_WAKER* OXR_WakerCreate() {
    OXR_WAKER* w = new (std::nothrow) OXR_WAKER;
    if (w == nullptr) {
        return nullptr;
    }
    w->hWake = WSACreateEvent();
    w->hSocket = WSACreateEvent();
    w->nSocket = -1;
    if (w->hWake == WSA_INVALID_EVENT || w->hSocket == WSA_INVALID_EVENT) {
        OXR_WakerFree(w);
        return nullptr;
    }
    return w;
}

void OXR_WakerFree(OXR_WAKER* w) {
    if (w == nullptr) {
        return;
    }
    if (w->hWake != WSA_INVALID_EVENT) {
        WSACloseEvent(w->hWake);
    }
    if (w->hSocket != WSA_INVALID_EVENT) {
        WSACloseEvent(w->hSocket);
    }
    delete w;
}

void OXR_WakerWatch(OXR_WAKER* w, int nSocket) {
    if (w == nullptr) {
        return;
    }
    if (nSocket < 0) {
        w->nSocket = -1;
        return;
    }
    // Network events that happened before are recorded and signal at once.
    WSAResetEvent(w->hSocket);
    w->nSocket =
        WSAEventSelect(Sock(nSocket), w->hSocket, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) == 0
            ? nSocket
            : -1;
}

void OXR_WakerWake(OXR_WAKER* w) {
    if (w != nullptr) {
        WSASetEvent(w->hWake);
    }
}

void OXR_WakerReset(OXR_WAKER* w) {
    if (w != nullptr) {
        WSAResetEvent(w->hWake);
    }
}

int OXR_WaitSocket(int nSocket, int bWrite, int nTimeOutMs, OXR_WAKER* w) {
    const DWORD dwMs = nTimeOutMs < 0 ? WSA_INFINITE : static_cast<DWORD>(nTimeOutMs);
    if (w == nullptr) {
        if (nSocket < 0) {
            Sleep(nTimeOutMs < 0 ? 0 : dwMs);
            return 0;
        }
        return WaitFor(nSocket, bWrite != 0, nTimeOutMs < 0 ? 0x7fffffff : nTimeOutMs);
    }
    if (nSocket < 0) {
        const DWORD r = WSAWaitForMultipleEvents(1, &w->hWake, FALSE, dwMs, FALSE);
        return r == WSA_WAIT_EVENT_0 ? OXR_E_WOKEN : (r == WSA_WAIT_TIMEOUT ? 0 : -1);
    }
    if (w->nSocket != nSocket) {
        OXR_WakerWatch(w, nSocket);
        if (w->nSocket != nSocket) {
            return -1;
        }
    }
    WSAEVENT events[2] = {w->hWake, w->hSocket};
    const DWORD r = WSAWaitForMultipleEvents(2, events, FALSE, dwMs, FALSE);
    if (r == WSA_WAIT_EVENT_0) {
        return OXR_E_WOKEN;
    }
    if (r == WSA_WAIT_EVENT_0 + 1) {
        // Resets the socket's event; the receive or send that follows tells
        // what happened (a receive re-arms the read event).
        WSANETWORKEVENTS ne;
        WSAEnumNetworkEvents(Sock(nSocket), w->hSocket, &ne);
        return 1;
    }
    return r == WSA_WAIT_TIMEOUT ? 0 : -1;
}

int OXR_WaitReadable(int nSocket, int nTimeOutMs) {
    return WaitFor(nSocket, false, nTimeOutMs);
}
int OXR_WaitWritable(int nSocket, int nTimeOutMs) {
    return WaitFor(nSocket, true, nTimeOutMs);
}

int OXR_Recv(int nSocket, char* pBuf, int nLen) {
    int r = recv(Sock(nSocket), pBuf, nLen, 0);
    if (r != SOCKET_ERROR) {
        return r;
    }
    return WouldBlock() ? OXR_E_WOULDBLOCK : -1;
}

int OXR_PeekSocket(int nSocket) {
    char c;
    int r = recv(Sock(nSocket), &c, 1, MSG_PEEK);
    if (r != SOCKET_ERROR) {
        return r;
    }
    return WouldBlock() ? OXR_E_WOULDBLOCK : -1;
}

