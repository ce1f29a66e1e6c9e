// Win32 side of the runtime: Winsock, Win32 threads and critical sections.
#include "oxr.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <direct.h>
#include <process.h>

#include <atomic>
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

SOCKET Sock(int n) {
    return static_cast<SOCKET>(static_cast<unsigned int>(n));
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
    if (r > 0 && FD_ISSET(Sock(nSocket), &err) && !FD_ISSET(Sock(nSocket), &set)) {
        return -1;
    }
    return r;
}

int AddrLen(const OXR_SOCKADDR* pAddr) {
    const sockaddr* sa = reinterpret_cast<const sockaddr*>(pAddr->bytes);
    return sa->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

} // namespace

int OXR_MakeAddr4ByInt(uint32_t nAddr, uint16_t wPort, OXR_SOCKADDR* pAddr) {
    std::memset(pAddr->bytes, 0, sizeof(pAddr->bytes));
    sockaddr_in* sa = reinterpret_cast<sockaddr_in*>(pAddr->bytes);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(wPort);
    sa->sin_addr.s_addr = nAddr;
    return 0;
}

int OXR_MakeAddr6(const void* pAddr16, uint16_t wPort, OXR_SOCKADDR* pAddr) {
    std::memset(pAddr->bytes, 0, sizeof(pAddr->bytes));
    sockaddr_in6* sa = reinterpret_cast<sockaddr_in6*>(pAddr->bytes);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(wPort);
    std::memcpy(&sa->sin6_addr, pAddr16, 16);
    return 0;
}

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

int OXR_SetBuffSize(int nSocket, int nSendSize, int nRecvSize) {
    int r1 = setsockopt(Sock(nSocket), SOL_SOCKET, SO_SNDBUF,
                        reinterpret_cast<const char*>(&nSendSize), sizeof(nSendSize));
    int r2 = setsockopt(Sock(nSocket), SOL_SOCKET, SO_RCVBUF,
                        reinterpret_cast<const char*>(&nRecvSize), sizeof(nRecvSize));
    return (r1 == 0 && r2 == 0) ? 0 : -1;
}

int OXR_SetSendTimeOut(int nSocket, int nTimeOutMs) {
    DWORD dwMs = nTimeOutMs > 0 ? static_cast<DWORD>(nTimeOutMs) : 0;
    return setsockopt(Sock(nSocket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&dwMs),
                      sizeof(dwMs)) == 0
               ? 0
               : -1;
}

int OXR_ConnectWithTimeOut(int nSocket, const OXR_SOCKADDR* pAddr, int nTimeOutMs) {
    u_long nOn = 1;
    if (ioctlsocket(Sock(nSocket), FIONBIO, &nOn) != 0) {
        return -1;
    }
    int r = connect(Sock(nSocket), reinterpret_cast<const sockaddr*>(pAddr->bytes), AddrLen(pAddr));
    if (r != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        r = WaitFor(nSocket, true, nTimeOutMs) > 0 ? 0 : -2;
        if (r == 0) {
            int nErr = 0;
            int nLen = sizeof(nErr);
            if (getsockopt(Sock(nSocket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nErr),
                           &nLen) != 0 ||
                nErr != 0) {
                r = -1;
            }
        }
    } else if (r != 0) {
        r = -1;
    }
    u_long nOff = 0;
    ioctlsocket(Sock(nSocket), FIONBIO, &nOff);
    return r;
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
            return nSent > 0 ? nSent : -1;
        }
        nSent += r;
    }
    return nSent;
}

int OXR_WaitReadable(int nSocket, int nTimeOutMs) {
    return WaitFor(nSocket, false, nTimeOutMs);
}
int OXR_WaitWritable(int nSocket, int nTimeOutMs) {
    return WaitFor(nSocket, true, nTimeOutMs);
}

int OXR_Recv(int nSocket, char* pBuf, int nLen) {
    int r = recv(Sock(nSocket), pBuf, nLen, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int OXR_RecvWithTimeOut(int nSocket, char* pBuf, int nLen, int nTimeOutMs) {
    int r = WaitFor(nSocket, false, nTimeOutMs);
    if (r <= 0) {
        return r < 0 ? -1 : 0;
    }
    return OXR_Recv(nSocket, pBuf, nLen);
}

int OXR_Recvn(int nSocket, char* pBuf, int nLen, int nTimeOutMs) {
    int nGot = 0;
    while (nGot < nLen) {
        int r = OXR_RecvWithTimeOut(nSocket, pBuf + nGot, nLen - nGot, nTimeOutMs);
        if (r <= 0) {
            return nGot > 0 ? nGot : r;
        }
        nGot += r;
    }
    return nGot;
}

int OXR_CreateListenSocket(const char* pszAddr, uint16_t wPort, uint16_t* pwBoundPort) {
    OXR_SOCKADDR addr;
    unsigned char raw[16];
    if (inet_pton(AF_INET, pszAddr, raw) == 1) {
        uint32_t n;
        std::memcpy(&n, raw, 4);
        OXR_MakeAddr4ByInt(n, wPort, &addr);
    } else if (inet_pton(AF_INET6, pszAddr, raw) == 1) {
        OXR_MakeAddr6(raw, wPort, &addr);
    } else {
        return -1;
    }
    const sockaddr* sa = reinterpret_cast<const sockaddr*>(addr.bytes);
    int s = OXR_CreateSocket(sa->sa_family, SOCK_STREAM, 0);
    if (s < 0) {
        return -1;
    }
    if (bind(Sock(s), sa, AddrLen(&addr)) != 0 || listen(Sock(s), 128) != 0) {
        closesocket(Sock(s));
        return -1;
    }
    sockaddr_storage bound{};
    int nLen = sizeof(bound);
    getsockname(Sock(s), reinterpret_cast<sockaddr*>(&bound), &nLen);
    if (pwBoundPort != nullptr) {
        *pwBoundPort =
            ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    return s;
}

int OXR_Accept(int nListenSocket, int nTimeOutMs) {
    if (WaitFor(nListenSocket, false, nTimeOutMs) <= 0) {
        return -1;
    }
    SOCKET s = accept(Sock(nListenSocket), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

// ---------------------------------------------------------------- threads

namespace {

// Threads are told apart by their system id, not by thread-local storage:
// the DLL asks not to be told of thread ends, so per-thread state kept in
// it would never be released.
struct ThreadRecord {
    HANDLE hThread;
    std::atomic<DWORD> dwId;
    OXR_THREAD_PROC pfnProc;
    void* pArg;
};

unsigned __stdcall ThreadMain(void* p) {
    ThreadRecord* rec = static_cast<ThreadRecord*>(p);
    rec->dwId = GetCurrentThreadId();
    rec->pfnProc(rec->pArg);
    return 0;
}

} // namespace

OXR_THREAD OXR_Thread_Create(OXR_THREAD_PROC pfnProc, void* pArg, int, int, int, int) {
    ThreadRecord* rec = new (std::nothrow) ThreadRecord{};
    if (rec == nullptr) {
        return nullptr;
    }
    rec->pfnProc = pfnProc;
    rec->pArg = pArg;
    unsigned nId = 0;
    uintptr_t h = _beginthreadex(nullptr, 256 * 1024, ThreadMain, rec,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, &nId);
    if (h == 0) {
        delete rec;
        return nullptr;
    }
    rec->hThread = reinterpret_cast<HANDLE>(h);
    rec->dwId = nId;
    return rec;
}

int OXR_Thread_Wait(OXR_THREAD hThread) {
    if (hThread == nullptr) {
        return -1;
    }
    ThreadRecord* rec = static_cast<ThreadRecord*>(hThread);
    DWORD r = WaitForSingleObject(rec->hThread, INFINITE);
    CloseHandle(rec->hThread);
    delete rec;
    return r == WAIT_OBJECT_0 ? 0 : -1;
}

int OXR_Thread_IsCurrent(OXR_THREAD hThread) {
    return hThread != nullptr &&
           static_cast<ThreadRecord*>(hThread)->dwId.load() == GetCurrentThreadId();
}

void OXR_Sleep(int nMs) {
    Sleep(static_cast<DWORD>(nMs < 0 ? 0 : nMs));
}

int64_t OXR_TickMs() {
    return static_cast<int64_t>(GetTickCount64());
}

// ---------------------------------------------------------------- files and time

int OXR_LocalTime(time_t t, struct tm* pTm) {
    return localtime_s(pTm, &t) == 0 ? 0 : -1;
}
int OXR_MakeDir(const char* pszPath) {
    return _mkdir(pszPath);
}
const char* OXR_LogDir() {
    return "c:\\httplog";
}
char OXR_PathSep() {
    return '\\';
}
