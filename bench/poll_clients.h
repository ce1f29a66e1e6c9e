// The clients of bench_poll: the library with and without keep-alive, and
// libcurl, fetching snapshots one after the other or the first part of an
// MJPEG stream. Every body is verified.
#ifndef OXR_BENCH_POLL_CLIENTS_H
#define OXR_BENCH_POLL_CLIENTS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bench_bytes.h"

namespace bench {

// What a client asks for and what must come back.
struct Target {
    std::string sUrl;
    const char* pszUser = nullptr; // credentials, or none
    const char* pszPassword = nullptr;
    bool bTls = false;
    // A snapshot: its body and type.
    size_t nBytes = 0;
    uint64_t nSum = 0;
    const char* pszType = "image/jpeg";
    // A stream: its parts (all of pszType) and its boundary.
    std::vector<size_t> partBytes;
    std::vector<uint64_t> partSums;
    const char* pszBoundary = nullptr;
};

// The parts of a stream as a client receives them, checked in order: each
// one's length, type and checksum; the first failure is kept.
struct PartCheck {
    explicit PartCheck(const Target* pT) : pTarget(pT) {}
    void OnPart(const char* p, size_t n, const char* pszType) {
        const size_t i = nParts++;
        if (!sError.empty()) {
            return;
        }
        Sum sum;
        sum.Add(p, n);
        if (i >= pTarget->partBytes.size()) {
            sError = "more parts than were sent";
        } else if (n != pTarget->partBytes[i] || sum.Value() != pTarget->partSums[i]) {
            sError = "part " + std::to_string(i + 1) + " differs from what was sent";
        } else if (std::strcmp(pszType, pTarget->pszType) != 0) {
            sError = "part " + std::to_string(i + 1) + " has the type " + pszType;
        }
    }
    bool Complete() const { return nParts >= pTarget->partBytes.size(); }
    std::string Verify() const {
        if (!sError.empty() || Complete()) {
            return sError;
        }
        return std::to_string(nParts) + " of " + std::to_string(pTarget->partBytes.size()) +
               " parts";
    }

    const Target* pTarget;
    size_t nParts = 0;
    std::string sError;
};

struct Outcome {
    bool bOk = false;
    std::string sError;
    // Polling: all snapshots, from before the session or handle was made to
    // the last body verified. First part: the median of the fetches, from
    // before OXR_HTTP_SendRequest or curl_easy_perform to the first whole part.
    double dSeconds = 0;
    double dFromOpen = 0; // first part, library: from before OXR_HTTP_OpenEx
    int nConnections = 0; // as the client counts them (all fetches)
    // Polling with keep-alive, summed over the snapshots: in SendRequest, from
    // its return to the whole body, and from there to the receiver's end.
    double dSend = 0;
    double dBody = 0;
    double dEndWait = 0;
    int nEndedEarly = 0; // reads of HTTP_STREAM_ENDED with the reason not yet set
    // The client process's processor time and context switches in the run.
    double dCpu = 0;
    long nSwitches = 0;
};

// nSnapshots requests of t's snapshot: the library with keep-alive on one
// session, or a session per snapshot (the body ends where its length says,
// then the session is closed).
Outcome PollLibrary(const Target& t, int nSnapshots, bool bKeepAlive);
// nFetches times: a session (keep-alive or not) receives t's stream until its
// first part; then the rest of the parts are waited for and verified.
Outcome FirstPartLibrary(const Target& t, int nFetches, bool bKeepAlive);

inline double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool HaveCurl();
std::string CurlVersion();
void CurlInit();
void CurlFini();
// nSnapshots requests of t's snapshot with one easy handle (Digest when t has
// credentials).
Outcome PollCurl(const Target& t, int nSnapshots);
// nFetches times: a fresh easy handle receives t's stream, split into parts.
Outcome FirstPartCurl(const Target& t, int nFetches);

} // namespace bench

#endif // OXR_BENCH_POLL_CLIENTS_H
