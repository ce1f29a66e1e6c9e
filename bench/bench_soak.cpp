// A soak of streams that reconnect: N sessions (default 1000) on one loopback
// server that drops every stream once a minute, for 10 minutes by default.
// Each session has HTTP_OPT_RECONNECT and the end record on, so the library
// makes every dropped stream again by itself and the callback goes on
// receiving the new stream's parts.
//
//   bench_soak [--sessions N] [--minutes M] [--drop-every S] [--rate PARTS_PER_S]
//              [--min-bytes N] [--max-bytes N] [--reconnect-ms MS] [--quick]
//
// The server (a forked child: one thread, epoll) cuts each stream in its part
// D = rate x S (120 at 2 parts/s and 60 s): it sends parts 0 to D - 1 whole,
// then half of part D, and closes. Every session must deliver exactly parts 0
// to D - 1 of each connection, every byte right, then a reconnect record,
// then the next connection's parts from 0. The run lasts until every stream
// has been dropped M times and all are answered, and a few seconds more.
// The process's resident memory, threads and descriptors are sampled every
// second; "between drops" are the samples with every drop so far answered.
//
// Exit status: 0 when every goal is met; 1 when one is missed; 2 for a bad
// command line; 3 when the descriptor limit cannot hold N sessions; 4 when
// the time limit (M x S + S + 120 s) stopped it.
#include <sys/mman.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench_util.h"
#include "soak_client.h"
#include "soak_report.h"
#include "streams_client.h"
#include "streams_server.h"

namespace {

void Usage() {
    std::fprintf(stderr, "usage: bench_soak [--sessions N] [--minutes M] [--drop-every S] "
                         "[--rate PARTS_PER_S]\n"
                         "                  [--min-bytes N] [--max-bytes N] [--reconnect-ms MS] "
                         "[--quick]\n"
                         "defaults: 1000 sessions, each stream dropped every 60 s, 10 times (10 "
                         "minutes),\n"
                         "2 parts/s of 200 to 4096 bytes, HTTP_OPT_RECONNECT 2000 ms;\n"
                         "--quick: 100 sessions dropped every 8 s, 3 times (about 30 s)\n");
}

// Reads the options; false for a bad command line (usage printed).
bool ParseOptions(int argc, char** argv, soak::SoakOptions* pOpt) {
    streams::Options& s = pOpt->stream;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            s.nSessions = 100;
            pOpt->nDropEveryS = 8;
            pOpt->nDrops = 3;
            continue;
        }
        if (i + 1 >= argc) {
            Usage();
            return false;
        }
        const double v = std::atof(argv[++i]);
        if (v <= 0) {
            Usage();
            return false;
        }
        const int n = static_cast<int>(v);
        if (a == "--sessions") {
            s.nSessions = n;
        } else if (a == "--minutes") {
            pOpt->nDrops = n;
        } else if (a == "--drop-every") {
            pOpt->nDropEveryS = n;
        } else if (a == "--rate") {
            s.dRate = v;
        } else if (a == "--min-bytes") {
            s.nMinBytes = n;
        } else if (a == "--max-bytes") {
            s.nMaxBytes = n;
        } else if (a == "--reconnect-ms") {
            pOpt->nReconnectMaxMs = n;
        } else {
            Usage();
            return false;
        }
    }
    const double dParts = s.dRate * pOpt->nDropEveryS;
    s.nDropAfter = static_cast<int>(dParts + 0.5);
    if (s.nDropAfter < 2 || s.nDropAfter - dParts > 1e-9 || dParts - s.nDropAfter > 1e-9) {
        std::fprintf(stderr, "bench_soak: rate x drop interval must be a whole number of parts, "
                             "at least 2\n");
        return false;
    }
    if (pOpt->nDrops < 2) {
        std::fprintf(stderr, "bench_soak: at least 2 drops (--minutes 2)\n");
        return false;
    }
    return streams::ValidOptions(s, "bench_soak");
}

char g_szTimeLimit[96];

void OnSoakTimeLimit(int) {
    ssize_t r = write(2, g_szTimeLimit, std::strlen(g_szTimeLimit));
    (void)r;
    _exit(4);
}

} // namespace

int main(int argc, char** argv) {
    soak::SoakOptions o;
    if (!ParseOptions(argc, argv, &o)) {
        return 2;
    }
    const int nLimitS = o.nDrops * o.nDropEveryS + o.nDropEveryS + 120;
    // The forked server inherits the limit and holds a dropped connection
    // until the client has closed it, beside the new one.
    if (!streams::PrepareClient(2 * o.stream.nSessions, "bench_soak")) {
        return 3;
    }
    int nPort = 0;
    int nListen = bench::ListenLoopback(1024, &nPort);
    if (nListen < 0) {
        std::perror("listen on 127.0.0.1");
        return 1;
    }
    // The server's counts, shared with the forked child.
    void* pShared = mmap(nullptr, sizeof(streams::ServerCounts), PROT_READ | PROT_WRITE,
                         MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (pShared == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    streams::ServerCounts* pCounts = new (pShared) streams::ServerCounts;
    int nControl = -1;
    const pid_t nServer = streams::ForkServer(nListen, o.stream, nLimitS + 10, pCounts, &nControl);
    if (nServer < 0) {
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::snprintf(g_szTimeLimit, sizeof(g_szTimeLimit), "\ntime limit reached (%d s), stopped\n",
                  nLimitS);
    std::signal(SIGALRM, OnSoakTimeLimit);
    alarm(static_cast<unsigned>(nLimitS));

    std::printf("bench_soak: %d sessions, each stream dropped by the server after %d whole parts "
                "(every %d s at %.3g parts/s of %d to %d bytes), %d times; HTTP_OPT_RECONNECT "
                "%d ms; server: a forked child on 127.0.0.1:%d (%u cores, Linux)\n",
                o.stream.nSessions, o.stream.nDropAfter, o.nDropEveryS, o.stream.dRate,
                o.stream.nMinBytes, o.stream.nMaxBytes, o.nDrops, o.nReconnectMaxMs, nPort,
                std::thread::hardware_concurrency());
    const soak::Outcome r = soak::RunSoak(o, nPort, pCounts);
    const bool bMet = soak::PrintReport(o, r);
    streams::StopServer(nServer, nControl);
    return bMet ? 0 : 1;
}
