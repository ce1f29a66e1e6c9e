// Pieces shared by the Linux benchmarks: the checksum and payload bytes (from
// bench_bytes.h), a loopback listener, whole sends and reads, and the
// process's own figures from /proc (memory, threads, descriptors).
#ifndef OXR_BENCH_UTIL_H
#define OXR_BENCH_UTIL_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_bytes.h"

namespace bench {

inline int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline bool SendAll(int s, const char* p, size_t n) {
    while (n > 0) {
        ssize_t r = send(s, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

inline void SetRecvTimeout(int s, int nMs) {
    timeval tv;
    tv.tv_sec = nMs / 1000;
    tv.tv_usec = (nMs % 1000) * 1000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

inline void SetNoDelay(int s) {
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// A listening socket on 127.0.0.1 and a free port; -1 on failure.
inline int ListenLoopback(int nBacklog, int* pnPort) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -1;
    }
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(s, nBacklog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        close(s);
        return -1;
    }
    *pnPort = ntohs(addr.sin_port);
    return s;
}

// A connected socket to 127.0.0.1:port, or -1.
inline int ConnectLoopback(int nPort) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// A field of /proc/self/status in kB (VmRSS, VmHWM) or as a count (Threads).
inline long ProcStatus(const char* pszField) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) {
        return -1;
    }
    char line[256];
    long nValue = -1;
    size_t nName = std::strlen(pszField);
    while (std::fgets(line, sizeof(line), f) != nullptr) {
        if (std::strncmp(line, pszField, nName) == 0 && line[nName] == ':') {
            nValue = std::strtol(line + nName + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return nValue;
}

// Open descriptors of this process, not counting the one used to list them.
inline int OpenDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(d);
    return n - 1;
}

} // namespace bench

#endif // OXR_BENCH_UTIL_H
