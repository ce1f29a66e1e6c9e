#include "end_rules.h"

#include <cstdio>

#include "exit_codes.h"
#include "oxr_http.h"

namespace {

bool RawComplete(const TransferState& s) {
    return !s.bMultipart && s.nContentLength >= 0 && s.nBytes >= s.nContentLength;
}

// Silence before what was asked for: the connection ended too soon.
bool EndedEarly(const ClientOptions& o, const TransferState& s) {
    if (s.bMultipart) {
        return (o.nMaxParts > 0 && s.nParts < o.nMaxParts) || o.dDurationSec > 0;
    }
    return (s.nContentLength >= 0 && s.nBytes < s.nContentLength) || o.dDurationSec > 0;
}

std::string StreamEndInWords(int nEnd) {
    switch (nEnd) {
    case HTTP_END_PEER_CLOSED:
        return "the device closed the connection";
    case HTTP_END_CLOSING_DELIMITER:
        return "the multipart body's closing delimiter";
    case HTTP_END_TIMEOUT:
        return "no data for the stream time-out";
    case HTTP_END_FRAMING:
        return "the stream broke its framing";
    case HTTP_END_NO_MEMORY:
        return "no memory for a part";
    case HTTP_END_COMPLETE:
        return "the body is complete";
    default:
        return "stopped";
    }
}

std::string Seconds(double d) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%g s", d);
    return buf;
}

} // namespace

EndReason JudgeEnd(const ClientOptions& o, const TransferState& s) {
    if (s.bWriteFailed) {
        return EndReason::kWriteFailed;
    }
    if (s.bInterrupted) {
        return EndReason::kInterrupted;
    }
    // A raw body the library has read to the end its framing gives is
    // whole, whether or not a length was announced. (A multipart body that
    // ends so is a stream that ended: too soon, if parts are missing.)
    if (s.bNoBody || RawComplete(s) || (!s.bMultipart && s.nStreamEnd == HTTP_END_COMPLETE)) {
        return EndReason::kComplete;
    }
    if (s.bMultipart && o.nMaxParts > 0 && s.nParts >= o.nMaxParts) {
        return EndReason::kMaxParts;
    }
    if (o.dDurationSec > 0 && s.nElapsedMs >= static_cast<long long>(o.dDurationSec * 1000)) {
        return EndReason::kDuration;
    }
    if (s.nStreamEnd != 0) {
        return EndReason::kStreamEnded;
    }
    if (!s.bReconnect && s.nIdleMs >= o.nTimeoutMs) {
        return EndReason::kIdle;
    }
    return EndReason::kNone;
}

int ExitCodeForEnd(const ClientOptions& o, const TransferState& s, EndReason reason) {
    switch (reason) {
    case EndReason::kWriteFailed:
        return kExitLocalIo;
    case EndReason::kInterrupted:
        return kExitInterrupted;
    case EndReason::kIdle:
    case EndReason::kStreamEnded:
        return EndedEarly(o, s) ? kExitEndedEarly : kExitOk;
    default:
        return kExitOk;
    }
}

std::string DescribeEnd(const ClientOptions& o, const TransferState& s, EndReason reason) {
    switch (reason) {
    case EndReason::kComplete:
        if (s.bNoBody) {
            return "no body expected";
        }
        if (s.nContentLength >= 0) {
            return "body complete (Content-Length reached)";
        }
        return s.bChunked ? "body complete (its last chunk came)" : "body complete";
    case EndReason::kMaxParts:
        return std::to_string(o.nMaxParts) + " parts received";
    case EndReason::kDuration:
        return "duration of " + Seconds(o.dDurationSec) + " reached";
    case EndReason::kIdle:
    case EndReason::kStreamEnded: {
        std::string text =
            reason == EndReason::kStreamEnded
                ? "stream ended: " + StreamEndInWords(s.nStreamEnd)
                : "no data for " + std::to_string(o.nTimeoutMs) + " ms, taken as the end";
        if (EndedEarly(o, s)) {
            if (s.bMultipart && o.nMaxParts > 0) {
                text += ": ended early (" + std::to_string(s.nParts) + " of " +
                        std::to_string(o.nMaxParts) + " parts)";
            } else if (!s.bMultipart && s.nContentLength >= 0 && s.nBytes < s.nContentLength) {
                text += ": ended early (" + std::to_string(s.nBytes) + " of " +
                        std::to_string(s.nContentLength) + " bytes)";
            } else {
                text += ": ended early (before " + Seconds(o.dDurationSec) + ")";
            }
        }
        return text;
    }
    case EndReason::kInterrupted:
        return "interrupted";
    case EndReason::kWriteFailed:
        return "writing the output failed";
    case EndReason::kNone:
        break;
    }
    return "";
}
