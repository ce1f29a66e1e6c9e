// The portable runtime: sockets with time-outs, threads, mutexes, local time
// and bounded string search. This header and its two implementations
// (oxr_posix.cpp, oxr_win32.cpp) are the only code that knows which platform
// it runs on; the library above calls these functions only.
#ifndef OXR_H
#define OXR_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#if defined(_WIN32)
#if defined(OXRHTTP_BUILD)
#define OXR_RT_EXPORT __declspec(dllexport)
#else
#define OXR_RT_EXPORT
#endif
#else
#define OXR_RT_EXPORT __attribute__((visibility("default")))
#endif

// ---------------------------------------------------------------- start/stop

int OXR_Init(); // starts the socket layer; 0 on success
int OXR_Fini(); // stops it; 0

// ---------------------------------------------------------------- mutexes

// Holds the platform's mutex: a CRITICAL_SECTION (24 bytes on 32-bit
// Windows) or a pthread_mutex_t. Usable without OXR_Init.
#define OXR_MUTEX_BYTES (sizeof(void*) == 4 ? 24 : 40)
struct OXR_MUTEX {
    union {
        void* pAlign;
        long long llAlign;
        unsigned char bytes[OXR_MUTEX_BYTES];
    };
};

// nMode: 0 or -1 (both a plain, non-recursive mutex here). 0 on success.
int OXR_MutexCreate(OXR_MUTEX* pMutex, int nMode);
int OXR_MutexLock(OXR_MUTEX* pMutex);
int OXR_MutexUnlock(OXR_MUTEX* pMutex);
int OXR_MutexDestroy(OXR_MUTEX* pMutex);

// ---------------------------------------------------------------- names

// Platform address family numbers, as the host entry reports them.
extern const int OXR_AF_INET;
extern const int OXR_AF_INET6;
extern const int OXR_SOCK_STREAM;

// Laid out as the sockets API's host entry.
struct OXR_HOSTENT {
    char* h_name;
    char** h_aliases;
    int16_t h_addrtype;
    int16_t h_length;
    char** h_addr_list;
};

// Storage of one resolved host entry.
struct OXR_HOSTBUF {
    OXR_HOSTENT entry;
    char szName[256];
    char* apAliases[1];
    char* apAddrs[2];
    unsigned char addr[16];
    uint32_t nScope; // an IPv6 address's zone ("%eth0" in the name), as its index
};

// Resolves a host name or numeric address (a bracketed IPv6 literal is
// accepted too, with a zone after "%": "[fe80::1%eth0]", the zone then in
// pBuf->nScope) into pBuf and returns &pBuf->entry, or NULL on failure.
// Prefers an IPv4 address; gives IPv6 only when the host has no IPv4 one.
// Thread-safe; the buffer is the caller's, so no per-thread state is kept.
OXR_HOSTENT* OXR_ResolveHost(const char* pszHost, OXR_HOSTBUF* pBuf);

// ---------------------------------------------------------------- sockets

// Room for an IPv4 or IPv6 socket address (sockaddr_in6 is 28 bytes).
struct OXR_SOCKADDR {
    union {
        uint32_t uAlign;
        unsigned char bytes[28];
    };
};

// nAddr: an IPv4 address as stored in the host entry (network order).
int OXR_MakeAddr4ByInt(uint32_t nAddr, uint16_t wPort, OXR_SOCKADDR* pAddr);
// pAddr16: 16 address bytes as stored in the host entry; nScope: the zone.
int OXR_MakeAddr6(const void* pAddr16, uint16_t wPort, OXR_SOCKADDR* pAddr, uint32_t nScope = 0);
// Length of the address record's socket address (IPv4 or IPv6).
int OXR_AddrLen(const OXR_SOCKADDR* pAddr);

// What a receive, send or connect on a non-blocking socket reports when it
// would have to wait. The runtime's results lie apart from the library's
// error numbers (-2 to -13), so no value means two things where they meet.
const int OXR_E_WOULDBLOCK = -101;

int OXR_CreateSocket(int nFamily, int nType, int nProtocol); // -1 on failure
// TCP keep-alive on the socket: a probe after nIdleS seconds of silence,
// then every nIntervalS, and the connection ends after nProbes unanswered
// ones (where the platform lets the count be set). 0 on success.
int OXR_SetKeepAlive(int nSocket, int nIdleS, int nIntervalS, int nProbes);
// Raises the socket's buffers to the sizes; where the system sizes TCP
// buffers itself as a stream needs (Linux), leaves them to it. 0 on success.
int OXR_SetBuffSize(int nSocket, int nSendSize, int nRecvSize);
// Starts connecting; the socket is non-blocking from here on (see
// OXR_SetNonBlocking). 0 when connected at once, OXR_E_WOULDBLOCK while the
// connection is under way (it is done when the socket becomes writable),
// -1 on failure.
int OXR_ConnectStart(int nSocket, const OXR_SOCKADDR* pAddr);
// Once a started connect made the socket writable: 0 connected, -1 failed.
int OXR_ConnectResult(int nSocket);
// bOn 1: receives and sends on the socket never wait; they report
// OXR_E_WOULDBLOCK instead, and the caller waits with OXR_WaitReadable or
// OXR_WaitWritable. bOn 0: they block again. 0 on success.
int OXR_SetNonBlocking(int nSocket, int bOn);
int OXR_CloseSocket(int nSocket, int nFlags);
// Ends both directions; the descriptor stays allocated until OXR_CloseSocket.
// On POSIX a receive or poll() on the socket in another thread returns at
// once; Winsock does not promise that (a waker does it there).
int OXR_ShutdownSocket(int nSocket);

// Sends as much of nLen bytes as the socket takes now (never raises
// SIGPIPE): bytes sent; OXR_E_WOULDBLOCK when a non-blocking socket takes
// none; -1 on failure.
int OXR_Sendn(int nSocket, const char* pData, int nLen, int nFlags);
// One receive: bytes received, 0 on orderly close, OXR_E_WOULDBLOCK when a
// non-blocking socket has nothing, -1 on error.
int OXR_Recv(int nSocket, char* pBuf, int nLen);
// Looks whether a receive would find something, without taking it: 1
// bytes wait, 0 the peer closed, OXR_E_WOULDBLOCK nothing, -1 an error.
int OXR_PeekSocket(int nSocket);
// Plain waits for the test servers and tools (the library itself waits
// with OXR_WaitSocket): at most nTimeOutMs (0: just looks) until a receive
// would not block (data, orderly close or error), or a send would find room.
// >0 ready, 0 time-out, <0 failure.
int OXR_WaitReadable(int nSocket, int nTimeOutMs);
int OXR_WaitWritable(int nSocket, int nTimeOutMs);

// ---------------------------------------------------------------- waits that can be cut short

// Lets another thread end a thread's wait at once, so no waiting thread
// polls a stop flag. POSIX: a flag and a condition variable; a wait on a
// socket is a poll(), which only the socket's own shutdown ends, so whoever
// wakes a wait on a socket also shuts that socket down (the library's
// connection does both under its lock). Windows: an event the wait watches
// beside the socket's own (WSAEventSelect).
struct OXR_WAKER;
// NULL when none could be made.
OXR_WAKER* OXR_WakerCreate();
void OXR_WakerFree(OXR_WAKER* pWaker);
// The socket the waker's waits are on, once it exists (again after a new
// one); -1 before that socket is closed.
void OXR_WakerWatch(OXR_WAKER* pWaker, int nSocket);
// Any thread: every wait with the waker ends at once, also the ones that
// begin later, until OXR_WakerReset.
void OXR_WakerWake(OXR_WAKER* pWaker);
void OXR_WakerReset(OXR_WAKER* pWaker);
// What OXR_WaitSocket reports when the waker ended the wait.
const int OXR_E_WOKEN = -102;
// The one wait of the library. Waits at most nTimeOutMs (below 0: no limit;
// 0: only looks) until the socket can be read (bWrite 0) or written, or the
// waker is woken; nSocket -1 waits for the waker or the time alone (a pause).
// >0 ready (or failed: the next receive or send tells), 0 time-out,
// OXR_E_WOKEN, -1 failure. Without a waker the wait cannot be cut short.
int OXR_WaitSocket(int nSocket, int bWrite, int nTimeOutMs, OXR_WAKER* pWaker);

// ---------------------------------------------------------------- threads

typedef int (*OXR_THREAD_PROC)(void* pArg);
typedef void* OXR_THREAD; // 0 when there is no thread

// Least stack a new thread gets: callbacks run on these threads, and image
// decoders in them want several hundred KiB of scratch space.
const int OXR_THREAD_MIN_STACK = 1024 * 1024;

// Starts pfnProc(pArg) on a thread with the platform's default stack, at
// least OXR_THREAD_MIN_STACK (on Windows exactly that much reserved,
// committed as it is used, so a 32-bit process holds a thousand of them).
// The four trailing words are reserved and must be 0. 0 on failure.
OXR_THREAD OXR_Thread_Create(OXR_THREAD_PROC pfnProc, void* pArg, int, int, int, int);
// Waits for the thread to end and releases the handle; 0 on success.
int OXR_Thread_Wait(OXR_THREAD hThread);
// Non-zero when called on the thread that hThread names.
int OXR_Thread_IsCurrent(OXR_THREAD hThread);
// The argument the calling thread was started with, when OXR_Thread_Create
// started it with pfnProc; NULL on every other thread.
void* OXR_Thread_Arg(OXR_THREAD_PROC pfnProc);
void OXR_Sleep(int nMs);
// Milliseconds from an arbitrary start, monotonic.
int64_t OXR_TickMs();
// A time-out (below 0: no limit; 0: no wait) as a point on OXR_TickMs's
// clock (-1: none), and back: what is left of it (-1: no limit; 0: passed).
int64_t OXR_DeadlineOf(int nTimeOutMs);
int OXR_MsLeft(int64_t tDeadline);

// ---------------------------------------------------------------- hashes and randomness

const int OXR_HASH_MD5 = 1;    // 16-byte digest
const int OXR_HASH_SHA256 = 2; // 32-byte digest

// Digest of nLen bytes into pOut; the digest's length, or -1.
int OXR_Hash(int nAlgorithm, const void* pData, size_t nLen, unsigned char* pOut);
// nLen bytes from the platform's secure random source; 0, or -1.
int OXR_RandomBytes(void* pOut, size_t nLen);

// ---------------------------------------------------------------- files and time

// Breaks t down into local time (thread-safe). 0 on success.
int OXR_LocalTime(time_t t, struct tm* pTm);
const char* OXR_LogDir(); // c:\httplog on Windows, /tmp/httplog elsewhere

// Why OXR_CreateLogFile made no file.
const int OXR_LOGFILE_EXISTS = 1;     // the name is taken: try another
const int OXR_LOGFILE_UNSAFE_DIR = 2; // the directory is open to others
const int OXR_LOGFILE_FAILED = 3;     // anything else
// Creates the file pszName (no separator in it) in pszDir, for the
// library's own records: always a new file, never one that exists or what
// a link in its place points to. Creates the directory when it is missing.
// POSIX: the directory gets mode 0700, and one that is a symbolic link,
// not the user's own, or writable by group or others without the sticky
// bit is refused; the file gets mode 0600. Windows: CREATE_NEW, reparse
// points not followed. The stream, open for writing, or NULL and *pnWhy.
FILE* OXR_CreateLogFile(const char* pszDir, const char* pszName, int* pnWhy);

// ---------------------------------------------------------------- strings

// First occurrence of pszPattern in pszText (zero-terminated), or NULL.
char* OXR_Strstr(const char* pszText, const char* pszPattern);
// 0 when equal ignoring ASCII case; otherwise the sign of the first difference.
int OXR_Strcasecmp(const char* pszA, const char* pszB);
// Bounded searches over received bytes: the first occurrence of the nLen
// bytes at pNeedle in [pBegin, pEnd), or NULL. Zero bytes are ordinary bytes.
const char* OXR_Memmem(const char* pBegin, const char* pEnd, const char* pNeedle, size_t nLen);
const char* OXR_Memcasemem(const char* pBegin, const char* pEnd, const char* pNeedle, size_t nLen);

// ---------------------------------------------------------------- helper classes

class OXR_Mutex {
public:
    OXR_Mutex();
    ~OXR_Mutex();
    int Lock();
    int Unlock();
    // Copies the whole mutex record; no runtime call is made.
    OXR_RT_EXPORT OXR_Mutex& operator=(const OXR_Mutex& other);

private:
    OXR_MUTEX m_mutex;
};

class OXR_Sema {
public:
    OXR_Sema() : m_nState(0) {}
    // Copies the state word; no runtime call is made.
    OXR_RT_EXPORT OXR_Sema& operator=(const OXR_Sema& other);

private:
    int32_t m_nState;
};

// Scoped lock: locks at construction, unlocks once at Release or destruction.
class OXR_Guard {
public:
    OXR_RT_EXPORT explicit OXR_Guard(OXR_Mutex* pMutex);
    OXR_RT_EXPORT ~OXR_Guard();
    OXR_RT_EXPORT void Release();
    // Takes the other guard's mutex pointer; nothing is locked or unlocked.
    OXR_RT_EXPORT OXR_Guard& operator=(const OXR_Guard& other);

private:
    OXR_Mutex* m_pMutex;
};

#endif // OXR_H
