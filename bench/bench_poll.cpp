// Snapshot polling against Apache httpd on loopback: the library with
// keep-alive (one session, a request after another), the library without it
// (a session per snapshot, as applications did before keep-alive) and
// libcurl with one reused easy handle, over http, http + Digest, https and
// https + Digest; and the time to the first part of an MJPEG stream over
// https + Digest.
//
//   bench_poll [--rounds N] [--snapshots N] [--first N] [--only LIST] [--clients LIST]
//              [--no-curl] [--quick]
//
// httpd runs for the run only (keep-alive on, mod_auth_digest, mod_ssl with a
// self-signed certificate made for it) and stops by itself. Each round runs
// every row with each client, the order of the clients changing from round to
// round. Every body is verified (length, type, checksum of every byte); a
// failed run is reported and not counted. httpd's access log says how many
// requests, connections and TLS handshakes each run took. At the end: the
// medians, the per-round ratios and the goals, as Markdown tables.
#include <signal.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "bench_util.h"
#include "oxr_http.h"
#include "poll_apache.h"
#include "poll_clients.h"
#include "poll_report.h"

namespace {

using namespace bench;

const size_t kSnapshotBytes = 8549;
const int kStreamParts = 4;
const char kBoundary[] = "oxrpollframe";
const Row kRows[] = {{"http", "http", false, false, false},
                     {"http-digest", "http + Digest", false, true, false},
                     {"https", "https", true, false, false},
                     {"https-digest", "https + Digest", true, true, false},
                     {"first", "first part, https + Digest", true, true, true}};

// Bytes 0x80 to 0xFF between a JPEG's start and end markers (those are high
// bytes too), so that no part of the stream can hold a delimiter line.
std::string JpegLike(size_t n, uint64_t nSeed) {
    std::string s(n, '\0');
    FillHigh(&s[0], n, nSeed);
    s[0] = '\xFF';
    s[1] = '\xD8';
    s[n - 2] = '\xFF';
    s[n - 1] = '\xD9';
    return s;
}

uint64_t SumOf(const std::string& s) {
    Sum sum;
    sum.Add(s.data(), s.size());
    return sum.Value();
}

// The processor's name, as /proc/cpuinfo gives it.
std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string sLine;
    while (std::getline(in, sLine)) {
        if (sLine.compare(0, 10, "model name") == 0 && sLine.find(':') != std::string::npos) {
            return sLine.substr(sLine.find_first_not_of(" \t", sLine.find(':') + 1));
        }
    }
    return "?";
}

std::string LoadAverage() {
    FILE* f = std::fopen("/proc/loadavg", "r");
    char sz[64] = "?";
    if (f != nullptr) {
        if (std::fgets(sz, sizeof(sz), f) == nullptr) {
            sz[0] = '\0';
        }
        std::fclose(f);
    }
    std::string s = sz;
    return s.substr(0, s.find(' ', s.find(' ', s.find(' ') + 1) + 1));
}

void Usage() {
    std::fprintf(stderr,
                 "usage: bench_poll [--rounds N] [--snapshots N] [--first N] [--only LIST]\n"
                 "                  [--clients LIST] [--no-curl] [--quick]\n"
                 "  --rounds N     rounds (5)\n"
                 "  --snapshots N  snapshots per client and row in a round (300)\n"
                 "  --first N      fetches of the stream's first part per client in a round (20)\n"
                 "  --only LIST    rows: http,http-digest,https,https-digest,first\n"
                 "  --clients LIST clients: ka,without,curl (to profile one alone)\n"
                 "  --no-curl      leave the libcurl client out\n"
                 "  --quick        3 rounds, 30 snapshots, 5 fetches (a few seconds)\n");
}

} // namespace

int main(int argc, char** argv) {
    int nRounds = 5;
    int nSnapshots = 300;
    int nFirst = 20;
    std::string sOnly;
    std::string sClients = ",ka,without,curl,";
    bool bCurl = HaveCurl();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() {
            int v = i + 1 < argc ? std::atoi(argv[++i]) : 0;
            if (v <= 0 || v > 100000) {
                Usage();
                std::exit(2);
            }
            return v;
        };
        if (a == "--rounds") {
            nRounds = next();
        } else if (a == "--snapshots") {
            nSnapshots = next();
        } else if (a == "--first") {
            nFirst = next();
        } else if (a == "--only" && i + 1 < argc) {
            sOnly = "," + std::string(argv[++i]) + ",";
        } else if (a == "--clients" && i + 1 < argc) {
            sClients = "," + std::string(argv[++i]) + ",";
        } else if (a == "--no-curl") {
            bCurl = false;
        } else if (a == "--quick") {
            nRounds = 3;
            nSnapshots = 30;
            nFirst = 5;
        } else {
            Usage();
            return 2;
        }
    }
    std::vector<Row> rows;
    for (const Row& row : kRows) {
        if (sOnly.empty() ||
            sOnly.find("," + std::string(row.pszName) + ",") != std::string::npos) {
            rows.push_back(row);
        }
    }
    if (rows.empty()) {
        Usage();
        return 2;
    }
    std::vector<int> clients;
    for (int c : {kKeepAlive, kWithout, kCurl}) {
        if (sClients.find("," + std::string(kClientTag[c]) + ",") != std::string::npos &&
            (c != kCurl || bCurl)) {
            clients.push_back(c);
        }
    }
    if (clients.empty()) {
        Usage();
        return 2;
    }
    // The orders of the clients from round to round: each rotation of the
    // list, then of the list reversed, so that each client runs first, in
    // the middle and last (for three: all six orders).
    std::vector<std::vector<int>> orders;
    for (int nReversed = 0; nReversed < 2; ++nReversed) {
        std::vector<int> v = clients;
        if (nReversed) {
            std::reverse(v.begin(), v.end());
        }
        for (size_t k = 0; k < v.size(); ++k) {
            orders.push_back(v);
            std::rotate(v.begin(), v.begin() + 1, v.end());
        }
    }

    const std::string sSnapshot = JpegLike(kSnapshotBytes, 1);
    std::string sStream;
    std::vector<std::string> parts;
    for (int i = 0; i < kStreamParts; ++i) {
        parts.push_back(JpegLike(kSnapshotBytes, 2 + static_cast<uint64_t>(i)));
        sStream += std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\n" +
                   "Content-Length: " + std::to_string(kSnapshotBytes) + "\r\n\r\n" + parts.back() +
                   "\r\n";
    }
    sStream += std::string("--") + kBoundary + "--\r\n";

    utsname un{};
    uname(&un);
    std::printf("bench_poll: %ld cores (%s), Linux %s, load average %s\n",
                sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str(), un.release,
                LoadAverage().c_str());
    std::printf("server: %s (one process, mpm_event), %s; libcurl: %s%s\n",
                Apache::Version().c_str(), OpenSSL_version(OPENSSL_VERSION), CurlVersion().c_str(),
                HaveCurl() && !bCurl ? " (left out: --no-curl)" : "");
    std::printf("%d rounds of %d snapshots of %zu bytes per client and row; first part: %d "
                "fetches per client and round of %d parts of %zu bytes\n",
                nRounds, nSnapshots, kSnapshotBytes, nFirst, kStreamParts, kSnapshotBytes);

    // Generous for the rounds asked for: a round of 300 snapshots takes
    // about 10 s when the machine is busy.
    const unsigned nLifeS = 120 + static_cast<unsigned>(nRounds) *
                                      (30 + static_cast<unsigned>(nSnapshots + nFirst) / 10);
    Apache apache(sSnapshot, sStream, "multipart/x-mixed-replace;boundary=oxrpollframe");
    const std::string sStart = apache.Start(nLifeS);
    if (!sStart.empty()) {
        std::fprintf(stderr, "bench_poll: %s\n", sStart.c_str());
        return 1;
    }
    std::printf("httpd on 127.0.0.1:%d (http) and :%d (https, TLS 1.3, TLS_AES_128_GCM_SHA256, "
                "self-signed EC P-256), keep-alive on, stops by itself after %u s\n",
                apache.HttpPort(), apache.HttpsPort(), nLifeS);
    signal(SIGPIPE, SIG_IGN);
    OXR_HTTP_ClientInit();
    CurlInit();

    auto target = [&](const Row& row, int nClient, const std::string& sRound) {
        Target t;
        t.sUrl = std::string(row.bTls ? "https" : "http") + "://127.0.0.1:" +
                 std::to_string(row.bTls ? apache.HttpsPort() : apache.HttpPort()) +
                 (row.bDigest ? "/private" : "") + (row.bFirstPart ? "/stream.mjpg" : "/snap.jpg") +
                 "?t=" + Tag(row, nClient, sRound);
        if (row.bDigest) {
            t.pszUser = Apache::kUser;
            t.pszPassword = Apache::kPassword;
        }
        t.bTls = row.bTls;
        t.nBytes = sSnapshot.size();
        t.nSum = SumOf(sSnapshot);
        if (row.bFirstPart) {
            t.pszBoundary = kBoundary;
            for (const std::string& p : parts) {
                t.partBytes.push_back(p.size());
                t.partSums.push_back(SumOf(p));
            }
        }
        return t;
    };
    // A client's run, with the processor time and the context switches of
    // this process (all its threads; httpd is another process) beside it.
    auto run = [&](const Row& row, int nClient, const std::string& sRound, int nCount) {
        const Target t = target(row, nClient, sRound);
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        Outcome o = row.bFirstPart
                        ? (nClient == kCurl ? FirstPartCurl(t, nCount)
                                            : FirstPartLibrary(t, nCount, nClient == kKeepAlive))
                    : nClient == kCurl ? PollCurl(t, nCount)
                                       : PollLibrary(t, nCount, nClient == kKeepAlive);
        getrusage(RUSAGE_SELF, &after);
        auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
        o.dCpu = seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) -
                 seconds(before.ru_stime);
        o.nSwitches = (after.ru_nvcsw + after.ru_nivcsw) - (before.ru_nvcsw + before.ru_nivcsw);
        return o;
    };

    // One unreported pass first: code paths, caches and httpd's threads warm.
    for (const Row& row : rows) {
        for (int c : clients) {
            Outcome o = run(row, c, "warm", row.bFirstPart ? 2 : 20);
            if (!o.bOk) {
                std::printf("warm-up: %s, %s: %s\n", row.pszTitle, kClientName[c],
                            o.sError.c_str());
            }
        }
    }
    // results[row][client][round]
    std::vector<std::vector<std::vector<Outcome>>> results(
        rows.size(), std::vector<std::vector<Outcome>>(3, std::vector<Outcome>(nRounds)));
    int nFailed = 0;
    for (int r = 0; r < nRounds; ++r) {
        const std::vector<int>& order = orders[r % orders.size()];
        std::printf("\nround %d\n", r + 1);
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row& row = rows[i];
            std::printf("  %-28s", row.pszTitle);
            for (int c : order) {
                Outcome o =
                    run(row, c, std::to_string(r + 1), row.bFirstPart ? nFirst : nSnapshots);
                std::printf(
                    "  %s %s", kClientTag[c],
                    o.bOk ? Fixed(Figure(row, o, nSnapshots, false), row.bFirstPart ? 2 : 0).c_str()
                          : "FAILED");
                std::fflush(stdout);
                if (!o.bOk) {
                    ++nFailed;
                    o.sError = row.pszTitle + std::string(", ") + kClientName[c] + ": " + o.sError;
                }
                results[i][c][r] = o;
            }
            std::printf("\n");
            for (int c : order) {
                if (!results[i][c][r].bOk) {
                    std::printf("    FAILED verification, not counted: %s\n",
                                results[i][c][r].sError.c_str());
                }
            }
        }
    }
    CurlFini();
    OXR_HTTP_ClientFini();
    apache.Stop();
    std::printf("\nload average at the end %s\n", LoadAverage().c_str());

    Report rep;
    rep.rows = rows;
    rep.clients = clients;
    rep.nRounds = nRounds;
    rep.nSnapshots = nSnapshots;
    rep.nFirst = nFirst;
    rep.results = std::move(results);
    rep.counts = apache.Counts();
    PrintReport(rep, nFailed);
    return nFailed == 0 ? 0 : 1;
}
