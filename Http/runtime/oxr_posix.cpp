// POSIX side of the runtime: BSD sockets, pthreads, local time.
#include "oxr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(pthread_mutex_t) == sizeof(OXR_MUTEX), "mutex record size");
static_assert(sizeof(sockaddr_in6) <= sizeof(OXR_SOCKADDR), "address record size");

const int OXR_AF_INET = AF_INET;
const int OXR_AF_INET6 = AF_INET6;
const int OXR_SOCK_STREAM = SOCK_STREAM;

int OXR_Init() {
    return 0;
}
int OXR_Fini() {
    return 0;
}

// ---------------------------------------------------------------- mutexes

static pthread_mutex_t* Native(OXR_MUTEX* p) {
    return reinterpret_cast<pthread_mutex_t*>(p->bytes);
}

int OXR_MutexCreate(OXR_MUTEX* pMutex, int) {
    return pthread_mutex_init(Native(pMutex), nullptr);
}
int OXR_MutexLock(OXR_MUTEX* pMutex) {
    return pthread_mutex_lock(Native(pMutex));
}
int OXR_MutexUnlock(OXR_MUTEX* pMutex) {
    return pthread_mutex_unlock(Native(pMutex));
}
int OXR_MutexDestroy(OXR_MUTEX* pMutex) {
    return pthread_mutex_destroy(Native(pMutex));
}

// ---------------------------------------------------------------- names

#include "oxr_resolve.inc"

// ---------------------------------------------------------------- sockets

namespace {

// Waits until the socket is readable (or writable); >0 ready, 0 time-out, <0 error.
int WaitFor(int nSocket, short nEvents, int nTimeOutMs) {
    pollfd pfd{};
    pfd.fd = nSocket;
    pfd.events = nEvents;
    for (;;) {
        int r = poll(&pfd, 1, nTimeOutMs < 0 ? 0 : nTimeOutMs);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r;
    }
}

socklen_t AddrLen(const OXR_SOCKADDR* pAddr) {
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
    int s = socket(nFamily, nType | SOCK_CLOEXEC, nProtocol);
    return s < 0 ? -1 : s;
}

int OXR_SetBuffSize(int nSocket, int nSendSize, int nRecvSize) {
    int r1 = setsockopt(nSocket, SOL_SOCKET, SO_SNDBUF, &nSendSize, sizeof(nSendSize));
    int r2 = setsockopt(nSocket, SOL_SOCKET, SO_RCVBUF, &nRecvSize, sizeof(nRecvSize));
    return (r1 == 0 && r2 == 0) ? 0 : -1;
}

int OXR_SetSendTimeOut(int nSocket, int nTimeOutMs) {
    timeval tv{};
    if (nTimeOutMs > 0) {
        tv.tv_sec = nTimeOutMs / 1000;
        tv.tv_usec = static_cast<suseconds_t>(nTimeOutMs % 1000) * 1000;
    }
    return setsockopt(nSocket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0 ? 0 : -1;
}

int OXR_ConnectWithTimeOut(int nSocket, const OXR_SOCKADDR* pAddr, int nTimeOutMs) {
    int nFlags = fcntl(nSocket, F_GETFL, 0);
    if (nFlags < 0 || fcntl(nSocket, F_SETFL, nFlags | O_NONBLOCK) < 0) {
        return -1;
    }
    int r = connect(nSocket, reinterpret_cast<const sockaddr*>(pAddr->bytes), AddrLen(pAddr));
    if (r != 0 && errno == EINPROGRESS) {
        r = WaitFor(nSocket, POLLOUT, nTimeOutMs) > 0 ? 0 : -2;
        if (r == 0) {
            int nErr = 0;
            socklen_t nLen = sizeof(nErr);
            if (getsockopt(nSocket, SOL_SOCKET, SO_ERROR, &nErr, &nLen) != 0 || nErr != 0) {
                r = -1;
            }
        }
    } else if (r != 0) {
        r = -1;
    }
    fcntl(nSocket, F_SETFL, nFlags);
    return r;
}

int OXR_CloseSocket(int nSocket, int) {
    return nSocket < 0 ? -1 : close(nSocket);
}
int OXR_ShutdownSocket(int nSocket) {
    return shutdown(nSocket, SHUT_RDWR);
}

int OXR_Sendn(int nSocket, const char* pData, int nLen, int) {
    int nSent = 0;
    while (nSent < nLen) {
        ssize_t r = send(nSocket, pData + nSent, static_cast<size_t>(nLen - nSent), MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return nSent > 0 ? nSent : -1;
        }
        nSent += static_cast<int>(r);
    }
    return nSent;
}

int OXR_WaitReadable(int nSocket, int nTimeOutMs) {
    return WaitFor(nSocket, POLLIN, nTimeOutMs);
}
int OXR_WaitWritable(int nSocket, int nTimeOutMs) {
    return WaitFor(nSocket, POLLOUT, nTimeOutMs);
}

int OXR_Recv(int nSocket, char* pBuf, int nLen) {
    for (;;) {
        ssize_t r = recv(nSocket, pBuf, static_cast<size_t>(nLen), 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<int>(r);
    }
}

int OXR_RecvWithTimeOut(int nSocket, char* pBuf, int nLen, int nTimeOutMs) {
    int r = WaitFor(nSocket, POLLIN, nTimeOutMs);
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
    int nOn = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    if (bind(s, sa, AddrLen(&addr)) != 0 || listen(s, 128) != 0) {
        close(s);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t nLen = sizeof(bound);
    getsockname(s, reinterpret_cast<sockaddr*>(&bound), &nLen);
    if (pwBoundPort != nullptr) {
        *pwBoundPort =
            ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    return s;
}

int OXR_Accept(int nListenSocket, int nTimeOutMs) {
    if (WaitFor(nListenSocket, POLLIN, nTimeOutMs) <= 0) {
        return -1;
    }
    int s = accept4(nListenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    return s < 0 ? -1 : s;
}

// ---------------------------------------------------------------- threads

namespace {

struct ThreadRecord {
    pthread_t tid;
    OXR_THREAD_PROC pfnProc;
    void* pArg;
};

// The record of the thread running this code; set by the thread itself, so
// asking "am I that thread?" needs no shared field.
thread_local ThreadRecord* t_pSelf = nullptr;

void* ThreadMain(void* p) {
    ThreadRecord* rec = static_cast<ThreadRecord*>(p);
    t_pSelf = rec;
    rec->pfnProc(rec->pArg);
    return nullptr;
}

} // namespace

OXR_THREAD OXR_Thread_Create(OXR_THREAD_PROC pfnProc, void* pArg, int, int, int, int) {
    ThreadRecord* rec = new (std::nothrow) ThreadRecord{};
    if (rec == nullptr) {
        return nullptr;
    }
    rec->pfnProc = pfnProc;
    rec->pArg = pArg;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    int r = pthread_create(&rec->tid, &attr, ThreadMain, rec);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        delete rec;
        return nullptr;
    }
    return rec;
}

int OXR_Thread_Wait(OXR_THREAD hThread) {
    if (hThread == nullptr) {
        return -1;
    }
    ThreadRecord* rec = static_cast<ThreadRecord*>(hThread);
    int r = pthread_join(rec->tid, nullptr);
    delete rec;
    return r == 0 ? 0 : -1;
}

int OXR_Thread_IsCurrent(OXR_THREAD hThread) {
    return hThread != nullptr && t_pSelf == hThread;
}

void OXR_Sleep(int nMs) {
    timespec ts{nMs / 1000, static_cast<long>(nMs % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int64_t OXR_TickMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// ---------------------------------------------------------------- files and time

int OXR_LocalTime(time_t t, struct tm* pTm) {
    return localtime_r(&t, pTm) != nullptr ? 0 : -1;
}
int OXR_MakeDir(const char* pszPath) {
    return mkdir(pszPath, 0755);
}
const char* OXR_LogDir() {
    return "/tmp/httplog";
}
char OXR_PathSep() {
    return '/';
}
