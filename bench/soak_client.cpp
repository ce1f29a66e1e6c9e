// The client of bench_soak: opens the sessions with reconnect and the end
// record on, samples every second, ends when every stream has been dropped
// and reconnected the set number of times (and a short while after), then
// compares what each session got with what the library and the server say.
#include "soak_client.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench_util.h"
#include "oxr_http.h"
#include "soak_check.h"

namespace soak {

namespace {

using Clock = std::chrono::steady_clock;

const int kGiveUpAfter = 5; // opening stops after this many failures in a row

std::atomic<bool> g_bClosing{false}; // the sessions are being closed

struct Session {
    Session(const streams::Options& o, ConnOwners* pOwners, int nIndex)
        : check(o, pOwners, nIndex, &tally) {}
    int nHandle = -1;
    Tally tally;
    StreamCheck check; // receiver thread only
};

int OXR_HTTP_CALLBACK OnData(int, void* pUser, OXR_HTTP_DATA* pData) {
    Session* s = static_cast<Session*>(pUser);
    if (pData->nDataLen == 0 && pData->pData == nullptr) {
        s->check.OnRecord(pData->szContentType, g_bClosing.load());
    } else {
        s->check.OnPart(pData->pData, pData->nDataLen, pData->szContentType);
    }
    return 0;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

Sample Figures() {
    Sample f;
    f.nRssKb = bench::ProcStatus("VmRSS");
    f.nThreads = bench::ProcStatus("Threads");
    f.nFds = bench::OpenDescriptors();
    return f;
}

std::string Brief(const Sample& f) {
    char sz[128];
    std::snprintf(sz, sizeof(sz), "RSS %.1f MiB, threads %ld, descriptors %d",
                  static_cast<double>(f.nRssKb) / 1024, f.nThreads, f.nFds);
    return sz;
}

// Opens every session: reconnect and the end record on, then the request.
// A failure is printed; opening stops after kGiveUpAfter in a row.
void OpenSessions(const SoakOptions& o, int nPort, std::vector<std::unique_ptr<Session>>* pSessions,
                  Outcome* pOut) {
    const std::string sUrl = "http://127.0.0.1:" + std::to_string(nPort) + "/stream";
    int nInARow = 0;
    for (std::unique_ptr<Session>& s : *pSessions) {
        int h = OXR_HTTP_OpenEx(sUrl.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000, OnData, s.get());
        std::string sWhy;
        if (h < 0) {
            sWhy = "OXR_HTTP_OpenEx failed, error " + std::to_string(OXR_HTTP_GetErrNo(-1));
        } else if (OXR_HTTP_SetOption(h, HTTP_OPT_RECONNECT, o.nReconnectMaxMs, nullptr) != 0 ||
                   OXR_HTTP_SetOption(h, HTTP_OPT_END_RECORD, 1, nullptr) != 0) {
            sWhy = "OXR_HTTP_SetOption failed";
        } else if (OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 5000) != 0) {
            sWhy = "OXR_HTTP_SendRequest failed (status " +
                   std::to_string(OXR_HTTP_GetStatus(h, nullptr, 0)) + ")";
        }
        if (!sWhy.empty() && h >= 0) {
            OXR_HTTP_Close(h);
            h = -1;
        }
        s->nHandle = h;
        if (h >= 0) {
            ++pOut->nOpened;
            nInARow = 0;
            continue;
        }
        std::printf("  failed:     %s\n", sWhy.c_str());
        if (pOut->sFirstFailure.empty()) {
            pOut->sFirstFailure = sWhy;
        }
        if (++nInARow >= kGiveUpAfter) {
            break;
        }
    }
}

// The figures and counts now; nWavesDone is set by the caller.
Sample Take(const std::vector<std::unique_ptr<Session>>& sessions,
            const streams::ServerCounts* pCounts) {
    Sample f = Figures();
    // The server's count first: a drop it counts after this is not yet one
    // the records can have answered.
    f.nServerDrops = pCounts->nDrops.load();
    for (const std::unique_ptr<Session>& s : sessions) {
        if (s->nHandle < 0) {
            continue;
        }
        f.nParts += s->tally.nParts.load();
        f.nReconnects += s->tally.nReconnects.load();
        const int nState = OXR_HTTP_GetStreamState(s->nHandle, nullptr, nullptr);
        f.nReconnecting += nState == HTTP_STREAM_RECONNECTING ? 1 : 0;
        f.nEnded += nState != HTTP_STREAM_RUNNING && nState != HTTP_STREAM_RECONNECTING ? 1 : 0;
    }
    return f;
}

// Whether the sample lies between drops (see Sample::nWavesDone).
int WavesDone(const Sample& f, uint64_t nDropsBefore, int nStreams) {
    const bool bQuiet = f.nReconnecting == 0 && f.nEnded == 0 && nStreams > 0 &&
                        f.nServerDrops == nDropsBefore &&
                        static_cast<uint64_t>(f.nReconnects) == f.nServerDrops &&
                        f.nServerDrops % static_cast<uint64_t>(nStreams) == 0;
    return bQuiet ? static_cast<int>(f.nServerDrops / static_cast<uint64_t>(nStreams)) : -1;
}

void AddUp(const std::vector<std::unique_ptr<Session>>& sessions, Totals* t) {
    bool bFirst = true;
    for (const std::unique_ptr<Session>& s : sessions) {
        if (s->nHandle < 0) {
            continue;
        }
        const Tally& y = s->tally;
        t->nParts += y.nParts;
        t->nWrong += y.nWrong;
        t->nOutOfOrder += y.nOutOfOrder;
        t->nLost += y.nLost;
        t->nConnections += y.nConnections;
        t->nReconnects += y.nReconnects;
        t->nOtherReason += y.nOtherReason;
        t->nEmptyStreams += y.nEmptyStreams;
        t->nUnannounced += y.nUnannounced;
        t->nForeign += y.nForeign;
        t->nEarlyEnds += y.nEarlyEnds;
        const long nRecords = y.nReconnects;
        t->nMinReconnects = bFirst ? nRecords : std::min(t->nMinReconnects, nRecords);
        t->nMaxReconnects = bFirst ? nRecords : std::max(t->nMaxReconnects, nRecords);
        bFirst = false;
        if (OXR_HTTP_GetOption(s->nHandle, HTTP_OPT_RECONNECT_COUNT) != nRecords) {
            ++t->nCountMismatch;
        }
        if (OXR_HTTP_GetOption(s->nHandle, HTTP_OPT_CONNECTIONS) != nRecords + 1) {
            ++t->nConnectionsMismatch;
        }
    }
}

} // namespace

Outcome RunSoak(const SoakOptions& o, int nPort, const streams::ServerCounts* pCounts) {
    Outcome out;
    OXR_HTTP_ClientInit();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    out.start = Figures();
    std::printf("start:        %s\n", Brief(out.start).c_str());

    // Every connection the run should need, twice over.
    const int nSessions = o.stream.nSessions;
    ConnOwners owners(static_cast<size_t>(nSessions) * static_cast<size_t>(o.nDrops + 2) * 2);
    std::vector<std::unique_ptr<Session>> sessions;
    for (int i = 0; i < nSessions; ++i) {
        sessions.push_back(std::make_unique<Session>(o.stream, &owners, i));
    }
    const Clock::time_point tOpen = Clock::now();
    OpenSessions(o, nPort, &sessions, &out);
    out.dOpenS = Seconds(tOpen, Clock::now());
    out.opened = Figures();
    std::printf("opened:       %d of %d sessions in %.2f s; %s\n", out.nOpened, nSessions,
                out.dOpenS, Brief(out.opened).c_str());
    std::fflush(stdout);

    // Once every stream has been dropped nDrops times and all are answered,
    // a few more seconds between drops; or one more interval at the most.
    const int nTailS = std::min(10, std::max(2, o.nDropEveryS / 4));
    const int nPrintEveryS = std::max(2, o.nDropEveryS / 6);
    const int nWaitS = o.nDrops * o.nDropEveryS;
    const int nLastS = nWaitS + o.nDropEveryS;
    const Clock::time_point tStreams = Clock::now();
    uint64_t nDropsBefore = 0;
    int nSettledAt = -1;
    for (int t = 1; t <= nLastS && (nSettledAt < 0 || t <= nSettledAt + nTailS); ++t) {
        std::this_thread::sleep_until(tStreams + std::chrono::seconds(t));
        Sample f = Take(sessions, pCounts);
        f.dT = Seconds(tStreams, Clock::now());
        f.nWavesDone = WavesDone(f, nDropsBefore, out.nOpened);
        nDropsBefore = f.nServerDrops;
        out.samples.push_back(f);
        if (nSettledAt < 0 && t >= nWaitS && f.nWavesDone >= o.nDrops) {
            nSettledAt = t;
            out.bSettled = f.nWavesDone == o.nDrops;
        }
        if (t % nPrintEveryS == 0) {
            std::printf("  %4d s:     %ld parts, %llu drops, %ld reconnect records, %d "
                        "reconnecting; %s\n",
                        t, f.nParts, (unsigned long long)f.nServerDrops, f.nReconnects,
                        f.nReconnecting, Brief(f).c_str());
            std::fflush(stdout);
        }
    }
    out.dRunS = Seconds(tStreams, Clock::now());
    out.nHwmKb = bench::ProcStatus("VmHWM");
    out.nServerDrops = pCounts->nDrops.load();
    AddUp(sessions, &out.totals);
    out.nServerStreams = pCounts->nStreams.load();
    out.nServerParts = pCounts->nParts.load();

    g_bClosing = true;
    const Clock::time_point tClose = Clock::now();
    for (std::unique_ptr<Session>& s : sessions) {
        if (s->nHandle >= 0) {
            OXR_HTTP_Close(s->nHandle);
        }
    }
    out.dCloseS = Seconds(tClose, Clock::now());
    for (const std::unique_ptr<Session>& s : sessions) {
        out.totals.nEndsAtClose += s->nHandle >= 0 ? s->tally.nEnds - s->tally.nEarlyEnds : 0;
    }
    out.closed = Figures();
    // On Linux the receivers run on a small pool: a thread that has run one
    // waits up to 2 s for the next before it ends.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    out.idle = Figures();
    OXR_HTTP_ClientFini();
    return out;
}

} // namespace soak
