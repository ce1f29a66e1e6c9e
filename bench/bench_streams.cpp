// Many live streams at once: N sessions (default 1000) on one loopback
// server, each receiving a slow multipart stream, for D seconds; then what
// that costs the client process (resident memory, threads, descriptors), and
// whether closing every session gives the threads and descriptors back.
//
//   bench_streams [--sessions N] [--duration S] [--rate PARTS_PER_S]
//                 [--min-bytes N] [--max-bytes N] [--quick]
//
// The server is a forked child (one thread, epoll over every connection), so
// the figures read from /proc/self are the library's and this program's
// alone. Every part is checked: its length, its session's stream and
// sequence number, and every byte of its body.
//
// Exit status: 0 when every goal is met (all sessions open and deliver parts,
// every part right, peak resident memory at most 64 MiB, threads and
// descriptors back to the start after closing); 1 when one is missed; 2 for
// a bad command line; 3 when the descriptor limit cannot hold N sessions.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "oxr_http.h"

namespace {

using bench::NowNs;

const char kBoundary[] = "oxrstreams";
const int kPrefixLen = 35; // "conn=%06u seq=%08u len=%05u\n"
const long kRssGoalKb = 64 * 1024;
const int kMaxSessions = 1000; // the library's handles are 0 to 999

struct Options {
    int nSessions = 1000;
    int nDuration = 30;
    double dRate = 2.0;
    int nMinBytes = 200;
    int nMaxBytes = 4096;
};

uint64_t Mix(uint64_t a, uint64_t b) {
    uint64_t x = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    return x ^ (x >> 29);
}

int PartSize(const Options& o, uint32_t nConn, uint64_t nSeq) {
    return o.nMinBytes + static_cast<int>(Mix(nConn, nSeq) %
                                          static_cast<uint64_t>(o.nMaxBytes - o.nMinBytes + 1));
}

uint64_t FillerSeed(uint32_t nConn, uint64_t nSeq) {
    return Mix(nConn + 17, nSeq);
}

// ---------------------------------------------------------------- server

struct Conn {
    int fd = -1;
    std::string in;
    bool bStreaming = false;
    uint32_t nId = 0;
    uint64_t nSeq = 0;
    int64_t tNext = 0;
    std::string out;
    size_t nOutAt = 0;
    bool bWatchOut = false;
};

void AppendPart(const Options& o, Conn& c) {
    const int nSize = PartSize(o, c.nId, c.nSeq);
    char szHead[160];
    int n = std::snprintf(szHead, sizeof(szHead),
                          "--%s\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n",
                          kBoundary, nSize);
    c.out.append(szHead, static_cast<size_t>(n));
    char szPrefix[kPrefixLen + 1];
    std::snprintf(szPrefix, sizeof(szPrefix), "conn=%06u seq=%08u len=%05d\n", c.nId,
                  static_cast<unsigned>(c.nSeq), nSize);
    c.out.append(szPrefix, kPrefixLen);
    size_t nAt = c.out.size();
    c.out.resize(nAt + static_cast<size_t>(nSize - kPrefixLen));
    bench::FillHigh(&c.out[nAt], static_cast<size_t>(nSize - kPrefixLen),
                    FillerSeed(c.nId, c.nSeq));
    c.out += "\r\n";
    ++c.nSeq;
}

// Sends what is queued; false when the connection is gone.
bool Flush(int ep, Conn& c) {
    while (c.nOutAt < c.out.size()) {
        ssize_t r = send(c.fd, c.out.data() + c.nOutAt, c.out.size() - c.nOutAt, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (r <= 0) {
            return false;
        }
        c.nOutAt += static_cast<size_t>(r);
    }
    if (c.nOutAt == c.out.size()) {
        c.out.clear();
        c.nOutAt = 0;
    }
    bool bWant = !c.out.empty();
    if (bWant != c.bWatchOut) {
        epoll_event ev{};
        ev.events = EPOLLIN | (bWant ? static_cast<uint32_t>(EPOLLOUT) : 0u);
        ev.data.ptr = &c;
        epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        c.bWatchOut = bWant;
    }
    return true;
}

// One thread, one epoll set: accepts, answers each request head with a
// multipart head, then sends each stream its parts on time (the streams'
// phases spread over one period). Ends when the control pipe closes.
[[noreturn]] void ServerMain(int nListen, int nControl, const Options& o) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::signal(SIGPIPE, SIG_IGN);
    fcntl(nListen, F_SETFL, fcntl(nListen, F_GETFL) | O_NONBLOCK);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    epoll_ctl(ep, EPOLL_CTL_ADD, nListen, &ev);
    static int s_nControlTag;
    ev.data.ptr = &s_nControlTag;
    epoll_ctl(ep, EPOLL_CTL_ADD, nControl, &ev);

    const int64_t nPeriodNs = static_cast<int64_t>(1e9 / o.dRate);
    std::vector<Conn*> conns;
    uint32_t nNextId = 0;
    std::vector<epoll_event> events(256);
    const std::string sHead = std::string("HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; "
                                          "boundary=") +
                              kBoundary + "\r\nConnection: close\r\n\r\n";
    auto drop = [&](Conn* c) {
        epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
        close(c->fd);
        c->fd = -1;
    };
    for (;;) {
        int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 5);
        for (int i = 0; i < n; ++i) {
            void* p = events[i].data.ptr;
            if (p == &s_nControlTag) {
                _exit(0); // the parent is done
            }
            if (p == nullptr) {
                for (;;) {
                    int s = accept4(nListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (s < 0) {
                        break;
                    }
                    bench::SetNoDelay(s);
                    Conn* c = new Conn;
                    c->fd = s;
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.ptr = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, s, &cev);
                    conns.push_back(c);
                }
                continue;
            }
            Conn* c = static_cast<Conn*>(p);
            if (c->fd < 0) {
                continue;
            }
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                char buf[4096];
                ssize_t r = recv(c->fd, buf, sizeof(buf), 0);
                if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
                    drop(c);
                    continue;
                }
                if (r > 0 && !c->bStreaming) {
                    c->in.append(buf, static_cast<size_t>(r));
                    if (c->in.find("\r\n\r\n") != std::string::npos) {
                        c->bStreaming = true;
                        c->nId = nNextId++;
                        c->tNext = NowNs() + static_cast<int64_t>(c->nId % o.nSessions) *
                                                 nPeriodNs / o.nSessions;
                        c->out = sHead;
                        c->in.clear();
                        if (!Flush(ep, *c)) {
                            drop(c);
                            continue;
                        }
                    }
                }
            }
            if ((events[i].events & EPOLLOUT) && c->fd >= 0 && !Flush(ep, *c)) {
                drop(c);
            }
        }
        const int64_t tNow = NowNs();
        for (Conn* c : conns) {
            if (c->fd < 0 || !c->bStreaming || c->tNext > tNow) {
                continue;
            }
            // A stream that cannot take its parts gets no more than it holds.
            if (c->out.size() - c->nOutAt < 256 * 1024) {
                AppendPart(o, *c);
            }
            c->tNext += nPeriodNs;
            if (!Flush(ep, *c)) {
                drop(c);
            }
        }
    }
}

// ---------------------------------------------------------------- client

struct Session {
    const Options* pOpt = nullptr;
    int nHandle = -1;
    // receiver thread only
    long nConn = -1;
    uint64_t nNextSeq = 0;
    // read by the main thread
    std::atomic<long> nParts{0};
    std::atomic<long> nBad{0};
};

bool CheckPart(Session& s, const OXR_HTTP_DATA* d) {
    if (d->nDataLen < kPrefixLen || std::strcmp(d->szContentType, "text/plain") != 0) {
        return false;
    }
    char szPrefix[kPrefixLen + 1];
    std::memcpy(szPrefix, d->pData, kPrefixLen);
    szPrefix[kPrefixLen] = '\0';
    unsigned nConn = 0;
    unsigned nSeq = 0;
    int nLen = 0;
    if (std::sscanf(szPrefix, "conn=%6u seq=%8u len=%5d", &nConn, &nSeq, &nLen) != 3 ||
        nLen != d->nDataLen || szPrefix[kPrefixLen - 1] != '\n') {
        return false;
    }
    if (s.nConn < 0) {
        s.nConn = nConn; // the server numbers connections as it accepts them
    }
    if (static_cast<long>(nConn) != s.nConn || nSeq != s.nNextSeq ||
        nLen != PartSize(*s.pOpt, nConn, nSeq)) {
        return false;
    }
    s.nNextSeq = nSeq + 1;
    return bench::MatchesHigh(d->pData + kPrefixLen, static_cast<size_t>(nLen - kPrefixLen),
                              FillerSeed(nConn, nSeq));
}

int OXR_HTTP_CALLBACK OnPart(int nHandle, void* pUser, OXR_HTTP_DATA* pData) {
    Session* s = static_cast<Session*>(pUser);
    if (nHandle != 0 || !CheckPart(*s, pData)) {
        ++s->nBad;
    }
    ++s->nParts;
    return 0;
}

struct Figures {
    long nRssKb;
    long nHwmKb;
    long nThreads;
    int nFds;
};

Figures Measure() {
    return Figures{bench::ProcStatus("VmRSS"), bench::ProcStatus("VmHWM"),
                   bench::ProcStatus("Threads"), bench::OpenDescriptors()};
}

std::string MiB(long nKb) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.1f MiB", static_cast<double>(nKb) / 1024);
    return sz;
}

void Usage() {
    std::fprintf(stderr, "usage: bench_streams [--sessions N] [--duration S] [--rate PARTS_PER_S]\n"
                         "                     [--min-bytes N] [--max-bytes N] [--quick]\n"
                         "defaults: 1000 sessions, 30 s, 2 parts/s, 200 to 4096 bytes a part;\n"
                         "--quick: 100 sessions for 3 s\n");
}

// Makes room for the descriptors: raises the soft limit when the hard one
// allows. False (with a message) when it cannot hold them.
bool EnsureDescriptors(int nNeed) {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        std::perror("getrlimit");
        return false;
    }
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < static_cast<rlim_t>(nNeed)) {
        if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < static_cast<rlim_t>(nNeed)) {
            std::fprintf(stderr,
                         "bench_streams: the sessions need %d descriptors, but the descriptor "
                         "limit is %llu (hard limit %llu).\n"
                         "Raise it first, e.g. `ulimit -n %d` (a hard limit above %llu needs root "
                         "or /etc/security/limits.conf), or use fewer --sessions.\n",
                         nNeed, (unsigned long long)rl.rlim_cur, (unsigned long long)rl.rlim_max,
                         nNeed, (unsigned long long)rl.rlim_max);
            return false;
        }
        rlim_t nOld = rl.rlim_cur;
        rl.rlim_cur = static_cast<rlim_t>(nNeed);
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
            std::fprintf(stderr,
                         "bench_streams: cannot raise the descriptor limit from %llu to %d "
                         "(%s); run `ulimit -n %d` first.\n",
                         (unsigned long long)nOld, nNeed, std::strerror(errno), nNeed);
            return false;
        }
        std::printf("descriptor limit raised from %llu to %d\n", (unsigned long long)nOld, nNeed);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> double {
            if (i + 1 >= argc) {
                Usage();
                std::exit(2);
            }
            double v = std::atof(argv[++i]);
            if (v <= 0) {
                Usage();
                std::exit(2);
            }
            return v;
        };
        if (a == "--sessions") {
            o.nSessions = static_cast<int>(next());
        } else if (a == "--duration") {
            o.nDuration = static_cast<int>(next());
        } else if (a == "--rate") {
            o.dRate = next();
        } else if (a == "--min-bytes") {
            o.nMinBytes = static_cast<int>(next());
        } else if (a == "--max-bytes") {
            o.nMaxBytes = static_cast<int>(next());
        } else if (a == "--quick") {
            o.nSessions = 100;
            o.nDuration = 3;
        } else {
            Usage();
            return 2;
        }
    }
    if (o.nSessions > kMaxSessions) {
        std::fprintf(stderr, "bench_streams: at most %d sessions (handles 0 to 999)\n",
                     kMaxSessions);
        return 2;
    }
    if (o.nMinBytes < kPrefixLen + 1 || o.nMaxBytes < o.nMinBytes || o.nMaxBytes > 99999) {
        std::fprintf(stderr, "bench_streams: part sizes must lie between %d and 99999 bytes\n",
                     kPrefixLen + 1);
        return 2;
    }
    // N sockets here and N + 1 in the server, which inherits the limit; the
    // rest is standard streams, the control pipe, /proc reads and slack.
    if (!EnsureDescriptors(o.nSessions + 64)) {
        return 3;
    }
    rlimit rlThreads{};
    if (getrlimit(RLIMIT_NPROC, &rlThreads) == 0 && rlThreads.rlim_cur != RLIM_INFINITY &&
        rlThreads.rlim_cur < static_cast<rlim_t>(o.nSessions + 64)) {
        std::printf("warning: the process limit (ulimit -u) is %llu; %d receiver threads may not "
                    "start\n",
                    (unsigned long long)rlThreads.rlim_cur, o.nSessions);
    }

    int nPort = 0;
    int nListen = bench::ListenLoopback(1024, &nPort);
    int pipeFds[2];
    if (nListen < 0 || pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::perror("listen on 127.0.0.1");
        return 1;
    }
    std::fflush(stdout);
    pid_t nServer = fork();
    if (nServer < 0) {
        std::perror("fork");
        return 1;
    }
    if (nServer == 0) {
        close(pipeFds[1]);
        ServerMain(nListen, pipeFds[0], o);
    }
    close(nListen);
    close(pipeFds[0]);
    std::signal(SIGPIPE, SIG_IGN);

    OXR_HTTP_ClientInit();
    const Figures start = Measure();
    std::printf("bench_streams: %d sessions, %d s, %.3g parts/s each of %d to %d bytes; server: a "
                "forked child on 127.0.0.1:%d (%ld cores)\n",
                o.nSessions, o.nDuration, o.dRate, o.nMinBytes, o.nMaxBytes, nPort,
                sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("start:        RSS %s, threads %ld, descriptors %d\n", MiB(start.nRssKb).c_str(),
                start.nThreads, start.nFds);

    std::vector<Session> sessions(static_cast<size_t>(o.nSessions));
    const std::string sUrl = "http://127.0.0.1:" + std::to_string(nPort) + "/stream";
    int nOpenFailed = 0;
    std::string sFirstFailure;
    const int64_t tOpen = NowNs();
    for (Session& s : sessions) {
        s.pOpt = &o;
        int h = OXR_HTTP_OpenEx(sUrl.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000, OnPart, &s);
        if (h >= 0 && OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 5000) != 0) {
            OXR_HTTP_Close(h);
            h = -1;
            if (sFirstFailure.empty()) {
                sFirstFailure = "OXR_HTTP_SendRequest failed";
            }
        } else if (h < 0 && sFirstFailure.empty()) {
            sFirstFailure =
                "OXR_HTTP_OpenEx failed, error " + std::to_string(OXR_HTTP_GetErrNo(-1));
        }
        s.nHandle = h;
        if (h < 0) {
            ++nOpenFailed;
        }
    }
    const double dOpenS = static_cast<double>(NowNs() - tOpen) / 1e9;
    const Figures opened = Measure();
    std::printf("opened:       %d of %d sessions in %.2f s; RSS %s, threads %ld, descriptors %d\n",
                o.nSessions - nOpenFailed, o.nSessions, dOpenS, MiB(opened.nRssKb).c_str(),
                opened.nThreads, opened.nFds);
    if (nOpenFailed != 0) {
        std::printf("              first failure: %s\n", sFirstFailure.c_str());
    }

    const int64_t tStreamStart = NowNs();
    const int nStep = o.nDuration >= 20 ? 10 : o.nDuration >= 6 ? 2 : 1;
    for (int t = nStep; t <= o.nDuration; t += nStep) {
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
            std::chrono::nanoseconds(tStreamStart + static_cast<int64_t>(t) * 1000000000)));
        long nTotal = 0;
        for (const Session& s : sessions) {
            nTotal += s.nParts.load();
        }
        Figures f = Measure();
        std::printf("  %3d s:      %ld parts so far; RSS %s, threads %ld, descriptors %d\n", t,
                    nTotal, MiB(f.nRssKb).c_str(), f.nThreads, f.nFds);
        std::fflush(stdout);
    }
    const Figures running = Measure();
    std::vector<long> counts;
    long nBad = 0;
    long nSilent = 0;
    for (const Session& s : sessions) {
        if (s.nHandle < 0) {
            continue;
        }
        counts.push_back(s.nParts.load());
        nBad += s.nBad.load();
        nSilent += s.nParts.load() == 0 ? 1 : 0;
    }
    std::sort(counts.begin(), counts.end());
    long nMin = counts.empty() ? 0 : counts.front();
    long nMedian = counts.empty() ? 0 : counts[(counts.size() - 1) / 2];
    long nMax = counts.empty() ? 0 : counts.back();
    long nTotal = 0;
    for (long n : counts) {
        nTotal += n;
    }

    const int64_t tClose = NowNs();
    for (Session& s : sessions) {
        if (s.nHandle >= 0) {
            OXR_HTTP_Close(s.nHandle);
        }
    }
    const double dCloseS = static_cast<double>(NowNs() - tClose) / 1e9;
    const Figures closed = Measure();
    close(pipeFds[1]); // the server ends
    int nStatus = 0;
    waitpid(nServer, &nStatus, 0);
    OXR_HTTP_ClientFini();

    std::printf("\nafter %d s:   parts per session min %ld / median %ld / max %ld (about %.0f "
                "expected), %ld in all, %ld sessions without parts, %ld parts wrong\n",
                o.nDuration, nMin, nMedian, nMax, o.dRate * o.nDuration, nTotal, nSilent, nBad);
    std::printf("running:      RSS %s (peak %s), threads %ld, descriptors %d\n",
                MiB(running.nRssKb).c_str(), MiB(running.nHwmKb).c_str(), running.nThreads,
                running.nFds);
    std::printf(
        "closed:       all in %.2f s; RSS %s, threads %ld, descriptors %d (start: %ld, %d)\n",
        dCloseS, MiB(closed.nRssKb).c_str(), closed.nThreads, closed.nFds, start.nThreads,
        start.nFds);

    bool bDeliver = nOpenFailed == 0 && nSilent == 0 && nBad == 0;
    bool bMemory = running.nHwmKb <= kRssGoalKb;
    bool bBack = closed.nThreads == start.nThreads && closed.nFds == start.nFds;
    std::printf("\ngoal: all %d sessions deliver parts, every part right: %s\n", o.nSessions,
                bDeliver ? "met" : "NOT met");
    std::printf("goal: resident memory at most 64 MiB (peak %s): %s\n", MiB(running.nHwmKb).c_str(),
                bMemory ? "met" : "NOT met");
    std::printf("goal: threads and descriptors back to the start after closing: %s\n",
                bBack ? "met" : "NOT met");
    return bDeliver && bMemory && bBack ? 0 : 1;
}
