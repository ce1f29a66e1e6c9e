#include "transfer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "delivery_sink.h"
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

void Say(const std::string& text) {
    std::fprintf(stderr, "oxr-http: %s\n", text.c_str());
}

extern "C" int OXR_HTTP_CALLBACK OnData(int, void* pUser, OXR_HTTP_DATA* pData) {
    static_cast<DeliverySink*>(pUser)->Deliver(pData->pData, pData->nDataLen, pData->szContentType);
    return 0;
}

bool ReadBody(const ClientOptions& o, std::string* pBody) {
    if (o.bHasData) {
        *pBody = o.data;
        return true;
    }
    if (o.dataFile.empty()) {
        return true;
    }
    std::ifstream in(o.dataFile, std::ios::binary);
    if (!in) {
        Say("cannot read " + o.dataFile + ": " + std::strerror(errno));
        return false;
    }
    pBody->assign(std::istreambuf_iterator<char>(in), {});
    if (pBody->size() > 0x7fffffffu) {
        Say(o.dataFile + " is too large to send");
        return false;
    }
    return true;
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
        if (OXR_HTTP_GetStreamState(h, &nEnd, nullptr) == HTTP_STREAM_ENDED) {
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

std::string SavedIn(const ClientOptions& o, const SinkStats& stats, bool bMultipart) {
    if (!o.outputFile.empty()) {
        return o.outputFile;
    }
    if (!o.partsDir.empty()) {
        const long long nFiles = bMultipart ? stats.nParts : (stats.nBytes > 0 ? 1 : 0);
        return o.partsDir + " (" + std::to_string(nFiles) + (nFiles == 1 ? " file" : " files") +
               ", listed in index.tsv)";
    }
    return "";
}

} // namespace

int RunTransfer(const ClientOptions& o, const std::atomic<bool>& interrupted) {
    std::string body;
    if (!ReadBody(o, &body)) {
        return kExitLocalIo;
    }
    SinkSettings settings;
    settings.partsDir = o.partsDir;
    settings.outputFile = o.outputFile;
    settings.nMaxParts = o.nMaxParts;
    settings.bStdoutIsTerminal = isatty(STDOUT_FILENO) != 0;
    DeliverySink sink(settings);
    std::string error;
    if (!sink.Prepare(&error)) {
        Say(error);
        return kExitLocalIo;
    }
    if (OXR_HTTP_ClientInit() != 0) {
        Say("cannot start the socket layer");
        return kExitFailure;
    }
    if (o.bVerbose) {
        OXR_HTTP_SetLog(HTTP_LOG_DEBUG);
    }
    const int h = OXR_HTTP_OpenEx(o.url.c_str(), o.nMethod,
                                  o.bHasCredentials ? o.credentials.c_str() : nullptr, 0,
                                  o.nConnectTimeoutMs, OnData, &sink);
    if (h < 0) {
        const int nErr = OXR_HTTP_GetErrNo(-1);
        Say("cannot open " + o.url + ": " + ErrorInWords(nErr));
        OXR_HTTP_ClientFini();
        return nErr == HTTP_ERR_BAD_URL
                   ? kExitBadUrl
                   : (nErr == HTTP_ERR_CONNECT || nErr == HTTP_ERR_SOCKET ? kExitConnect
                                                                          : kExitFailure);
    }
    if ((o.bInsecure && OXR_HTTP_SetOption(h, HTTP_OPT_TLS_VERIFY, 0, nullptr) != 0) ||
        (!o.pin.empty() && OXR_HTTP_SetOption(h, HTTP_OPT_TLS_PIN, 0, o.pin.c_str()) != 0)) {
        Say("--pin wants a SHA-256 fingerprint: 64 hex digits, colons allowed");
        OXR_HTTP_Close(h);
        OXR_HTTP_ClientFini();
        return kExitUsage;
    }
    for (const auto& header : o.headers) {
        if (OXR_HTTP_AddHeader(h, header.first.c_str(), header.second.c_str()) != 0) {
            Say("header " + header.first + " refused: " + ErrorInWords(OXR_HTTP_GetErrNo(-1)));
            OXR_HTTP_Close(h);
            OXR_HTTP_ClientFini();
            return kExitFailure;
        }
    }
    // Without a body no Content-Length text is passed (the library then
    // records error -5 in its log, which is expected here).
    const std::string length = std::to_string(body.size());
    const int nErrBefore = OXR_HTTP_GetErrNo(-1);
    const Clock::time_point tSent = Clock::now();
    sink.MarkRequestSent(tSent);
    const int nSent = OXR_HTTP_SendRequest(h, o.HasBody() ? length.c_str() : nullptr,
                                           o.HasBody() ? body.data() : nullptr,
                                           static_cast<int>(body.size()), o.nTimeoutMs);
    if (o.bVerbose) {
        Say(std::string("authorization: ") +
            SchemeName(OXR_HTTP_GetOption(h, HTTP_OPT_AUTH_SCHEME)));
    }
    if (nSent != 0) {
        const int nExit = ExplainSendFailure(o, h, nErrBefore);
        OXR_HTTP_Close(h);
        OXR_HTTP_ClientFini();
        return nExit;
    }

    // The library's rule: a boundary parameter with a value makes a multipart
    // stream (the deliveries then come with 0 as their first argument).
    const char* pszType = OXR_HTTP_GetInfoByName(h, "Content-Type");
    const std::string type = pszType != nullptr ? pszType : "";
    TransferState state;
    state.bMultipart = NamesBoundary(type);
    state.bNoBody = o.nMethod == HTTP_METHOD_HEAD;
    if (const char* pszLength = OXR_HTTP_GetInfoByName(h, "Content-Length")) {
        char* pEnd = nullptr;
        const long long n = std::strtoll(pszLength, &pEnd, 10);
        state.nContentLength = pEnd != pszLength && n >= 0 ? n : -1;
    }
    if (!o.bSilent || o.bShowHeadersGiven) {
        ShowHeaders(o, h);
    }
    sink.SetMode(state.bMultipart ? DeliverySink::Mode::kMultipart : DeliverySink::Mode::kRaw,
                 type);

    const EndReason reason = Follow(o, h, sink, state, tSent, interrupted);
    OXR_HTTP_Close(h); // joins the receiver: no delivery after this
    OXR_HTTP_ClientFini();
    sink.Finish();

    const SinkStats stats = sink.Stats();
    state.bWriteFailed = !stats.error.empty();
    if (state.bWriteFailed) {
        Say(stats.error);
    }
    const EndReason finalReason = state.bWriteFailed ? EndReason::kWriteFailed : reason;
    const int nExit = ExitCodeForEnd(o, state, finalReason);
    if (!o.bSilent) {
        for (const std::string& line :
             SummaryLines(stats, state, DescribeEnd(o, state, finalReason),
                          SavedIn(o, stats, state.bMultipart))) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    } else if (nExit == kExitEndedEarly) {
        Say(DescribeEnd(o, state, finalReason));
    }
    return nExit;
}
