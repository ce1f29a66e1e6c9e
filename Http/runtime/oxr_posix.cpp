// POSIX side of the runtime: BSD sockets, pthreads, local time.
#include "oxr.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

typedef socklen_t SockLen;

int Sock(int n) {
    return n;
}

bool ConnectInProgress() {
    return errno == EINPROGRESS;
}

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// Linux grows a TCP connection's buffers as the stream needs, to several MiB
// (net.ipv4.tcp_rmem, tcp_wmem); a fixed size would switch that off and cap
// a fast stream at what 256 KiB lets through.
bool SizesBuffersItself() {
#if defined(__linux__)
    return true;
#else
    return false;
#endif
}

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

} // namespace

#include "oxr_sockets.inc"

int OXR_CreateSocket(int nFamily, int nType, int nProtocol) {
    int s = socket(nFamily, nType | SOCK_CLOEXEC, nProtocol);
    return s < 0 ? -1 : s;
}

int OXR_SetKeepAlive(int nSocket, int nIdleS, int nIntervalS, int nProbes) {
    const int nOn = 1;
    int r = setsockopt(nSocket, SOL_SOCKET, SO_KEEPALIVE, &nOn, sizeof(nOn));
    r |= setsockopt(nSocket, IPPROTO_TCP, TCP_KEEPIDLE, &nIdleS, sizeof(nIdleS));
    r |= setsockopt(nSocket, IPPROTO_TCP, TCP_KEEPINTVL, &nIntervalS, sizeof(nIntervalS));
    r |= setsockopt(nSocket, IPPROTO_TCP, TCP_KEEPCNT, &nProbes, sizeof(nProbes));
    return r == 0 ? 0 : -1;
}

int OXR_SetNonBlocking(int nSocket, int bOn) {
    int nFlags = fcntl(nSocket, F_GETFL, 0);
    if (nFlags < 0) {
        return -1;
    }
    nFlags = bOn != 0 ? (nFlags | O_NONBLOCK) : (nFlags & ~O_NONBLOCK);
    return fcntl(nSocket, F_SETFL, nFlags) < 0 ? -1 : 0;
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
            if (nSent > 0) {
                return nSent;
            }
            return WouldBlock() ? OXR_E_WOULDBLOCK : -1;
        }
        nSent += static_cast<int>(r);
    }
    return nSent;
}

// A poll() on a socket ends when another thread shuts the socket down; a
// wait without a socket (a pause) sleeps on the condition variable.
struct OXR_WAKER {
    std::atomic<int> bWoken{0};
    std::mutex mutex;
    std::condition_variable cond;
};

OXR_WAKER* OXR_WakerCreate() {
    return new (std::nothrow) OXR_WAKER;
}
void OXR_WakerFree(OXR_WAKER* w) {
    delete w;
}
void OXR_WakerWatch(OXR_WAKER*, int) {}
void OXR_WakerWake(OXR_WAKER* w) {
    if (w == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        w->bWoken = 1;
    }
    w->cond.notify_all();
}
void OXR_WakerReset(OXR_WAKER* w) {
    if (w != nullptr) {
        w->bWoken = 0;
    }
}

int OXR_WaitSocket(int nSocket, int bWrite, int nTimeOutMs, OXR_WAKER* w) {
    if (w != nullptr && w->bWoken.load() != 0) {
        return OXR_E_WOKEN;
    }
    if (nSocket < 0) {
        if (w == nullptr) {
            OXR_Sleep(nTimeOutMs < 0 ? 0 : nTimeOutMs);
            return 0;
        }
        std::unique_lock<std::mutex> lock(w->mutex);
        auto woken = [w] { return w->bWoken.load() != 0; };
        if (nTimeOutMs < 0) {
            w->cond.wait(lock, woken);
        } else {
            w->cond.wait_for(lock, std::chrono::milliseconds(nTimeOutMs), woken);
        }
        return woken() ? OXR_E_WOKEN : 0;
    }
    // Checked before and after: a wake that comes between the first look
    // and the poll() has shut the socket down, which ends the poll().
    pollfd pfd{};
    pfd.fd = nSocket;
    pfd.events = bWrite != 0 ? POLLOUT : POLLIN;
    int r;
    do {
        r = poll(&pfd, 1, nTimeOutMs < 0 ? -1 : nTimeOutMs);
    } while (r < 0 && errno == EINTR);
    if (w != nullptr && w->bWoken.load() != 0) {
        return OXR_E_WOKEN;
    }
    return r < 0 ? -1 : r;
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
        if (r >= 0) {
            return static_cast<int>(r);
        }
        if (errno != EINTR) {
            return WouldBlock() ? OXR_E_WOULDBLOCK : -1;
        }
    }
}

int OXR_PeekSocket(int nSocket) {
    char c;
    for (;;) {
        ssize_t r = recv(nSocket, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (r >= 0) {
            return static_cast<int>(r);
        }
        if (errno != EINTR) {
            return WouldBlock() ? OXR_E_WOULDBLOCK : -1;
        }
    }
}

// ---------------------------------------------------------------- files and time

int OXR_LocalTime(time_t t, struct tm* pTm) {
    return localtime_r(&t, pTm) != nullptr ? 0 : -1;
}
const char* OXR_LogDir() {
    return "/tmp/httplog";
}

FILE* OXR_CreateLogFile(const char* pszDir, const char* pszName, int* pnWhy) {
    *pnWhy = OXR_LOGFILE_FAILED;
    mkdir(pszDir, 0700); // one that exists is checked below
    // The checks are made on the opened directory and the file is created
    // relative to it, so nothing can be swapped in between.
    const int nDir = open(pszDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (nDir == -1) {
        // A symbolic link (which anyone could have planted there) is refused
        // as unsafe; anything else that is no directory simply fails.
        struct stat lst;
        *pnWhy = lstat(pszDir, &lst) == 0 && S_ISLNK(lst.st_mode) ? OXR_LOGFILE_UNSAFE_DIR
                                                                  : OXR_LOGFILE_FAILED;
        return nullptr;
    }
    struct stat st;
    if (fstat(nDir, &st) != 0 || st.st_uid != geteuid() ||
        ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)) {
        *pnWhy = OXR_LOGFILE_UNSAFE_DIR;
        close(nDir);
        return nullptr;
    }
    const int nFile =
        openat(nDir, pszName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int nError = errno;
    close(nDir);
    if (nFile == -1) {
        *pnWhy = nError == EEXIST ? OXR_LOGFILE_EXISTS : OXR_LOGFILE_FAILED;
        return nullptr;
    }
    FILE* pFile = fdopen(nFile, "wb");
    if (pFile == nullptr) {
        close(nFile);
    }
    return pFile;
}
