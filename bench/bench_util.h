// Pieces shared by the benchmarks: a checksum over every delivered byte, a
// loopback listener, whole sends and reads, and the process's own figures
// from /proc (memory, threads, descriptors).
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

namespace bench {

// A position-weighted 64-bit sum (Fletcher style, over 8-byte little-endian
// words): a += w; b += a for every word, so a byte lost, added, changed or
// moved changes the result. The same bytes give the same value however they
// are split into pieces. Fast enough (about 8 bytes a cycle) not to hide the
// cost of the transport being measured.
class Sum {
public:
    void Add(const void* pv, size_t n) {
        const unsigned char* p = static_cast<const unsigned char*>(pv);
        m_nBytes += n;
        while (m_nPending != 0 && n > 0) {
            m_nWord |= static_cast<uint64_t>(*p++) << (8 * m_nPending);
            --n;
            if (++m_nPending == 8) {
                m_a += m_nWord;
                m_b += m_a;
                m_nWord = 0;
                m_nPending = 0;
            }
        }
        uint64_t a = m_a;
        uint64_t b = m_b;
        while (n >= 32) {
            uint64_t w[4];
            std::memcpy(w, p, 32);
            a += w[0];
            b += a;
            a += w[1];
            b += a;
            a += w[2];
            b += a;
            a += w[3];
            b += a;
            p += 32;
            n -= 32;
        }
        while (n >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            a += w;
            b += a;
            p += 8;
            n -= 8;
        }
        m_a = a;
        m_b = b;
        while (n > 0) {
            m_nWord |= static_cast<uint64_t>(*p++) << (8 * m_nPending);
            ++m_nPending;
            --n;
        }
    }
    uint64_t Value() const {
        uint64_t a = m_a + m_nWord;
        uint64_t b = m_b + (m_nPending != 0 ? a : 0);
        return (b * 0x9E3779B97F4A7C15ull) ^ a ^ (m_nBytes * 0xC2B2AE3D27D4EB4Full);
    }
    uint64_t Bytes() const { return m_nBytes; }

private:
    uint64_t m_a = 0;
    uint64_t m_b = 0;
    uint64_t m_nBytes = 0;
    uint64_t m_nWord = 0;
    unsigned m_nPending = 0;
};

// A small fast generator for payload bytes (xorshift64*).
class Rng {
public:
    explicit Rng(uint64_t nSeed) : m_s(nSeed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t Next() {
        m_s ^= m_s >> 12;
        m_s ^= m_s << 25;
        m_s ^= m_s >> 27;
        return m_s * 0x2545F4914F6CDD1Dull;
    }

private:
    uint64_t m_s;
};

// Bytes 0x80 to 0xFF only: no CR, LF, dash or letter, so a multipart body
// can never hold a delimiter line.
inline void FillHigh(char* p, size_t n, uint64_t nSeed) {
    Rng rng(nSeed);
    size_t i = 0;
    while (i < n) {
        uint64_t v = rng.Next();
        for (int k = 0; k < 8 && i < n; ++k, ++i) {
            p[i] = static_cast<char>(0x80 | ((v >> (8 * k)) & 0x7f));
        }
    }
}

// Whether [p, p + n) holds exactly what FillHigh(p, n, nSeed) writes.
inline bool MatchesHigh(const char* p, size_t n, uint64_t nSeed) {
    Rng rng(nSeed);
    size_t i = 0;
    while (i < n) {
        uint64_t v = rng.Next();
        for (int k = 0; k < 8 && i < n; ++k, ++i) {
            if (p[i] != static_cast<char>(0x80 | ((v >> (8 * k)) & 0x7f))) {
                return false;
            }
        }
    }
    return true;
}

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

// Reads a request head (up to the empty line) and returns its path, or "".
inline std::string ReadRequestPath(int s) {
    std::string head;
    char buf[2048];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() > 16384) {
            return "";
        }
        ssize_t r = recv(s, buf, sizeof(buf), 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return "";
        }
        head.append(buf, static_cast<size_t>(r));
    }
    size_t a = head.find(' ');
    size_t b = a == std::string::npos ? a : head.find(' ', a + 1);
    if (b == std::string::npos) {
        return "";
    }
    return head.substr(a + 1, b - a - 1);
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
