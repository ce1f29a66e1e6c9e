// The server of bench_streams (Linux): one thread, epoll over every
// connection, a slow multipart stream on each.
#ifndef OXR_BENCH_STREAMS_SERVER_H
#define OXR_BENCH_STREAMS_SERVER_H

#include "streams_parts.h"

namespace streams {

// How the server ends (besides its time limit).
enum ServerEnd {
    kEndOnControl, // when nControl becomes readable or closes (the parent is done)
    kEndWhenDone,  // when it has served streams, all of them have closed, and none came for 10 s
};

// Serves on nListen until nLifeS seconds have passed or as eEnd says; then
// exits the process (status 0). With bReport it prints what it served.
[[noreturn]] void ServeStreams(int nListen, int nControl, const Options& o, int nLifeS,
                               ServerEnd eEnd, bool bReport);

} // namespace streams

#endif // OXR_BENCH_STREAMS_SERVER_H
