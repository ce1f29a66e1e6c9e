// When a transfer is over, and what its end means: a raw body complete by
// its Content-Length or as the library reports it (keep-alive: its framing
// says so), enough parts, the duration reached, the end of the stream as
// the library reports it, or silence for --timeout (unless the library makes
// the stream again after a drop).
#ifndef OXR_CLI_END_RULES_H
#define OXR_CLI_END_RULES_H

#include <string>

#include "cli_options.h"

struct TransferState {
    bool bMultipart = false;
    bool bNoBody = false;          // a HEAD request: nothing follows the head
    long long nContentLength = -1; // of a raw body; -1 when not announced
    bool bChunked = false;         // the body came with Transfer-Encoding: chunked
    long long nParts = 0;          // parts taken (at most --max-parts)
    long long nBytes = 0;          // body bytes taken
    long long nElapsedMs = 0;      // since the response head arrived
    long long nIdleMs = 0;         // since the last delivery (or the head)
    bool bInterrupted = false;
    bool bWriteFailed = false;
    int nStreamEnd = 0; // HTTP_END_* once the library reports the stream's end
    // --reconnect on this stream: the library makes it again after a drop,
    // and a silence of --timeout is such a drop, not the end.
    bool bReconnect = false;
    bool bReconnecting = false; // it is being made again now
};

enum class EndReason {
    kNone,
    kComplete,
    kMaxParts,
    kDuration,
    kStreamEnded,
    kIdle,
    kInterrupted,
    kWriteFailed
};

// kNone while the transfer should go on.
EndReason JudgeEnd(const ClientOptions& options, const TransferState& state);
// Exit code for a transfer that ended for the given reason.
int ExitCodeForEnd(const ClientOptions& options, const TransferState& state, EndReason reason);
// A few words for the summary: "duration of 3 s reached", ...
std::string DescribeEnd(const ClientOptions& options, const TransferState& state, EndReason reason);

#endif
