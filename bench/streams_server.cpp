// The server of bench_streams: accepts, answers each request head with a
// multipart head, then sends each stream its parts on time, the streams'
// phases spread over one period; for bench_soak it also cuts each stream
// after a set number of parts.
#include "streams_server.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <vector>

#include "bench_util.h"

namespace streams {

namespace {

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
    bool bCut = false;  // its last part, half of it, is queued: no more parts
    bool bShut = false; // everything queued was out: its side is shut down
};

// Sends what is queued; false when the connection is gone. A cut stream's
// side is shut down once its queue is empty.
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
        if (c.bCut && !c.bShut) {
            shutdown(c.fd, SHUT_WR);
            c.bShut = true;
        }
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

// Queues the first half of part nSeq of the stream: the stream ends there.
void QueueCut(const Options& o, Conn* c) {
    std::string sPart;
    AppendPart(o, c->nId, c->nSeq, &sPart);
    c->out.append(sPart, 0, sPart.size() / 2);
    c->bCut = true;
}

} // namespace

void ServeStreams(int nListen, int nControl, const Options& o, int nLifeS, ServerEnd eEnd,
                  bool bReport, ServerCounts* pCounts) {
    std::signal(SIGPIPE, SIG_IGN);
    alarm(static_cast<unsigned>(nLifeS) + 5); // in case the loop below should ever stall
    const int64_t tStart = bench::NowNs();
    const int64_t tEnd = tStart + static_cast<int64_t>(nLifeS) * 1000000000;
    fcntl(nListen, F_SETFL, fcntl(nListen, F_GETFL) | O_NONBLOCK);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    epoll_ctl(ep, EPOLL_CTL_ADD, nListen, &ev);
    static int s_nControlTag;
    if (nControl >= 0) {
        ev.data.ptr = &s_nControlTag;
        epoll_ctl(ep, EPOLL_CTL_ADD, nControl, &ev);
    }

    const int64_t nPeriodNs = static_cast<int64_t>(1e9 / o.dRate);
    std::vector<Conn*> conns;
    uint32_t nNextId = 0;
    long nLive = 0;
    int64_t tLastAccept = tStart;
    uint64_t nPartsSent = 0;
    uint64_t nDrops = 0;
    bool bSweep = false; // closed connections are waiting to be freed
    std::vector<epoll_event> events(256);
    const std::string sHead = std::string("HTTP/1.1 200 OK\r\nContent-Type: multipart/mixed; "
                                          "boundary=") +
                              kBoundary + "\r\nConnection: close\r\n\r\n";
    auto drop = [&](Conn* c) {
        epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
        close(c->fd);
        c->fd = -1;
        --nLive;
        bSweep = true;
    };
    auto finish = [&](const char* pszWhy) {
        if (bReport) {
            const std::string sCut =
                o.nDropAfter > 0 ? ", " + std::to_string(nDrops) + " streams cut" : "";
            std::printf("bench_streams server: %u connections served, %llu parts queued%s, %ld "
                        "still open; ended after %.1f s: %s\n",
                        nNextId, (unsigned long long)nPartsSent, sCut.c_str(), nLive,
                        static_cast<double>(bench::NowNs() - tStart) / 1e9, pszWhy);
            std::fflush(stdout);
        }
        _exit(0);
    };
    for (;;) {
        int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 5);
        for (int i = 0; i < n; ++i) {
            void* p = events[i].data.ptr;
            if (p == &s_nControlTag) {
                finish("the parent is done");
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
                    ++nLive;
                    tLastAccept = bench::NowNs();
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
                        c->tNext = bench::NowNs() + static_cast<int64_t>(c->nId % o.nSessions) *
                                                        nPeriodNs / o.nSessions;
                        c->out = sHead;
                        c->in.clear();
                        if (pCounts != nullptr) {
                            ++pCounts->nStreams;
                        }
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
        const int64_t tNow = bench::NowNs();
        for (Conn* c : conns) {
            if (c->fd < 0 || !c->bStreaming || c->bCut || c->tNext > tNow) {
                continue;
            }
            if (o.nDropAfter > 0 && c->nSeq == static_cast<uint64_t>(o.nDropAfter)) {
                QueueCut(o, c);
                ++nDrops;
                if (pCounts != nullptr) {
                    ++pCounts->nDrops;
                }
            } else if (c->out.size() - c->nOutAt < 256 * 1024) {
                // A stream that cannot take its parts gets no more than it holds.
                AppendPart(o, c->nId, c->nSeq++, &c->out);
                ++nPartsSent;
                if (pCounts != nullptr) {
                    ++pCounts->nParts;
                }
            }
            c->tNext += nPeriodNs;
            if (!Flush(ep, *c)) {
                drop(c);
            }
        }
        if (bSweep) {
            // No event of this round of epoll_wait refers to them any more.
            size_t nKept = 0;
            for (Conn* c : conns) {
                if (c->fd < 0) {
                    delete c;
                } else {
                    conns[nKept++] = c;
                }
            }
            conns.resize(nKept);
            bSweep = false;
        }
        if (tNow >= tEnd) {
            finish("time limit");
        }
        if (eEnd == kEndWhenDone && nNextId > 0 && nLive == 0 &&
            tNow - tLastAccept > 10000000000LL) {
            finish("every stream closed, none new for 10 s");
        }
    }
}

pid_t ForkServer(int nListen, const Options& o, int nLifeS, ServerCounts* pCounts, int* pnControl) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return -1;
    }
    std::fflush(stdout);
    pid_t nServer = fork();
    if (nServer < 0) {
        std::perror("fork");
        return -1;
    }
    if (nServer == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(pipeFds[1]);
        ServeStreams(nListen, pipeFds[0], o, nLifeS, kEndOnControl, false, pCounts);
    }
    close(nListen);
    close(pipeFds[0]);
    *pnControl = pipeFds[1];
    return nServer;
}

void StopServer(pid_t nServer, int nControl) {
    close(nControl);
    int nStatus = 0;
    waitpid(nServer, &nStatus, 0);
}

} // namespace streams
