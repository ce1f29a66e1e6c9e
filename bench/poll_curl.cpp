// bench_poll's libcurl clients: the easy interface, one handle reused for
// polling (as libcurl's documentation advises for repeated transfers), a
// fresh one for the first part of a stream. Without libcurl at build time
// they only say so.
#include "bench_util.h"
#include "part_splitter.h"
#include "poll_clients.h"

#ifndef OXR_BENCH_HAVE_CURL
#define OXR_BENCH_HAVE_CURL 0
#endif
#if OXR_BENCH_HAVE_CURL
#include <curl/curl.h>
#endif

namespace bench {

#if OXR_BENCH_HAVE_CURL

namespace {

struct CurlReceipt {
    explicit CurlReceipt(const Target* pT) : parts(pT) {}
    Sum body;
    PartCheck parts;
    Splitter* pSplit = nullptr;
    int64_t tFirstPartNs = 0;
};

size_t OnBody(char* p, size_t nSize, size_t nCount, void* pUser) {
    static_cast<CurlReceipt*>(pUser)->body.Add(p, nSize * nCount);
    return nSize * nCount;
}

size_t OnStream(char* p, size_t nSize, size_t nCount, void* pUser) {
    static_cast<CurlReceipt*>(pUser)->pSplit->Feed(p, nSize * nCount);
    return nSize * nCount;
}

void OnPart(void* pCtx, const char* p, int nLen, const char* pszType) {
    CurlReceipt* r = static_cast<CurlReceipt*>(pCtx);
    if (r->parts.nParts == 0) {
        r->tFirstPartNs = NowNs();
    }
    r->parts.OnPart(p, static_cast<size_t>(nLen), pszType);
}

CURL* MakeHandle(const Target& t, bool bStream, CurlReceipt* r) {
    CURL* c = curl_easy_init();
    if (c == nullptr) {
        return nullptr;
    }
    curl_easy_setopt(c, CURLOPT_URL, t.sUrl.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, bStream ? OnStream : OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, r);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 5L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
    if (t.pszUser != nullptr) {
        curl_easy_setopt(c, CURLOPT_USERNAME, t.pszUser);
        curl_easy_setopt(c, CURLOPT_PASSWORD, t.pszPassword);
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
    }
    if (t.bTls) {
        // Self-signed: no check, as for the library.
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    return c;
}

// After a transfer: "" when it succeeded with a 200; adds its new connections.
std::string Finished(CURL* c, CURLcode rc, Outcome* o) {
    long nCode = 0;
    long nConnects = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &nCode);
    curl_easy_getinfo(c, CURLINFO_NUM_CONNECTS, &nConnects);
    o->nConnections += static_cast<int>(nConnects);
    if (rc != CURLE_OK) {
        return std::string("curl: ") + curl_easy_strerror(rc);
    }
    return nCode == 200 ? "" : "status " + std::to_string(nCode);
}

Outcome Failed(int i, const std::string& sError) {
    Outcome o;
    o.sError = "fetch " + std::to_string(i + 1) + ": " + sError;
    return o;
}

} // namespace

bool HaveCurl() {
    return true;
}
std::string CurlVersion() {
    return curl_version();
}
void CurlInit() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
}
void CurlFini() {
    curl_global_cleanup();
}

Outcome PollCurl(const Target& t, int nSnapshots) {
    Outcome o;
    CurlReceipt r(&t);
    const int64_t t0 = NowNs();
    CURL* c = MakeHandle(t, false, &r);
    if (c == nullptr) {
        return Failed(0, "curl_easy_init failed");
    }
    std::string sError;
    for (int i = 0; i < nSnapshots && sError.empty(); ++i) {
        r.body = Sum();
        sError = Finished(c, curl_easy_perform(c), &o);
        char* pszType = nullptr;
        curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &pszType);
        if (!sError.empty()) {
            // keeps the transfer's own failure
        } else if (r.body.Bytes() != t.nBytes || r.body.Value() != t.nSum) {
            sError = std::to_string(r.body.Bytes()) + " bytes of " + std::to_string(t.nBytes) +
                     (r.body.Bytes() == t.nBytes ? ", checksum differs" : "");
        } else if (pszType == nullptr || std::strcmp(pszType, t.pszType) != 0) {
            sError = "wrong content type";
        }
        if (!sError.empty()) {
            sError = "fetch " + std::to_string(i + 1) + ": " + sError;
        }
    }
    o.dSeconds = static_cast<double>(NowNs() - t0) / 1e9;
    curl_easy_cleanup(c);
    o.sError = sError;
    o.bOk = sError.empty();
    return o;
}

Outcome FirstPartCurl(const Target& t, int nFetches) {
    Outcome o;
    std::vector<double> fromPerform;
    for (int i = 0; i < nFetches; ++i) {
        CurlReceipt r(&t);
        Splitter split(t.pszBoundary, OnPart, &r);
        r.pSplit = &split;
        CURL* c = MakeHandle(t, true, &r);
        if (c == nullptr) {
            return Failed(i, "curl_easy_init failed");
        }
        const int64_t t0 = NowNs();
        // The stream is a file: the transfer ends with its last part.
        std::string sError = Finished(c, curl_easy_perform(c), &o);
        curl_easy_cleanup(c);
        sError = sError.empty() ? r.parts.Verify() : sError;
        if (!sError.empty()) {
            return Failed(i, sError);
        }
        fromPerform.push_back(static_cast<double>(r.tFirstPartNs - t0) / 1e9);
    }
    o.dSeconds = Median(fromPerform);
    o.bOk = true;
    return o;
}

#else // OXR_BENCH_HAVE_CURL

namespace {

Outcome NotBuilt() {
    Outcome o;
    o.sError = "libcurl was not found when the program was built";
    return o;
}

} // namespace

bool HaveCurl() {
    return false;
}
std::string CurlVersion() {
    return "not found when the program was built";
}
void CurlInit() {}
void CurlFini() {}
Outcome PollCurl(const Target&, int) {
    return NotBuilt();
}
Outcome FirstPartCurl(const Target&, int) {
    return NotBuilt();
}

#endif // OXR_BENCH_HAVE_CURL

} // namespace bench
