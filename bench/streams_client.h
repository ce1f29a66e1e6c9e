// The client of bench_streams (Linux and Windows): N sessions on one server,
// the parts they deliver, and what they cost the process.
#ifndef OXR_BENCH_STREAMS_CLIENT_H
#define OXR_BENCH_STREAMS_CLIENT_H

#include <string>

#include "streams_parts.h"

namespace streams {

// Makes room for nSessions (Linux: raises the descriptor limit when the hard
// limit allows, warns about a low thread limit). False, with a message, when
// the process cannot hold them.
bool PrepareClient(int nSessions, const char* pszProgram);

// Ends the process (status 4, with a message) after nSeconds, whatever it is
// doing at the time.
void StartTimeLimit(int nSeconds);

// Windows: starts up to nMax threads like the library's receivers (1 MiB of
// stack reserved), each waiting on one event, until one cannot start, and
// prints how many did and the memory and address space they took; then ends
// them. Shows what fits a 32-bit process without any sockets. Returns 0 when
// all nMax started.
int FitThreads(int nMax);

// Opens o.nSessions sessions with OXR_HTTP_OpenEx on
// http://127.0.0.1:nPort/stream, lets them run o.nDuration seconds, closes
// them, and prints parts per session, memory, threads and handles (or
// descriptors) and the goals. sServer describes the server for the first
// line. Returns 0 when every goal is met, 1 when one is missed.
int RunClient(const Options& o, int nPort, const std::string& sServer, const char* pszProgram);

} // namespace streams

#endif // OXR_BENCH_STREAMS_CLIENT_H
