// The client of bench_streams on its own, for Linux and for the 32-bit and
// 64-bit Windows builds (run under wine against a server on the same machine):
// opens N sessions on http://127.0.0.1:PORT/stream, served by
// `bench_streams --serve PORT_FILE` with the same options, and reports parts
// per session, memory, threads and handles (descriptors on Linux), before
// and after closing them all.
//
//   bench_streams_client --port PORT [--sessions N] [--duration S]
//                        [--rate PARTS_PER_S] [--min-bytes N] [--max-bytes N]
//                        [--quick] [--log]
//   bench_streams_client --fit-threads [N]
//
// --log switches the library's log on (level 2, standard error), which names
// the failures of a session that cannot open. --fit-threads (Windows build)
// needs no server: it starts up to N (2000) threads like the receivers, each
// only waiting, to show how many fit the 32-bit address space. The process stops by itself
// after duration + 120 s (exit status 4). Exit status as bench_streams.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "oxr_http.h"
#include "streams_client.h"

namespace {

void Usage() {
    std::fprintf(
        stderr, "usage: bench_streams_client --port PORT [--sessions N] [--duration S]\n"
                "                            [--rate PARTS_PER_S] [--min-bytes N] [--max-bytes N]\n"
                "                            [--quick] [--log]\n"
                "defaults: 1000 sessions, 30 s, 2 parts/s, 200 to 4096 bytes a part;\n"
                "--quick: 100 sessions for 3 s; the options must match the server's\n");
}

} // namespace

int main(int argc, char** argv) {
    streams::Options o;
    int nPort = 0;
    bool bLog = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (streams::ParseSharedOption(argc, argv, &i, &o, Usage)) {
            continue;
        }
        if (a == "--port" && i + 1 < argc) {
            nPort = std::atoi(argv[++i]);
        } else if (a == "--log") {
            bLog = true;
        } else if (a == "--fit-threads") {
            int nMax = 2000;
            if (i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
                nMax = std::atoi(argv[++i]);
            }
            streams::StartTimeLimit(300);
            return streams::FitThreads(nMax);
        } else {
            Usage();
            return 2;
        }
    }
    if (nPort <= 0 || nPort > 65535) {
        Usage();
        return 2;
    }
    if (!streams::ValidOptions(o, "bench_streams_client")) {
        return 2;
    }
    if (!streams::PrepareClient(o.nSessions, "bench_streams_client")) {
        return 3;
    }
    streams::StartTimeLimit(o.nDuration + 120);
    if (bLog) {
        OXR_HTTP_SetLog(HTTP_LOG_DEBUG);
    }
    return streams::RunClient(o, nPort, "a separate process on 127.0.0.1:" + std::to_string(nPort),
                              "bench_streams_client");
}
