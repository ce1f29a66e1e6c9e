// Many live streams at once: N sessions (default 1000) on one loopback
// server, each receiving a slow multipart stream, for D seconds; then what
// that costs the client process (resident memory, threads, descriptors), and
// whether closing every session gives the threads and descriptors back.
//
//   bench_streams [--sessions N] [--duration S] [--rate PARTS_PER_S]
//                 [--min-bytes N] [--max-bytes N] [--quick]
//   bench_streams --serve PORT_FILE [--life S] [the same options]
//
// By default the server is a forked child (one thread, epoll over every
// connection), so the figures read from /proc/self are the library's and
// this program's alone. With --serve the program is only the server: it
// listens on 127.0.0.1, writes its port to PORT_FILE, and serves whichever
// client comes (bench_streams_client, also the 32-bit Windows build under
// wine) until every stream it served has closed and none came for 10 s, or
// until --life seconds (default: duration + 120) have passed. Every part is
// checked: its length, its session's stream and sequence number, and every
// byte of its body.
//
// Exit status: 0 when every goal is met (all sessions open and deliver parts,
// every part right, peak resident memory at most 64 MiB, threads and
// descriptors back to the start after closing); 1 when one is missed; 2 for
// a bad command line; 3 when the descriptor limit cannot hold N sessions;
// 4 when the time limit (duration + 120 s) stopped it.

#include <csignal>
#include <string>

#include "bench_util.h"
#include "oxr_http.h"
#include "streams_client.h"
#include "streams_server.h"

namespace {

void Usage() {
    std::fprintf(stderr, "usage: bench_streams [--sessions N] [--duration S] [--rate PARTS_PER_S]\n"
                         "                     [--min-bytes N] [--max-bytes N] [--quick]\n"
                         "       bench_streams --serve PORT_FILE [--life S] [the same options]\n"
                         "defaults: 1000 sessions, 30 s, 2 parts/s, 200 to 4096 bytes a part;\n"
                         "--quick: 100 sessions for 3 s; --life: duration + 120 s\n");
}

// Writes the port to a file beside it, then renames it into place, so that
// a reader never sees half of it.
bool WritePortFile(const std::string& sFile, int nPort) {
    const std::string sTmp = sFile + ".tmp";
    FILE* f = std::fopen(sTmp.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    std::fprintf(f, "%d\n", nPort);
    return std::fclose(f) == 0 && std::rename(sTmp.c_str(), sFile.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    streams::Options o;
    std::string sPortFile;
    int nLifeS = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (streams::ParseSharedOption(argc, argv, &i, &o, Usage)) {
            continue;
        }
        if (a == "--serve" && i + 1 < argc) {
            sPortFile = argv[++i];
        } else if (a == "--life" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            nLifeS = std::atoi(argv[++i]);
        } else {
            Usage();
            return 2;
        }
    }
    if (!streams::ValidOptions(o, "bench_streams")) {
        return 2;
    }
    if (nLifeS == 0) {
        nLifeS = o.nDuration + 120;
    }
    if (!streams::PrepareClient(o.nSessions, "bench_streams")) {
        return 3;
    }

    int nPort = 0;
    int nListen = bench::ListenLoopback(1024, &nPort);
    if (nListen < 0) {
        std::perror("listen on 127.0.0.1");
        return 1;
    }
    if (!sPortFile.empty()) {
        if (!WritePortFile(sPortFile, nPort)) {
            std::perror(sPortFile.c_str());
            return 1;
        }
        std::printf("bench_streams server: 127.0.0.1:%d for %d sessions, %.3g parts/s each of %d "
                    "to %d bytes; stops after %d s at the latest\n",
                    nPort, o.nSessions, o.dRate, o.nMinBytes, o.nMaxBytes, nLifeS);
        std::fflush(stdout);
        streams::ServeStreams(nListen, -1, o, nLifeS, streams::kEndWhenDone, true);
    }

    int nControl = -1;
    const pid_t nServer = streams::ForkServer(nListen, o, nLifeS, nullptr, &nControl);
    if (nServer < 0) {
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    streams::StartTimeLimit(o.nDuration + 120);

    const int nResult = streams::RunClient(
        o, nPort, "a forked child on 127.0.0.1:" + std::to_string(nPort), "bench_streams");
    streams::StopServer(nServer, nControl);
    return nResult;
}
