// The client of bench_soak (Linux): N sessions that reconnect by themselves,
// their deliveries checked part by part, the process's figures sampled every
// second until every stream has been dropped the set number of times.
#ifndef OXR_BENCH_SOAK_CLIENT_H
#define OXR_BENCH_SOAK_CLIENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "streams_parts.h"
#include "streams_server.h"

namespace soak {

struct SoakOptions {
    streams::Options stream; // sessions, rate, part sizes; nDropAfter = rate x nDropEveryS
    int nDrops = 10;         // drops per stream (--minutes)
    int nDropEveryS = 60;
    int nReconnectMaxMs = 2000; // HTTP_OPT_RECONNECT
};

// The process's figures and the counts at one moment.
struct Sample {
    double dT = 0; // seconds since the streams began
    long nRssKb = -1;
    long nThreads = -1;
    int nFds = -1;
    long nParts = 0;      // delivered so far, all sessions
    long nReconnects = 0; // reconnect records so far
    uint64_t nServerDrops = 0;
    int nReconnecting = 0; // sessions HTTP_STREAM_RECONNECTING now
    int nEnded = 0;        // sessions HTTP_STREAM_ENDED now
    // Between drops: every drop so far answered by a record, none in the last
    // second, none under way, and the drops a whole number of waves (one per
    // stream): the value is that number; -1 otherwise.
    int nWavesDone = -1;
};

// What the sessions' tallies add up to, and what the library says of them.
struct Totals {
    long nParts = 0, nWrong = 0, nOutOfOrder = 0, nLost = 0, nConnections = 0;
    long nReconnects = 0, nOtherReason = 0, nEmptyStreams = 0, nUnannounced = 0, nForeign = 0;
    long nEarlyEnds = 0;
    long nMinReconnects = 0, nMaxReconnects = 0; // per session
    int nCountMismatch = 0;       // HTTP_OPT_RECONNECT_COUNT other than the session's records
    int nConnectionsMismatch = 0; // HTTP_OPT_CONNECTIONS other than its records + 1
    long nEndsAtClose = 0;        // end records of OXR_HTTP_Close
};

struct Outcome {
    int nOpened = 0;
    std::string sFirstFailure;
    double dOpenS = 0;
    Sample start, opened, closed; // figures only (dT 0)
    Sample idle;                  // figures 3 s after closing, once the pool's threads are gone
    long nHwmKb = -1;             // peak resident memory before closing
    std::vector<Sample> samples;
    bool bSettled = false; // every stream dropped nDrops times, all answered, in time
    double dRunS = 0;      // the streams' time, first part to the last sample
    Totals totals;         // taken after the last sample, before closing
    uint64_t nServerStreams = 0, nServerParts = 0, nServerDrops = 0; // then too
    double dCloseS = 0;
};

// Opens the sessions on http://127.0.0.1:nPort/stream and runs the soak;
// pCounts is the server's. Prints a progress line now and then.
Outcome RunSoak(const SoakOptions& o, int nPort, const streams::ServerCounts* pCounts);

} // namespace soak

#endif // OXR_BENCH_SOAK_CLIENT_H
