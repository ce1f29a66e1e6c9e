// The report of bench_soak: two Markdown tables (the samples per drop
// interval, and the samples between drops grouped by the drops done), the
// counts of parts, drops and reconnects, and the goals.
#include "soak_report.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace soak {

namespace {

// The lowest and highest of the figures over some samples.
struct Range {
    int nSamples = 0;
    double dFrom = 0, dTo = 0;
    long nRssMin = 0, nRssMax = 0, nThreadsMin = 0, nThreadsMax = 0;
    int nFdsMin = 0, nFdsMax = 0;

    void Add(const Sample& f) {
        if (nSamples++ == 0) {
            dFrom = f.dT;
            nRssMin = nRssMax = f.nRssKb;
            nThreadsMin = nThreadsMax = f.nThreads;
            nFdsMin = nFdsMax = f.nFds;
        }
        dTo = f.dT;
        nRssMin = std::min(nRssMin, f.nRssKb);
        nRssMax = std::max(nRssMax, f.nRssKb);
        nThreadsMin = std::min(nThreadsMin, f.nThreads);
        nThreadsMax = std::max(nThreadsMax, f.nThreads);
        nFdsMin = std::min(nFdsMin, f.nFds);
        nFdsMax = std::max(nFdsMax, f.nFds);
    }
    std::string Cells() const {
        char sz[160];
        std::snprintf(sz, sizeof(sz), "%.1f to %.1f | %ld to %ld | %d to %d",
                      static_cast<double>(nRssMin) / 1024, static_cast<double>(nRssMax) / 1024,
                      nThreadsMin, nThreadsMax, nFdsMin, nFdsMax);
        return sz;
    }
};

const char* Met(bool b) {
    return b ? "met" : "NOT met";
}

// One row per drop interval (the last one as long as the run went on).
void PrintIntervals(const SoakOptions& o, const Outcome& r) {
    std::printf("\n| seconds | drops | reconnect records | parts | RSS MiB | threads | "
                "descriptors |\n|---|---|---|---|---|---|---|\n");
    const Sample* pBefore = nullptr;
    size_t i = 0;
    for (int nRow = 0; i < r.samples.size(); ++nRow) {
        const double dEnd = static_cast<double>((nRow + 1) * o.nDropEveryS);
        Range range;
        const Sample* pLast = nullptr;
        for (; i < r.samples.size() && (r.samples[i].dT < dEnd || nRow == o.nDrops); ++i) {
            range.Add(r.samples[i]);
            pLast = &r.samples[i];
        }
        if (pLast == nullptr) {
            continue;
        }
        const uint64_t nDrops = pLast->nServerDrops - (pBefore ? pBefore->nServerDrops : 0);
        const long nRecords = pLast->nReconnects - (pBefore ? pBefore->nReconnects : 0);
        const long nParts = pLast->nParts - (pBefore ? pBefore->nParts : 0);
        const double dTo = nRow == o.nDrops ? pLast->dT : dEnd;
        std::printf("| %d to %.0f | %llu | %ld | %ld | %s |\n", nRow * o.nDropEveryS, dTo,
                    (unsigned long long)nDrops, nRecords, nParts, range.Cells().c_str());
        pBefore = pLast;
    }
}

// The samples between drops, grouped by the drops done before them.
std::vector<Range> BetweenDrops(const SoakOptions& o, const Outcome& r) {
    std::vector<Range> groups(static_cast<size_t>(o.nDrops + 1));
    for (const Sample& f : r.samples) {
        if (f.nWavesDone >= 0 && f.nWavesDone <= o.nDrops) {
            groups[static_cast<size_t>(f.nWavesDone)].Add(f);
        }
    }
    std::printf("\nBetween drops (every drop answered, none in the last second, none under "
                "way):\n\n| drops done per stream | samples | seconds | RSS MiB | threads | "
                "descriptors |\n|---|---|---|---|---|---|\n");
    for (size_t k = 0; k < groups.size(); ++k) {
        if (groups[k].nSamples == 0) {
            std::printf("| %zu | 0 | | | | |\n", k);
            continue;
        }
        std::printf("| %zu | %d | %.0f to %.0f | %s |\n", k, groups[k].nSamples, groups[k].dFrom,
                    groups[k].dTo, groups[k].Cells().c_str());
    }
    return groups;
}

} // namespace

bool PrintReport(const SoakOptions& o, const Outcome& r) {
    PrintIntervals(o, r);
    const std::vector<Range> groups = BetweenDrops(o, r);
    const Totals& t = r.totals;
    const int nN = o.stream.nSessions;
    const long nCut = static_cast<long>(r.nServerDrops);

    std::printf("\nafter %.0f s:  %d sessions, %ld parts delivered, every byte checked: %ld wrong, "
                "%ld out of order, %ld lost\n",
                r.dRunS, r.nOpened, t.nParts, t.nWrong, t.nOutOfOrder, t.nLost);
    std::printf("drops:        %llu by the server (each cuts one part, never delivered); %ld "
                "reconnect records (%ld not peer-closed), %ld to %ld per session; "
                "HTTP_OPT_RECONNECT_COUNT other than the records: %d sessions\n",
                (unsigned long long)r.nServerDrops, t.nReconnects, t.nOtherReason, t.nMinReconnects,
                t.nMaxReconnects, t.nCountMismatch);
    std::printf("connections:  %ld seen in the parts (%d expected), HTTP_OPT_CONNECTIONS other "
                "than records + 1: %d sessions; server: %llu streams answered\n",
                t.nConnections, r.nOpened * (o.nDrops + 1), t.nConnectionsMismatch,
                (unsigned long long)r.nServerStreams);
    std::printf("checks:       %ld new connections without a record, %ld with parts in two "
                "sessions, %ld streams without parts, %ld streams ended before closing\n",
                t.nUnannounced, t.nForeign, t.nEmptyStreams, t.nEarlyEnds);
    std::printf("server:       %llu whole parts queued, %ld delivered, %lld on their way at the "
                "end\n",
                (unsigned long long)r.nServerParts, t.nParts,
                static_cast<long long>(r.nServerParts) - t.nParts);
    std::printf("peak:         RSS %.1f MiB\n", static_cast<double>(r.nHwmKb) / 1024);
    std::printf("closed:       all in %.2f s, %ld end records; RSS %.1f MiB, threads %ld, "
                "descriptors %d\n",
                r.dCloseS, t.nEndsAtClose, static_cast<double>(r.closed.nRssKb) / 1024,
                r.closed.nThreads, r.closed.nFds);
    std::printf("3 s later:    RSS %.1f MiB, threads %ld, descriptors %d (start: threads %ld, "
                "descriptors %d; the pool's idle threads wait 2 s)\n",
                static_cast<double>(r.idle.nRssKb) / 1024, r.idle.nThreads, r.idle.nFds,
                r.start.nThreads, r.start.nFds);

    const bool bDeliver = r.nOpened == nN && t.nWrong == 0 && t.nOutOfOrder == 0 && t.nLost == 0 &&
                          t.nUnannounced == 0 && t.nForeign == 0 && t.nEmptyStreams == 0 &&
                          t.nEarlyEnds == 0;
    const bool bDrops =
        r.bSettled && t.nMinReconnects == o.nDrops && t.nMaxReconnects == o.nDrops &&
        t.nReconnects == nCut && t.nOtherReason == 0 && t.nCountMismatch == 0 &&
        t.nConnectionsMismatch == 0 && t.nConnections == static_cast<long>(nN) * (o.nDrops + 1);
    const Range& first = groups[1];
    const Range& last = groups[static_cast<size_t>(o.nDrops)];
    const bool bRss =
        first.nSamples > 0 && last.nSamples > 0 && last.nRssMax <= first.nRssMax + kRssSlackKb;
    // Threads and descriptors between drops: one count each, from the first drop on.
    bool bCounts = first.nSamples > 0 && last.nSamples > 0;
    for (size_t k = 1; k < groups.size() && bCounts; ++k) {
        const Range& g = groups[k];
        bCounts = g.nSamples == 0 ||
                  (g.nThreadsMin == first.nThreadsMin && g.nThreadsMax == first.nThreadsMin &&
                   g.nFdsMin == first.nFdsMin && g.nFdsMax == first.nFdsMin);
    }
    const bool bBack = r.idle.nThreads == r.start.nThreads && r.idle.nFds == r.start.nFds &&
                       r.closed.nFds == r.start.nFds;

    std::printf("\ngoal: all %d sessions open, every stream delivers every whole part, 0 lost "
                "beyond the %ld cut by a drop: %s\n",
                nN, nCut, Met(bDeliver));
    std::printf("goal: every stream dropped %d times and reconnected (records = "
                "HTTP_OPT_RECONNECT_COUNT = the server's drops): %s\n",
                o.nDrops, Met(bDrops));
    std::printf("goal: RSS flat between drops (after drop %d at most %.0f MiB over after drop 1: "
                "%.1f against %.1f MiB): %s\n",
                o.nDrops, static_cast<double>(kRssSlackKb) / 1024,
                static_cast<double>(last.nRssMax) / 1024, static_cast<double>(first.nRssMax) / 1024,
                Met(bRss));
    std::printf("goal: threads and descriptors flat between drops (one count each from drop 1 "
                "on: %ld threads, %d descriptors): %s\n",
                first.nThreadsMin, first.nFdsMin, Met(bCounts));
    std::printf("goal: descriptors back to the start after closing, threads once the pool's "
                "idle ones have ended: %s\n",
                Met(bBack));
    std::fflush(stdout);
    return bDeliver && bDrops && bRss && bCounts && bBack;
}

} // namespace soak
