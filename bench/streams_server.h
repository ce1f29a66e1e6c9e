// The server of bench_streams (Linux): one thread, epoll over every
// connection, a slow multipart stream on each.
#ifndef OXR_BENCH_STREAMS_SERVER_H
#define OXR_BENCH_STREAMS_SERVER_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "streams_parts.h"

namespace streams {

// How the server ends (besides its time limit).
enum ServerEnd {
    kEndOnControl, // when nControl becomes readable or closes (the parent is done)
    kEndWhenDone,  // when it has served streams, all of them have closed, and none came for 10 s
};

// What the server has done so far, kept up to date as it serves: in memory
// shared before a fork, the parent reads it while the child serves.
struct ServerCounts {
    std::atomic<uint64_t> nStreams{0}; // request heads answered
    std::atomic<uint64_t> nParts{0};   // whole parts queued
    std::atomic<uint64_t> nDrops{0};   // streams cut mid-part and closed (o.nDropAfter)
};

// Serves on nListen until nLifeS seconds have passed or as eEnd says; then
// exits the process (status 0). With bReport it prints what it served; with
// pCounts it keeps those counts there.
//
// With o.nDropAfter = D, each stream is dropped once it has sent parts 0 to
// D - 1 whole: the first half of part D is queued, and once everything
// queued is out the server shuts its side down (a FIN after the last byte)
// and closes the connection when the client has closed its own.
[[noreturn]] void ServeStreams(int nListen, int nControl, const Options& o, int nLifeS,
                               ServerEnd eEnd, bool bReport, ServerCounts* pCounts = nullptr);

// Serves on nListen in a forked child (kEndOnControl, no report) that also
// dies with its parent; the parent's copy of nListen is closed. Returns the
// child's pid and in *pnControl what ends it (StopServer), or -1 with the
// reason printed.
pid_t ForkServer(int nListen, const Options& o, int nLifeS, ServerCounts* pCounts, int* pnControl);

// Ends the server ForkServer started and waits for it.
void StopServer(pid_t nServer, int nControl);

} // namespace streams

#endif // OXR_BENCH_STREAMS_SERVER_H
