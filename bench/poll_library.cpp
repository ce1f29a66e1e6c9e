// bench_poll's library clients, through the public header only.
#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "bench_util.h"
#include "oxr_http.h"
#include "poll_clients.h"

namespace bench {

namespace {

const int kTimeoutMs = 5000;

// What a session's receiver thread hands over. The data and the figures are
// written on the receiver thread before bWhole is set under the mutex, and
// read by the main thread only after that (or after Close, which joins the
// receiver).
struct Receipt {
    explicit Receipt(const Target* pT) : pTarget(pT), parts(pT) {}
    void Reset() {
        std::lock_guard<std::mutex> g(m);
        body = Sum();
        parts = PartCheck(pTarget);
        bWrongType = bWrongHandle = bWhole = false;
        tFirstPartNs = 0;
    }
    std::string Verify() const {
        if (bWrongHandle) {
            return "the callback's handle is wrong";
        }
        if (pTarget->pszBoundary != nullptr) {
            return parts.Verify();
        }
        if (body.Bytes() != pTarget->nBytes || body.Value() != pTarget->nSum) {
            return std::to_string(body.Bytes()) + " bytes of " + std::to_string(pTarget->nBytes) +
                   (body.Bytes() == pTarget->nBytes ? ", checksum differs" : "");
        }
        return bWrongType ? "wrong content type" : "";
    }

    const Target* pTarget;
    int nHandle = -1;
    std::mutex m;
    std::condition_variable cv;
    Sum body;
    PartCheck parts;
    bool bWrongType = false;
    bool bWrongHandle = false;
    int64_t tFirstPartNs = 0;
    bool bWhole = false; // the whole body, or every part, has come
};

int OXR_HTTP_CALLBACK OnData(int nHandle, void* pUser, OXR_HTTP_DATA* pData) {
    Receipt* r = static_cast<Receipt*>(pUser);
    bool bWhole = false;
    if (r->pTarget->pszBoundary == nullptr) {
        r->bWrongHandle |= nHandle != r->nHandle;
        r->bWrongType |= std::strcmp(pData->szContentType, r->pTarget->pszType) != 0;
        r->body.Add(pData->pData, static_cast<size_t>(pData->nDataLen));
        bWhole = r->body.Bytes() >= r->pTarget->nBytes;
    } else {
        r->bWrongHandle |= nHandle != 0;
        if (r->parts.nParts == 0) {
            r->tFirstPartNs = NowNs();
        }
        r->parts.OnPart(pData->pData, static_cast<size_t>(pData->nDataLen), pData->szContentType);
        bWhole = r->parts.Complete();
    }
    if (bWhole) {
        std::lock_guard<std::mutex> g(r->m);
        r->bWhole = true;
        r->cv.notify_one();
    }
    return 0;
}

bool WaitFor(Receipt& r, bool Receipt::*pFlag) {
    std::unique_lock<std::mutex> lock(r.m);
    return r.cv.wait_for(lock, std::chrono::milliseconds(kTimeoutMs), [&] { return r.*pFlag; });
}

// A session on t, as an application opens one; -1 and *pError on failure.
int Open(const Target& t, Receipt* r, bool bKeepAlive, std::string* pError) {
    const std::string sCredentials =
        t.pszUser != nullptr ? std::string(t.pszUser) + ":" + t.pszPassword : "";
    int h = OXR_HTTP_OpenEx(t.sUrl.c_str(), HTTP_METHOD_GET,
                            t.pszUser != nullptr ? sCredentials.c_str() : nullptr, 0, kTimeoutMs,
                            OnData, r);
    if (h < 0) {
        *pError = "OXR_HTTP_OpenEx failed, error " + std::to_string(OXR_HTTP_GetErrNo(-1));
        return -1;
    }
    r->nHandle = h;
    // The certificate is self-signed: no check, as for libcurl.
    if ((t.bTls && OXR_HTTP_SetOption(h, HTTP_OPT_TLS_VERIFY, 0, nullptr) != 0) ||
        (bKeepAlive && OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, 1, nullptr) != 0)) {
        OXR_HTTP_Close(h);
        *pError = "OXR_HTTP_SetOption failed";
        return -1;
    }
    return h;
}

std::string Send(int h) {
    if (OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, kTimeoutMs) == 0) {
        return "";
    }
    int nReason = 0;
    OXR_HTTP_GetStreamState(h, &nReason, nullptr);
    return "OXR_HTTP_SendRequest failed, status " +
           std::to_string(OXR_HTTP_GetStatus(h, nullptr, 0)) + ", error " +
           std::to_string(OXR_HTTP_GetErrNo(-1)) + ", reason " + std::to_string(nReason);
}

// With keep-alive the next request may go once the receiver has ended
// (HTTP_STREAM_ENDED); it ends right after the body's last delivery. There is
// no call that waits for it, and the end record comes too early (a request
// sent from the thread it wakes is refused with error -10 while the end
// record still runs), so: yield until the state says so. The wait is timed.
// The state has been seen to say ENDED with the reason HTTP_END_NONE, and
// the reason to follow a moment later: such reads are counted in *pnEarly.
std::string WaitEnded(int h, int64_t* pWaitNs, int* pnEarly) {
    const int64_t t0 = NowNs();
    int nReason = 0;
    int nState = HTTP_STREAM_RUNNING;
    bool bEarly = false;
    while (NowNs() - t0 < kTimeoutMs * 1000000LL) {
        nState = OXR_HTTP_GetStreamState(h, &nReason, nullptr);
        if (nState == HTTP_STREAM_ENDED && nReason == HTTP_END_NONE) {
            bEarly = true;
        } else if (nState != HTTP_STREAM_RUNNING) {
            break;
        }
        sched_yield();
    }
    *pWaitNs += NowNs() - t0;
    *pnEarly += bEarly;
    if (nState != HTTP_STREAM_ENDED || nReason != HTTP_END_COMPLETE) {
        return "stream state " + std::to_string(nState) + ", reason " + std::to_string(nReason);
    }
    return "";
}

Outcome Failed(int i, const std::string& sError) {
    Outcome o;
    o.sError = "fetch " + std::to_string(i + 1) + ": " + sError;
    return o;
}

} // namespace

Outcome PollLibrary(const Target& t, int nSnapshots, bool bKeepAlive) {
    Outcome o;
    std::string sError;
    const int64_t t0 = NowNs();
    if (bKeepAlive) {
        Receipt r(&t);
        int h = Open(t, &r, true, &sError);
        if (h < 0) {
            return Failed(0, sError);
        }
        int64_t nSendNs = 0;
        int64_t nBodyNs = 0;
        int64_t nEndWaitNs = 0;
        for (int i = 0; i < nSnapshots && sError.empty(); ++i) {
            r.Reset();
            const int64_t tSend = NowNs();
            sError = Send(h);
            const int64_t tSent = NowNs();
            nSendNs += tSent - tSend;
            const bool bWhole = sError.empty() && WaitFor(r, &Receipt::bWhole);
            nBodyNs += NowNs() - tSent;
            if (sError.empty() && !bWhole) {
                sError = "body not whole in " + std::to_string(kTimeoutMs) + " ms";
            }
            sError = sError.empty() ? WaitEnded(h, &nEndWaitNs, &o.nEndedEarly) : sError;
            sError = sError.empty() ? r.Verify() : sError;
            if (!sError.empty()) {
                sError = "fetch " + std::to_string(i + 1) + ": " + sError;
            }
        }
        o.dSeconds = static_cast<double>(NowNs() - t0) / 1e9;
        o.dSend = static_cast<double>(nSendNs) / 1e9;
        o.dBody = static_cast<double>(nBodyNs) / 1e9;
        o.dEndWait = static_cast<double>(nEndWaitNs) / 1e9;
        o.nConnections = OXR_HTTP_GetOption(h, HTTP_OPT_CONNECTIONS);
        OXR_HTTP_Close(h);
    } else {
        for (int i = 0; i < nSnapshots; ++i) {
            Receipt r(&t);
            int h = Open(t, &r, false, &sError);
            if (h < 0) {
                return Failed(i, sError);
            }
            sError = Send(h);
            if (sError.empty() && !WaitFor(r, &Receipt::bWhole)) {
                sError = "body not whole in " + std::to_string(kTimeoutMs) + " ms";
            }
            o.nConnections += OXR_HTTP_GetOption(h, HTTP_OPT_CONNECTIONS);
            OXR_HTTP_Close(h);
            sError = sError.empty() ? r.Verify() : sError;
            if (!sError.empty()) {
                return Failed(i, sError);
            }
        }
        o.dSeconds = static_cast<double>(NowNs() - t0) / 1e9;
    }
    o.sError = sError;
    o.bOk = sError.empty();
    return o;
}

Outcome FirstPartLibrary(const Target& t, int nFetches, bool bKeepAlive) {
    Outcome o;
    std::vector<double> fromSend, fromOpen;
    for (int i = 0; i < nFetches; ++i) {
        Receipt r(&t);
        std::string sError;
        const int64_t tOpen = NowNs();
        int h = Open(t, &r, bKeepAlive, &sError);
        if (h < 0) {
            return Failed(i, sError);
        }
        const int64_t tSend = NowNs();
        sError = Send(h);
        // The rest of the stream too, so that every part is verified.
        if (sError.empty() && !WaitFor(r, &Receipt::bWhole)) {
            sError = "stream not whole in " + std::to_string(kTimeoutMs) + " ms";
        }
        o.nConnections += OXR_HTTP_GetOption(h, HTTP_OPT_CONNECTIONS);
        OXR_HTTP_Close(h);
        sError = sError.empty() ? r.Verify() : sError;
        if (!sError.empty()) {
            return Failed(i, sError);
        }
        fromSend.push_back(static_cast<double>(r.tFirstPartNs - tSend) / 1e9);
        fromOpen.push_back(static_cast<double>(r.tFirstPartNs - tOpen) / 1e9);
    }
    o.dSeconds = Median(fromSend);
    o.dFromOpen = Median(fromOpen);
    o.bOk = true;
    return o;
}

} // namespace bench
