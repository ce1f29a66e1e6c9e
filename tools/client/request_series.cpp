#include "request_series.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <unistd.h>

#include "delivery_sink.h"
#include "exit_codes.h"
#include "oxr_http.h"
#include "part_naming.h"
#include "session_pool.h"
#include "transfer.h"

namespace {

using Clock = std::chrono::steady_clock;

extern "C" int OXR_HTTP_CALLBACK OnData(int, void* pUser, OXR_HTTP_DATA* pData) {
    DeliverySink* pSink = static_cast<DeliverySink*>(pUser);
    // The end record ("end:REASON", no data) is no data: it only says the
    // receiver has ended, so whoever waits can look now. A reconnect record
    // ("reconnect:REASON") says the library makes the stream again.
    if (pData->pData == nullptr && std::strncmp(pData->szContentType, "end:", 4) == 0) {
        pSink->Wake();
        return 0;
    }
    if (pData->pData == nullptr && std::strncmp(pData->szContentType, "reconnect:", 10) == 0) {
        pSink->NoteReconnect(
            std::string(pData->szContentType + 10, strnlen(pData->szContentType + 10, 58)));
        return 0;
    }
    pSink->Deliver(pData->pData, pData->nDataLen, pData->szContentType);
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

// Waits until `until`, in short steps so a signal ends the wait soon; false
// when interrupted.
bool WaitUntil(Clock::time_point until, const std::atomic<bool>& interrupted) {
    while (!interrupted.load()) {
        const Clock::time_point now = Clock::now();
        if (now >= until) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - now, std::chrono::milliseconds(50)));
    }
    return false;
}

std::string Plural(long long n, const char* pszWord) {
    return std::to_string(n) + " " + pszWord + (n == 1 ? "" : "s");
}

int RunRounds(const ClientOptions& o, const std::string& body, SessionPool& pool,
              DeliverySink& sink, const std::atomic<bool>& interrupted, long long* pnSent) {
    const long long nTotal = static_cast<long long>(o.targets.size()) * o.nRepeat;
    for (long nRound = 1; nRound <= o.nRepeat; ++nRound) {
        // --interval runs from one round's start to the next's, so polling
        // keeps its pace whatever each round takes (at once when it took longer).
        const Clock::time_point tNext =
            Clock::now() + std::chrono::milliseconds(nRound < o.nRepeat ? o.nIntervalMs : 0);
        for (const RequestTarget& target : o.targets) {
            ++*pnSent;
            if (!o.bSilent && nTotal > 1) {
                Say("request " + std::to_string(*pnSent) + " of " + std::to_string(nTotal) + ": " +
                    o.methodName + " " + target.url);
            }
            TransferJob job;
            job.url = target.url;
            job.outputFile = NumberedOutputName(target.outputFile, nRound, o.nRepeat);
            job.pBody = &body;
            const int nExit = RunTransfer(o, job, pool, sink, interrupted);
            if (nExit != kExitOk) {
                return nExit;
            }
        }
        if (nRound < o.nRepeat && !WaitUntil(tNext, interrupted)) {
            return kExitInterrupted;
        }
    }
    return kExitOk;
}

} // namespace

int RunRequests(const ClientOptions& o, const std::atomic<bool>& interrupted) {
    std::string body;
    if (!ReadBody(o, &body)) {
        return kExitLocalIo;
    }
    SinkSettings settings;
    settings.partsDir = o.partsDir;
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
    long long nSent = 0;
    int nExit = kExitOk;
    {
        SessionPool pool(o, OnData, &sink);
        nExit = RunRounds(o, body, pool, sink, interrupted, &nSent);
        const int nConnections = pool.Connections();
        pool.CloseAll(); // joins every receiver: no delivery after this
        if (o.bVerbose) {
            Say(Plural(nSent, "request") + " over " + Plural(nConnections, "connection"));
        }
    }
    OXR_HTTP_ClientFini();
    sink.Finish();
    return nExit;
}
