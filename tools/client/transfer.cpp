#include "transfer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

#include "end_rules.h"
#include "error_words.h"
#include "exit_codes.h"
#include "oxr_http.h"
#include "progress.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Why SendRequest failed, as the library tells it: a status it refused, an
// error number, or why no head came.
int ExplainSendFailure(const ClientOptions& o, int h, int nErrBefore) {
    char szReason[256];
    const int nStatus = OXR_HTTP_GetStatus(h, szReason, sizeof(szReason));
    if (nStatus >= 400) {
        Say("refused: " + std::to_string(nStatus) + (szReason[0] != '\0' ? " " : "") + szReason);
        return kExitRefused;
    }
    const int nErr = OXR_HTTP_GetErrNo(-1);
    if (nErr != nErrBefore && nErr == HTTP_ERR_STATUS) {
        Say("response refused: " + ErrorInWords(nErr));
        return kExitRefused;
    }
    if (nErr != nErrBefore && nErr == HTTP_ERR_SOCKET) {
        Say("sending the request failed: " + ErrorInWords(nErr));
        return kExitConnect;
    }
    if (nErr != nErrBefore && nErr == HTTP_ERR_CONNECT) {
        // A TLS handshake (or a new connection for a Digest answer) failed;
        // -v shows the library's record with the reason.
        Say("the connection for the request failed (TLS handshake or reconnect): " +
            ErrorInWords(nErr));
        return kExitConnect;
    }
    int nWhy = HTTP_END_NONE;
    OXR_HTTP_GetStreamState(h, &nWhy, nullptr);
    if (nWhy == HTTP_END_TIMEOUT) {
        Say("time-out: no response head within " + std::to_string(o.nTimeoutMs) + " ms");
        return kExitTimeout;
    }
    if (nWhy == HTTP_END_PEER_CLOSED || nWhy == HTTP_END_FRAMING) {
        Say(nWhy == HTTP_END_FRAMING ? "the response head is larger than 16 KiB"
                                     : "the connection closed before a complete response head");
        return kExitNoHead;
    }
    Say("response refused: status " + std::to_string(nStatus) + " is no HTTP status");
    return kExitRefused;
}

// Whether a Content-Type value has a boundary parameter with a value, as the
// library reads it ("boundary", its own parameter name, then "=").
bool NamesBoundary(const std::string& type) {
    for (size_t at = type.find("boundary"); at != std::string::npos;
         at = type.find("boundary", at + 1)) {
        const bool bOwnName =
            at == 0 || type[at - 1] == ';' || type[at - 1] == ' ' || type[at - 1] == '\t';
        size_t p = at + 8;
        while (p < type.size() && (type[p] == ' ' || type[p] == '\t')) {
            ++p;
        }
        if (bOwnName && p < type.size() && type[p] == '=') {
            ++p;
            while (p < type.size() && (type[p] == ' ' || type[p] == '\t')) {
                ++p;
            }
            return p < type.size() && type[p] != ';' && type.compare(p, 2, "\"\"") != 0;
        }
    }
    return false;
}

const char* SchemeName(int nScheme) {
    return nScheme == HTTP_AUTH_DIGEST ? "Digest" : (nScheme == HTTP_AUTH_BASIC ? "Basic" : "none");
}

void ShowHeaders(const ClientOptions& o, int h) {
    for (const std::string& name : o.showHeaders) {
        const char* pszValue = OXR_HTTP_GetInfoByName(h, name.c_str());
        std::fprintf(stderr, "%s: %s\n", name.c_str(),
                     pszValue != nullptr ? pszValue : "(not in the response)");
    }
}

// Follows the stream until the end rules say it is over.
EndReason Follow(const ClientOptions& o, int h, DeliverySink& sink, TransferState& state,
                 Clock::time_point tSent, const std::atomic<bool>& interrupted) {
    const bool bStatus = !o.bSilent && isatty(STDERR_FILENO);
    const Clock::time_point tHead = Clock::now();
    const long long nHeadMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(tHead - tSent).count();
    Clock::time_point tShown = tHead;
    EndReason reason = EndReason::kNone;
    for (;;) {
        const SinkStats stats = sink.Stats();
        state.nParts = stats.nParts;
        state.nBytes = stats.nBytes;
        state.nElapsedMs = MsSince(tHead);
        state.nIdleMs = MsSince(tSent) - std::max(nHeadMs, stats.nLastMs);
        state.bInterrupted = interrupted.load();
        state.bWriteFailed = !stats.error.empty();
        int nEnd = HTTP_END_NONE;
        const int nState = OXR_HTTP_GetStreamState(h, &nEnd, nullptr);
        state.bReconnecting = nState == HTTP_STREAM_RECONNECTING;
        if (nState == HTTP_STREAM_ENDED) {
            // Deliveries are all in once the receiver has ended.
            const SinkStats last = sink.Stats();
            state.nParts = last.nParts;
            state.nBytes = last.nBytes;
            state.nStreamEnd = nEnd;
        }
        reason = JudgeEnd(o, state);
        if (reason != EndReason::kNone) {
            break;
        }
        if (bStatus && MsSince(tShown) >= 250) {
            std::fprintf(stderr, "\r%s\033[K", StatusLine(stats, state).c_str());
            tShown = Clock::now();
        }
        sink.WaitForDelivery(std::chrono::milliseconds(100));
    }
    if (bStatus) {
        std::fputs("\r\033[K", stderr);
    }
    return reason;
}

std::string SavedIn(const ClientOptions& o, const std::string& outputFile, const SinkStats& stats) {
    if (!outputFile.empty()) {
        return outputFile;
    }
    if (!o.partsDir.empty()) {
        return o.partsDir + " (" + std::to_string(stats.nPartFiles) +
               (stats.nPartFiles == 1 ? " file" : " files") + ", listed in index.tsv)";
    }
    return "";
}

// Whether the receiver has ended, waiting at most nMs: a body read to its end
// ends it at once, and only an ended receiver lets the session send again.
bool ReceiverEnds(int h, int nMs) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(nMs);
    for (;;) {
        if (OXR_HTTP_GetStreamState(h, nullptr, nullptr) == HTTP_STREAM_ENDED) {
            return true;
        }
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// -v: whether the request went over a connection an earlier request of its
// session had used. The first request of a session takes the connection the
// open made; later ones reuse theirs unless the session had to connect again.
void SayConnection(bool bFirstOnSession, int nBefore, int nAfter, int nTotal) {
    const bool bReused = !bFirstOnSession && nAfter == nBefore;
    Say(std::string("connection: ") + (bReused ? "reused" : "new") + " (" + std::to_string(nTotal) +
        " made so far)");
}

// -v names each redirect the library followed (its pseudo fields
// ":redirect-N") and the answer's status; a redirect that was not followed
// is pointed out, since its body is what gets saved.
void SayStatus(const ClientOptions& o, int h) {
    char szReason[256];
    const int nStatus = OXR_HTTP_GetStatus(h, szReason, sizeof(szReason));
    const std::string status =
        std::to_string(nStatus) + (szReason[0] != '\0' ? " " : "") + szReason;
    if (o.bVerbose) {
        const char* pszHops = OXR_HTTP_GetInfoByName(h, ":redirects");
        const int nHops = pszHops != nullptr ? std::atoi(pszHops) : 0;
        for (int i = 1; i <= nHops; ++i) {
            const char* pszHop =
                OXR_HTTP_GetInfoByName(h, (":redirect-" + std::to_string(i)).c_str());
            Say("redirect " + std::to_string(i) + ": " + (pszHop != nullptr ? pszHop : "..."));
        }
        Say("status: " + status);
    }
    const char* pszLocation = OXR_HTTP_GetInfoByName(h, "Location");
    if (nStatus < 300 || nStatus > 399 || pszLocation == nullptr || (o.bSilent && !o.bFollow)) {
        return;
    }
    Say("redirect not followed: " + status + ", Location: " + pszLocation +
        (o.bFollow ? " (-L follows at most --max-redirs " + std::to_string(o.nMaxRedirs) +
                         ", to http and https URLs and absolute paths)"
                   : " (-L follows redirects)"));
}

// --reconnect, before the request: on only for a request with a body, so
// the library keeps the body to send again; every other request waits for
// its head. After the head (bMultipart known): on for a multipart stream,
// whose parts are whole units, and then a silence of --timeout is a drop
// too. A body fetched again would have its bytes appended to those of the
// first try, so raw answers are not made again. False when refused.
bool SetReconnect(const ClientOptions& o, int h, bool bHeadKnown, bool bMultipart) {
    if (o.nReconnectMs == 0) {
        return true;
    }
    const bool bOn = bHeadKnown ? bMultipart : o.HasBody();
    if (OXR_HTTP_SetOption(h, HTTP_OPT_RECONNECT, bOn ? o.nReconnectMs : 0, nullptr) != 0) {
        Say("--reconnect: the library refused HTTP_OPT_RECONNECT (" +
            ErrorInWords(OXR_HTTP_GetErrNo(-1)) + ")");
        return false;
    }
    return !bHeadKnown || !bOn ||
           OXR_HTTP_SetOption(h, HTTP_OPT_STREAM_TIMEOUT, o.nTimeoutMs, nullptr) == 0;
}

void PrintSummary(const ClientOptions& o, const std::string& outputFile, const SinkStats& stats,
                  const TransferState& state, EndReason reason, int nExit) {
    if (!o.bSilent) {
        for (const std::string& line : SummaryLines(stats, state, DescribeEnd(o, state, reason),
                                                    SavedIn(o, outputFile, stats))) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    } else if (nExit == kExitEndedEarly) {
        Say(DescribeEnd(o, state, reason));
    }
}

} // namespace

int RunTransfer(const ClientOptions& o, const TransferJob& job, SessionPool& pool,
                DeliverySink& sink, const std::atomic<bool>& interrupted) {
    bool bOpened = false;
    int nExit = kExitOk;
    const int h = pool.Get(job.url, &bOpened, &nExit);
    if (h < 0) {
        return nExit;
    }
    const Clock::time_point tSent = Clock::now();
    std::string error;
    if (!sink.BeginTransfer(job.outputFile, tSent, &error)) {
        Say(error);
        sink.EndTransfer();
        return kExitLocalIo;
    }
    // Without a body no Content-Length text is passed (the library then
    // records error -5 in its log, which is expected here).
    const std::string& body = *job.pBody;
    const std::string length = std::to_string(body.size());
    if (!SetReconnect(o, h, false, false)) {
        pool.Drop(job.url);
        sink.EndTransfer();
        return kExitFailure;
    }
    const int nErrBefore = OXR_HTTP_GetErrNo(-1);
    const int nConnectionsBefore = OXR_HTTP_GetOption(h, HTTP_OPT_CONNECTIONS);
    const int nSent = OXR_HTTP_SendRequest(h, o.HasBody() ? length.c_str() : nullptr,
                                           o.HasBody() ? body.data() : nullptr,
                                           static_cast<int>(body.size()), o.nTimeoutMs);
    if (o.bVerbose) {
        Say(std::string("authorization: ") +
            SchemeName(OXR_HTTP_GetOption(h, HTTP_OPT_AUTH_SCHEME)));
        SayConnection(bOpened, nConnectionsBefore, OXR_HTTP_GetOption(h, HTTP_OPT_CONNECTIONS),
                      pool.Connections());
    }
    if (nSent != 0) {
        nExit = ExplainSendFailure(o, h, nErrBefore);
        pool.Drop(job.url);
        sink.EndTransfer();
        return nExit;
    }
    SayStatus(o, h);

    // The library's rule: a boundary parameter with a value makes a multipart
    // stream (the deliveries then come with 0 as their first argument).
    const char* pszType = OXR_HTTP_GetInfoByName(h, "Content-Type");
    const std::string type = pszType != nullptr ? pszType : "";
    TransferState state;
    state.bMultipart = NamesBoundary(type);
    state.bReconnect = o.nReconnectMs > 0 && state.bMultipart;
    SetReconnect(o, h, true, state.bMultipart); // accepted before the request
    state.bNoBody = o.nMethod == HTTP_METHOD_HEAD;
    if (const char* pszLength = OXR_HTTP_GetInfoByName(h, "Content-Length")) {
        char* pEnd = nullptr;
        const long long n = std::strtoll(pszLength, &pEnd, 10);
        state.nContentLength = pEnd != pszLength && n >= 0 ? n : -1;
    }
    const char* pszCoding = OXR_HTTP_GetInfoByName(h, "Transfer-Encoding");
    state.bChunked = pszCoding != nullptr && std::strstr(pszCoding, "chunked") != nullptr;
    if (!o.bSilent || o.bShowHeadersGiven) {
        ShowHeaders(o, h);
    }
    sink.SetMode(state.bMultipart ? DeliverySink::Mode::kMultipart : DeliverySink::Mode::kRaw,
                 type);

    const EndReason reason = Follow(o, h, sink, state, tSent, interrupted);
    // An answer read to its end leaves the session ready for the next
    // request (on the same connection, if the device kept it); a stream
    // stopped on our side still has a receiver, which only a close stops.
    const bool bToItsEnd = reason == EndReason::kComplete || reason == EndReason::kStreamEnded;
    if (!bToItsEnd || !ReceiverEnds(h, 2000)) {
        pool.Drop(job.url);
    }
    sink.EndTransfer();

    const SinkStats stats = sink.Stats();
    state.bWriteFailed = !stats.error.empty();
    if (state.bWriteFailed) {
        Say(stats.error);
    }
    const EndReason finalReason = state.bWriteFailed ? EndReason::kWriteFailed : reason;
    nExit = ExitCodeForEnd(o, state, finalReason);
    PrintSummary(o, job.outputFile, stats, state, finalReason, nExit);
    return nExit;
}
