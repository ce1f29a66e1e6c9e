// The library against the limit (a plain blocking recv loop) and libcurl, in
// one run, against one loopback server.
//
//   bench_compare [--quick] [--rounds N] [--raw-mib N] [--big-mib N] [--tls-mib N]
//                 [--small-parts N] [--roundtrips N] [--latency-parts N]
//                 [--interval-ms N] [--only NAME,...] [--pin] [--no-curl]
//
// A forked child serves every scenario over HTTP/1.1 on 127.0.0.1 from
// payloads built before the fork, with large sends, one connection at a time;
// the https scenarios come from the same child on a second port, over TLS 1.3
// with AES-128-GCM (OpenSSL, a self-signed certificate made at start), and
// their limit is a plain OpenSSL SSL_read loop.
// Each round runs every scenario with each client, the order of the clients
// changing from round to round. Every transfer is verified (byte count and a
// checksum of every byte; for multipart also the number of parts and each
// part's length and type); a failed one is reported and not counted. At the
// end: per-scenario medians and the per-round ratios library/limit and
// library/libcurl, as Markdown tables.
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "bench_util.h"
#include "oxr_http.h"
#include "part_splitter.h"

#ifndef OXR_BENCH_HAVE_CURL
#define OXR_BENCH_HAVE_CURL 0
#endif
#if OXR_BENCH_HAVE_CURL
#include <curl/curl.h>
#endif

namespace {

using bench::NowNs;
using bench::Sum;

const char kBoundary[] = "oxrbenchboundary";
const int kRecvBuf = 16384;
const int64_t kIdleNs = 5000000000LL;  // no progress for this long: the transfer failed
const int64_t kCapNs = 120000000000LL; // and no transfer takes longer than this
const int kLatencyBody = 300;
const int kStampLen = 32;    // "seq=%08x t=%016llx\n"
const double kTlsGoal = 0.8; // https: the library against the OpenSSL read loop

enum Kind { kRaw, kMultipart, kRoundTrip, kLatency };
enum Client { kLimit = 0, kLibrary = 1, kCurl = 2 };
const char* const kClientName[] = {"limit", "library", "libcurl"};

struct Scenario {
    std::string sName;  // command line and request path
    std::string sTitle; // tables
    Kind kind = kRaw;
    std::string sHead;  // response head
    std::string sCycle; // raw: the pattern sent over and over; multipart: one cycle of wire bytes
    uint64_t nCycles = 0;
    std::string sTail;       // after the cycles
    uint64_t nBodyBytes = 0; // bytes after the head that the limit counts
    uint64_t nWireSum = 0;   // their checksum
    // multipart and latency
    uint64_t nParts = 0;
    int nPartSize = 0;
    std::string sPartType;
    uint64_t nPartSum = 0; // checksum of the part bodies, in order
    bool bLengthless = false;
    bool bChunked = false;
    bool bTls = false; // served on the TLS port, fetched over https
    // round trips
    int nRoundTrips = 0;
    std::string sResponse; // head and body, one send
    int nSmallBody = 0;
    uint64_t nSmallSum = 0;
    // latency
    int nIntervalUs = 0;
    std::string sPartHead;            // fixed head of every latency part
    std::vector<std::string> records; // one per part, stamped when sent
};

std::string PartHead(const char* pszType, int nLength) {
    std::string s = std::string("--") + kBoundary + "\r\nContent-Type: " + pszType + "\r\n";
    if (nLength >= 0) {
        s += "Content-Length: " + std::to_string(nLength) + "\r\n";
    }
    return s + "\r\n";
}

std::string MultipartHead(bool bChunked) {
    return std::string("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=") +
           kBoundary + "\r\n" + (bChunked ? "Transfer-Encoding: chunked\r\n" : "") +
           "Connection: close\r\n\r\n";
}

std::string Chunk(const char* p, size_t n) {
    char szSize[32];
    std::snprintf(szSize, sizeof(szSize), "%zx\r\n", n);
    return szSize + std::string(p, n) + "\r\n";
}

// Raw: a pattern of an odd length sent over and over up to nBytes.
Scenario MakeRaw(uint64_t nBytes) {
    Scenario sc;
    sc.sName = "raw";
    sc.kind = kRaw;
    sc.sHead = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
               std::to_string(nBytes) + "\r\nConnection: close\r\n\r\n";
    sc.sCycle.resize(8 * 1024 * 1024 + 4093);
    bench::Rng rng(7);
    for (size_t i = 0; i < sc.sCycle.size(); i += 8) {
        uint64_t v = rng.Next();
        std::memcpy(&sc.sCycle[i], &v, std::min<size_t>(8, sc.sCycle.size() - i));
    }
    sc.nBodyBytes = nBytes;
    Sum sum;
    for (uint64_t nPos = 0; nPos < nBytes;) {
        size_t nOff = static_cast<size_t>(nPos % sc.sCycle.size());
        size_t n = static_cast<size_t>(std::min<uint64_t>(nBytes - nPos, sc.sCycle.size() - nOff));
        sum.Add(sc.sCycle.data() + nOff, n);
        nPos += n;
    }
    sc.nWireSum = sum.Value();
    return sc;
}

// Multipart: one cycle of nPerCycle distinct parts, sent nCycles times (the
// part count is rounded up to whole cycles), then the closing delimiter.
Scenario MakeMultipart(const char* pszName, int nPartSize, uint64_t nPartsWanted, int nPerCycle,
                       const char* pszType, bool bLengthless, bool bChunked) {
    Scenario sc;
    sc.sName = pszName;
    sc.kind = kMultipart;
    sc.nPartSize = nPartSize;
    sc.sPartType = pszType;
    sc.bLengthless = bLengthless;
    sc.bChunked = bChunked;
    sc.sHead = MultipartHead(bChunked);
    sc.nCycles = (nPartsWanted + static_cast<uint64_t>(nPerCycle) - 1) / nPerCycle;
    if (sc.nCycles == 0) {
        sc.nCycles = 1;
    }
    sc.nParts = sc.nCycles * static_cast<uint64_t>(nPerCycle);

    const std::string sPartHead = PartHead(pszType, bLengthless ? -1 : nPartSize);
    std::string plain;
    std::vector<size_t> bodyAt;
    plain.reserve(static_cast<size_t>(nPerCycle) * (sPartHead.size() + nPartSize + 2));
    for (int k = 0; k < nPerCycle; ++k) {
        plain += sPartHead;
        bodyAt.push_back(plain.size());
        plain.resize(plain.size() + static_cast<size_t>(nPartSize));
        bench::FillHigh(&plain[bodyAt.back()], static_cast<size_t>(nPartSize), 1000 + k);
        plain += "\r\n";
    }
    const std::string sClose = std::string("--") + kBoundary + "--\r\n";
    if (bChunked) {
        // Chunks of 1 to 9000 bytes, cut anywhere, so they do not line up with parts.
        bench::Rng rng(99);
        for (size_t nPos = 0; nPos < plain.size();) {
            size_t n = std::min<size_t>(1 + rng.Next() % 9000, plain.size() - nPos);
            sc.sCycle += Chunk(plain.data() + nPos, n);
            nPos += n;
        }
        sc.sTail = Chunk(sClose.data(), sClose.size()) + "0\r\n\r\n";
    } else {
        sc.sCycle = plain;
        sc.sTail = sClose;
    }
    sc.nBodyBytes = sc.nCycles * sc.sCycle.size() + sc.sTail.size();
    Sum wire;
    Sum parts;
    for (uint64_t c = 0; c < sc.nCycles; ++c) {
        wire.Add(sc.sCycle.data(), sc.sCycle.size());
        for (size_t nAt : bodyAt) {
            parts.Add(plain.data() + nAt, static_cast<size_t>(nPartSize));
        }
    }
    wire.Add(sc.sTail.data(), sc.sTail.size());
    sc.nWireSum = wire.Value();
    sc.nPartSum = parts.Value();
    return sc;
}

Scenario MakeRoundTrip(int nRoundTrips) {
    Scenario sc;
    sc.sName = "roundtrip";
    sc.kind = kRoundTrip;
    sc.nRoundTrips = nRoundTrips;
    sc.nSmallBody = 200;
    std::string body;
    for (int i = 0; i < sc.nSmallBody; ++i) {
        body += static_cast<char>('a' + (i * 7) % 26);
    }
    sc.sResponse = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    Sum sum;
    sum.Add(body.data(), body.size());
    sc.nSmallSum = sum.Value();
    return sc;
}

void LatencyFiller(char* p, uint64_t nSeq) {
    bench::FillHigh(p, kLatencyBody - kStampLen, 5000 + nSeq);
}

Scenario MakeLatency(int nParts, int nIntervalUs) {
    Scenario sc;
    sc.sName = "latency";
    sc.kind = kLatency;
    sc.nParts = static_cast<uint64_t>(nParts);
    sc.nPartSize = kLatencyBody;
    sc.sPartType = "text/plain";
    sc.nIntervalUs = nIntervalUs;
    sc.sHead = MultipartHead(false);
    sc.sPartHead = PartHead("text/plain", kLatencyBody);
    for (int i = 0; i < nParts; ++i) {
        std::string rec = sc.sPartHead + std::string(kLatencyBody, ' ') + "\r\n";
        LatencyFiller(&rec[sc.sPartHead.size() + kStampLen], static_cast<uint64_t>(i));
        sc.records.push_back(rec);
    }
    sc.sTail = std::string("--") + kBoundary + "--\r\n";
    sc.nBodyBytes = static_cast<uint64_t>(nParts) * sc.records[0].size(); // records only
    return sc;
}

// ---------------------------------------------------------------- TLS

// The one cipher suite both sides allow: TLS 1.3 with AES-128-GCM.
const char kTlsSuite[] = "TLS_AES_128_GCM_SHA256";

// One connection, plain or TLS: what the server writes to and the limit
// reads from. Plain connections use the socket calls directly.
struct Link {
    int s = -1;
    SSL* pSsl = nullptr;

    ssize_t Recv(char* p, size_t n) {
        if (pSsl == nullptr) {
            return recv(s, p, n, 0);
        }
        size_t k = 0;
        if (SSL_read_ex(pSsl, p, n, &k) == 1) {
            return static_cast<ssize_t>(k);
        }
        return SSL_get_error(pSsl, 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    bool Send(const char* p, size_t n) {
        if (pSsl == nullptr) {
            return bench::SendAll(s, p, n);
        }
        while (n > 0) {
            size_t k = 0;
            if (SSL_write_ex(pSsl, p, n, &k) != 1) {
                return false;
            }
            p += k;
            n -= k;
        }
        return true;
    }
    // Sends close_notify (TLS) and closes the socket.
    void Close() {
        if (pSsl != nullptr) {
            SSL_shutdown(pSsl);
            SSL_free(pSsl);
            pSsl = nullptr;
        }
        if (s >= 0) {
            close(s);
            s = -1;
        }
        ERR_clear_error();
    }
};

// Whether the connection runs TLS 1.3 with the pinned suite.
bool UsesSuite(SSL* pSsl) {
    const SSL_CIPHER* c = SSL_get_current_cipher(pSsl);
    return SSL_version(pSsl) == TLS1_3_VERSION && c != nullptr &&
           std::strcmp(SSL_CIPHER_get_name(c), kTlsSuite) == 0;
}

// The server's context: TLS 1.3 only, the one suite, and a self-signed EC
// P-256 certificate for 127.0.0.1 made here, in memory. nullptr on failure.
SSL_CTX* MakeServerContext() {
    EVP_PKEY* pKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* pCert = X509_new();
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    bool bOk = pKey != nullptr && pCert != nullptr && pCtx != nullptr;
    if (bOk) {
        X509_set_version(pCert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(pCert), 1);
        X509_gmtime_adj(X509_getm_notBefore(pCert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(pCert), 86400);
        X509_NAME* pName = X509_get_subject_name(pCert);
        bOk = X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                                         -1, 0) == 1 &&
              X509_set_issuer_name(pCert, pName) == 1 && X509_set_pubkey(pCert, pKey) == 1 &&
              X509_sign(pCert, pKey, EVP_sha256()) > 0;
    }
    bOk = bOk && SSL_CTX_set_min_proto_version(pCtx, TLS1_3_VERSION) == 1 &&
          SSL_CTX_set_ciphersuites(pCtx, kTlsSuite) == 1 &&
          SSL_CTX_use_certificate(pCtx, pCert) == 1 && SSL_CTX_use_PrivateKey(pCtx, pKey) == 1 &&
          SSL_CTX_check_private_key(pCtx) == 1;
    if (bOk) {
        SSL_CTX_set_num_tickets(pCtx, 0); // no session tickets after the handshake
    }
    X509_free(pCert);
    EVP_PKEY_free(pKey);
    if (!bOk) {
        SSL_CTX_free(pCtx);
        ERR_print_errors_fp(stderr);
        return nullptr;
    }
    return pCtx;
}

// The limit's context: no certificate check, the same suite.
SSL_CTX* MakeClientContext() {
    SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
    if (pCtx == nullptr || SSL_CTX_set_min_proto_version(pCtx, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_ciphersuites(pCtx, kTlsSuite) != 1) {
        SSL_CTX_free(pCtx);
        ERR_print_errors_fp(stderr);
        return nullptr;
    }
    SSL_CTX_set_verify(pCtx, SSL_VERIFY_NONE, nullptr);
    return pCtx;
}

SSL_CTX* g_pClientCtx = nullptr;

// ---------------------------------------------------------------- server

// Reads a request head (up to the empty line) and returns its path, or "".
std::string ReadRequestPath(Link& link) {
    std::string head;
    char buf[2048];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() > 16384) {
            return "";
        }
        ssize_t r = link.Recv(buf, sizeof(buf));
        if (r < 0 && errno == EINTR && link.pSsl == nullptr) {
            continue;
        }
        if (r <= 0) {
            return "";
        }
        head.append(buf, static_cast<size_t>(r));
    }
    size_t a = head.find(' ');
    size_t b = a == std::string::npos ? a : head.find(' ', a + 1);
    if (b == std::string::npos) {
        return "";
    }
    return head.substr(a + 1, b - a - 1);
}

void Serve(Link& s, Scenario& sc) {
    switch (sc.kind) {
    case kRaw: {
        if (!s.Send(sc.sHead.data(), sc.sHead.size())) {
            return;
        }
        for (uint64_t nPos = 0; nPos < sc.nBodyBytes;) {
            size_t nOff = static_cast<size_t>(nPos % sc.sCycle.size());
            size_t n = static_cast<size_t>(
                std::min<uint64_t>(sc.nBodyBytes - nPos, sc.sCycle.size() - nOff));
            if (!s.Send(sc.sCycle.data() + nOff, n)) {
                return;
            }
            nPos += n;
        }
        return;
    }
    case kMultipart:
        if (!s.Send(sc.sHead.data(), sc.sHead.size())) {
            return;
        }
        for (uint64_t c = 0; c < sc.nCycles; ++c) {
            if (!s.Send(sc.sCycle.data(), sc.sCycle.size())) {
                return;
            }
        }
        s.Send(sc.sTail.data(), sc.sTail.size());
        return;
    case kRoundTrip:
        s.Send(sc.sResponse.data(), sc.sResponse.size());
        return;
    case kLatency: {
        if (!s.Send(sc.sHead.data(), sc.sHead.size())) {
            return;
        }
        const int64_t t0 = NowNs() + 2000000;
        for (size_t i = 0; i < sc.records.size(); ++i) {
            int64_t tDue = t0 + static_cast<int64_t>(i) * sc.nIntervalUs * 1000;
            timespec ts{static_cast<time_t>(tDue / 1000000000),
                        static_cast<long>(tDue % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
            std::string& rec = sc.records[i];
            char szStamp[kStampLen + 1];
            std::snprintf(szStamp, sizeof(szStamp), "seq=%08x t=%016llx\n",
                          static_cast<unsigned>(i), static_cast<unsigned long long>(NowNs()));
            std::memcpy(&rec[sc.sPartHead.size()], szStamp, kStampLen);
            if (!s.Send(rec.data(), rec.size())) {
                return;
            }
        }
        s.Send(sc.sTail.data(), sc.sTail.size());
        return;
    }
    }
}

// The forked child: one connection at a time, closed once answered (the
// client has sent its whole request, so closing loses nothing). Plain HTTP on
// nListen, TLS on nTlsListen (when pCtx is set); a TLS connection that did not
// agree on the pinned suite gets no answer. It ends on a request for /quit,
// with the parent, or after nLifeS seconds at the latest.
[[noreturn]] void ServerMain(int nListen, int nTlsListen, SSL_CTX* pCtx,
                             std::vector<Scenario>& scenarios, unsigned nLifeS) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::signal(SIGPIPE, SIG_IGN);
    alarm(nLifeS);
    for (;;) {
        pollfd fds[2] = {{nListen, POLLIN, 0}, {nTlsListen, POLLIN, 0}};
        int n = poll(fds, pCtx != nullptr ? 2 : 1, -1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            _exit(1);
        }
        const bool bTls = pCtx != nullptr && (fds[1].revents & POLLIN) != 0;
        Link link;
        link.s = accept(bTls ? nTlsListen : nListen, nullptr, nullptr);
        if (link.s < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            _exit(1);
        }
        bench::SetRecvTimeout(link.s, 5000);
        bench::SetNoDelay(link.s);
        if (bTls) {
            link.pSsl = SSL_new(pCtx);
            if (link.pSsl == nullptr || SSL_set_fd(link.pSsl, link.s) != 1 ||
                SSL_accept(link.pSsl) != 1 || !UsesSuite(link.pSsl)) {
                link.Close();
                continue;
            }
        }
        std::string sPath = ReadRequestPath(link);
        if (sPath == "/quit") {
            link.Close();
            _exit(0);
        }
        Scenario* pSc = nullptr;
        for (Scenario& sc : scenarios) {
            if (sPath == "/s/" + sc.sName) {
                pSc = &sc;
            }
        }
        if (pSc != nullptr) {
            Serve(link, *pSc);
        } else {
            static const char k404[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
            link.Send(k404, sizeof(k404) - 1);
        }
        link.Close();
    }
}

// ---------------------------------------------------------------- checks

struct Result {
    bool bOk = false;
    std::string sError;
    double dSeconds = 0;
    double dP50 = 0; // latency, ms
    double dP99 = 0;
};

bool ParseHex(const char* p, int n, uint64_t* pnValue) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
        char c = p[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) {
            return false;
        }
        v = v * 16 + static_cast<uint64_t>(d);
    }
    *pnValue = v;
    return true;
}

// Checks the parts as a client receives them, whichever client it is.
struct PartCheck {
    const Scenario* pSc = nullptr;
    Sum sum;
    uint64_t nParts = 0;
    uint64_t nBadLength = 0;
    uint64_t nBadType = 0;
    uint64_t nBadContent = 0;
    int64_t nFirstBad = -1;
    int nFirstBadLength = 0;
    std::vector<double> latencies; // ms

    // True when this part is the last one expected.
    bool OnPart(const char* p, int nLen, const char* pszType) {
        // The clock only where it is measured: the limit reads none per part.
        const int64_t tNow = pSc->kind == kLatency ? NowNs() : 0;
        const uint64_t i = nParts++;
        if (nLen != pSc->nPartSize) {
            if (nBadLength++ == 0) {
                nFirstBad = static_cast<int64_t>(i);
                nFirstBadLength = nLen;
            }
        }
        if (pSc->sPartType.compare(pszType) != 0) {
            ++nBadType;
        }
        if (pSc->kind == kLatency) {
            uint64_t nSeq = 0;
            uint64_t tSent = 0;
            char filler[kLatencyBody - kStampLen];
            bool bOk = nLen == kLatencyBody && std::memcmp(p, "seq=", 4) == 0 &&
                       ParseHex(p + 4, 8, &nSeq) && std::memcmp(p + 12, " t=", 3) == 0 &&
                       ParseHex(p + 15, 16, &tSent) && p[31] == '\n' && nSeq == i &&
                       static_cast<int64_t>(tSent) <= tNow;
            if (bOk) {
                LatencyFiller(filler, nSeq);
                bOk = std::memcmp(p + kStampLen, filler, sizeof(filler)) == 0;
            }
            if (bOk) {
                latencies.push_back(static_cast<double>(tNow - static_cast<int64_t>(tSent)) / 1e6);
            } else {
                ++nBadContent;
            }
        } else {
            sum.Add(p, static_cast<size_t>(nLen));
        }
        return nParts == pSc->nParts;
    }

    std::string Verify() const {
        char sz[256];
        if (nParts != pSc->nParts) {
            std::snprintf(sz, sizeof(sz), "%llu parts of %llu", (unsigned long long)nParts,
                          (unsigned long long)pSc->nParts);
            return sz;
        }
        if (nBadLength != 0) {
            std::snprintf(sz, sizeof(sz),
                          "%llu parts of a wrong length (first: part %lld, %d bytes)",
                          (unsigned long long)nBadLength, (long long)nFirstBad, nFirstBadLength);
            return sz;
        }
        if (nBadType != 0) {
            std::snprintf(sz, sizeof(sz), "%llu parts with a wrong type",
                          (unsigned long long)nBadType);
            return sz;
        }
        if (nBadContent != 0) {
            std::snprintf(sz, sizeof(sz), "%llu parts with wrong content",
                          (unsigned long long)nBadContent);
            return sz;
        }
        if (pSc->kind != kLatency &&
            (sum.Bytes() != pSc->nParts * static_cast<uint64_t>(pSc->nPartSize) ||
             sum.Value() != pSc->nPartSum)) {
            return "part bytes differ from what the server sent (checksum)";
        }
        return "";
    }
};

void Percentiles(std::vector<double> v, Result* pRes) {
    if (v.empty()) {
        return;
    }
    std::sort(v.begin(), v.end());
    pRes->dP50 = v[(v.size() - 1) / 2];
    size_t n99 = (v.size() * 99 + 99) / 100; // nearest rank
    pRes->dP99 = v[std::min(v.size(), std::max<size_t>(n99, 1)) - 1];
}

// ---------------------------------------------------------------- limit

std::string Request(const Scenario& sc, int nPort) {
    return "GET /s/" + sc.sName + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(nPort) +
           "\r\nConnection: close\r\n\r\n";
}

// Receives the head; what came after it is left in *pBody.
bool LimitHead(Link& link, std::string* pBody, std::string* pError) {
    char buf[kRecvBuf];
    std::string head;
    for (;;) {
        ssize_t r = link.Recv(buf, sizeof(buf));
        if (r <= 0) {
            *pError = "connection ended before the head";
            return false;
        }
        head.append(buf, static_cast<size_t>(r));
        size_t nEnd = head.find("\r\n\r\n");
        if (nEnd != std::string::npos) {
            if (head.compare(0, 12, "HTTP/1.1 200") != 0) {
                *pError = "status is not 200";
                return false;
            }
            *pBody = head.substr(nEnd + 4);
            return true;
        }
    }
}

Result RunLimitStream(const Scenario& sc, int nPort) {
    Result res;
    const int64_t t0 = NowNs();
    Link link;
    link.s = bench::ConnectLoopback(nPort);
    if (link.s < 0) {
        res.sError = "cannot connect";
        return res;
    }
    bench::SetRecvTimeout(link.s, static_cast<int>(kIdleNs / 1000000));
    if (sc.bTls) {
        // A blocking socket, no certificate check, the pinned suite.
        link.pSsl = SSL_new(g_pClientCtx);
        if (link.pSsl == nullptr || SSL_set_fd(link.pSsl, link.s) != 1 ||
            SSL_connect(link.pSsl) != 1 || !UsesSuite(link.pSsl)) {
            link.Close();
            res.sError = "TLS handshake failed, or not TLS 1.3 with " + std::string(kTlsSuite);
            return res;
        }
    }
    std::string req = Request(sc, nPort);
    std::string first;
    if (!link.Send(req.data(), req.size()) || !LimitHead(link, &first, &res.sError)) {
        link.Close();
        if (res.sError.empty()) {
            res.sError = "send failed";
        }
        return res;
    }
    Sum sum;
    PartCheck check;
    check.pSc = &sc;
    check.latencies.reserve(sc.nParts);
    std::string rec;
    const size_t nRecord = sc.kind == kLatency ? sc.records[0].size() : 0;
    uint64_t nGot = 0;
    // For latency, the parts are records of a fixed length: each is taken
    // (and its stamp read) as soon as its last byte has arrived.
    auto take = [&](const char* p, size_t n) {
        nGot += n;
        if (sc.kind != kLatency) {
            sum.Add(p, n);
            return;
        }
        while (n > 0 && check.nParts < sc.nParts) {
            size_t k = std::min(n, nRecord - rec.size());
            rec.append(p, k);
            p += k;
            n -= k;
            if (rec.size() == nRecord) {
                if (rec.compare(0, sc.sPartHead.size(), sc.sPartHead) != 0 ||
                    rec.compare(nRecord - 2, 2, "\r\n") != 0) {
                    ++check.nBadContent;
                }
                check.OnPart(rec.data() + sc.sPartHead.size(), kLatencyBody, "text/plain");
                rec.clear();
            }
        }
    };
    take(first.data(), first.size());
    char buf[kRecvBuf];
    while (sc.kind == kLatency ? check.nParts < sc.nParts : nGot < sc.nBodyBytes) {
        ssize_t r = link.Recv(buf, sizeof(buf));
        if (r <= 0) {
            break;
        }
        take(buf, static_cast<size_t>(r));
    }
    const int64_t t1 = NowNs();
    link.Close();
    char sz[160];
    if (sc.kind == kLatency) {
        res.sError = check.Verify();
        Percentiles(check.latencies, &res);
    } else if (nGot != sc.nBodyBytes) {
        std::snprintf(sz, sizeof(sz), "%llu bytes of %llu", (unsigned long long)nGot,
                      (unsigned long long)sc.nBodyBytes);
        res.sError = sz;
    } else if (sum.Value() != sc.nWireSum) {
        res.sError = "bytes differ from what the server sent (checksum)";
    }
    res.bOk = res.sError.empty();
    res.dSeconds = static_cast<double>(t1 - t0) / 1e9;
    return res;
}

Result RunLimitRoundTrips(const Scenario& sc, int nPort) {
    Result res;
    const std::string req = Request(sc, nPort);
    const int64_t t0 = NowNs();
    char buf[kRecvBuf];
    for (int i = 0; i < sc.nRoundTrips && res.sError.empty(); ++i) {
        int s = bench::ConnectLoopback(nPort);
        if (s < 0) {
            res.sError = "cannot connect";
            break;
        }
        bench::SetRecvTimeout(s, 5000);
        size_t nGot = 0;
        size_t nBodyAt = 0;
        bool bSent = bench::SendAll(s, req.data(), req.size());
        while (bSent && (nBodyAt == 0 || nGot < nBodyAt + sc.nSmallBody) && nGot < sizeof(buf)) {
            ssize_t r = recv(s, buf + nGot, sizeof(buf) - nGot, 0);
            if (r <= 0) {
                break;
            }
            nGot += static_cast<size_t>(r);
            if (nBodyAt == 0) {
                const char* pEnd = static_cast<const char*>(memmem(buf, nGot, "\r\n\r\n", 4));
                nBodyAt = pEnd != nullptr ? static_cast<size_t>(pEnd - buf) + 4 : 0;
            }
        }
        close(s);
        Sum sum;
        if (nBodyAt != 0) {
            sum.Add(buf + nBodyAt, nGot - nBodyAt);
        }
        if (nBodyAt == 0 || std::memcmp(buf, "HTTP/1.1 200", 12) != 0 ||
            nGot != nBodyAt + sc.nSmallBody || sum.Value() != sc.nSmallSum) {
            res.sError = "round trip " + std::to_string(i) + ": wrong answer";
        }
    }
    res.dSeconds = static_cast<double>(NowNs() - t0) / 1e9;
    res.bOk = res.sError.empty();
    return res;
}

// ---------------------------------------------------------------- library

struct LibState {
    const Scenario* pSc = nullptr;
    int nHandle = -1;
    PartCheck check;
    Sum raw;
    uint64_t nWrongHandle = 0;
    uint64_t nWrongType = 0;
    bool bFinished = false; // receiver thread only
    int64_t tDoneNs = 0;
    std::atomic<uint64_t> nProgress{0};
    std::mutex m;
    std::condition_variable cv;
    bool bDone = false;

    void Finish() {
        bFinished = true;
        tDoneNs = NowNs();
        std::lock_guard<std::mutex> g(m);
        bDone = true;
        cv.notify_one();
    }
};

int OXR_HTTP_CALLBACK OnLibData(int nHandle, void* pUser, OXR_HTTP_DATA* pData) {
    LibState* st = static_cast<LibState*>(pUser);
    if (st->pSc->kind == kRaw) {
        if (nHandle != st->nHandle) {
            ++st->nWrongHandle;
        }
        if (std::strcmp(pData->szContentType, "application/octet-stream") != 0) {
            ++st->nWrongType;
        }
        st->raw.Add(pData->pData, static_cast<size_t>(pData->nDataLen));
        st->nProgress.store(st->raw.Bytes(), std::memory_order_relaxed);
        if (!st->bFinished && st->raw.Bytes() >= st->pSc->nBodyBytes) {
            st->Finish();
        }
    } else {
        if (nHandle != 0) {
            ++st->nWrongHandle;
        }
        bool bLast = st->check.OnPart(pData->pData, pData->nDataLen, pData->szContentType);
        st->nProgress.store(st->check.nParts, std::memory_order_relaxed);
        if (bLast && !st->bFinished) {
            st->Finish();
        }
    }
    return 0;
}

// Waits for the last expected delivery: false after kIdleNs without progress
// or kCapNs in all.
bool WaitFinished(LibState& st) {
    std::unique_lock<std::mutex> lock(st.m);
    const int64_t tStart = NowNs();
    int64_t tMoved = tStart;
    uint64_t nLast = 0;
    while (!st.bDone) {
        st.cv.wait_for(lock, std::chrono::milliseconds(100));
        if (st.bDone) {
            break;
        }
        const int64_t tNow = NowNs();
        uint64_t n = st.nProgress.load(std::memory_order_relaxed);
        if (n != nLast) {
            nLast = n;
            tMoved = tNow;
        } else if (tNow - tMoved > kIdleNs || tNow - tStart > kCapNs) {
            return false;
        }
    }
    return true;
}

Result RunLibraryStream(const Scenario& sc, const std::string& sUrl) {
    Result res;
    LibState st;
    st.pSc = &sc;
    st.check.pSc = &sc;
    st.check.latencies.reserve(sc.nParts);
    const int64_t t0 = NowNs();
    int h = OXR_HTTP_OpenEx(sUrl.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000, OnLibData, &st);
    if (h < 0) {
        res.sError = "OXR_HTTP_OpenEx failed, error " + std::to_string(OXR_HTTP_GetErrNo(-1));
        return res;
    }
    st.nHandle = h;
    // The server's certificate is self-signed: no check, as the limit.
    if (sc.bTls && OXR_HTTP_SetOption(h, HTTP_OPT_TLS_VERIFY, 0, nullptr) != 0) {
        OXR_HTTP_Close(h);
        res.sError = "OXR_HTTP_SetOption(HTTP_OPT_TLS_VERIFY, 0) failed";
        return res;
    }
    if (OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 5000) != 0) {
        OXR_HTTP_Close(h);
        res.sError = "OXR_HTTP_SendRequest failed";
        return res;
    }
    bool bDone = WaitFinished(st);
    OXR_HTTP_Close(h); // joins the receiver: everything it wrote is visible now
    char sz[160];
    if (!bDone) {
        std::snprintf(sz, sizeof(sz), "timed out with %llu of %llu %s",
                      (unsigned long long)st.nProgress.load(),
                      (unsigned long long)(sc.kind == kRaw ? sc.nBodyBytes : sc.nParts),
                      sc.kind == kRaw ? "bytes" : "parts");
        res.sError = sz;
    } else if (st.nWrongHandle != 0) {
        res.sError = "callback's first argument is wrong";
    } else if (sc.kind == kRaw) {
        if (st.raw.Bytes() != sc.nBodyBytes) {
            res.sError = "more bytes than the body holds";
        } else if (st.raw.Value() != sc.nWireSum) {
            res.sError = "bytes differ from what the server sent (checksum)";
        } else if (st.nWrongType != 0) {
            res.sError = "wrong content type";
        }
    } else {
        res.sError = st.check.Verify();
        Percentiles(st.check.latencies, &res);
    }
    res.bOk = res.sError.empty();
    res.dSeconds = static_cast<double>(st.tDoneNs - t0) / 1e9;
    return res;
}

Result RunLibraryRoundTrips(const Scenario& sc, const std::string& sUrl) {
    Result res;
    const int64_t t0 = NowNs();
    for (int i = 0; i < sc.nRoundTrips; ++i) {
        int h = OXR_HTTP_Open(sUrl.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000);
        if (h < 0) {
            res.sError = "round trip " + std::to_string(i) + ": OXR_HTTP_Open failed";
            break;
        }
        int r = OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 5000);
        // Without a callback the body is not read: the head is what is checked.
        const char* pszLength = r == 0 ? OXR_HTTP_GetInfoByName(h, "Content-Length") : nullptr;
        bool bOk = pszLength != nullptr && std::strcmp(pszLength, "200") == 0;
        OXR_HTTP_Close(h);
        if (!bOk) {
            res.sError = "round trip " + std::to_string(i) + ": wrong answer";
            break;
        }
    }
    res.dSeconds = static_cast<double>(NowNs() - t0) / 1e9;
    res.bOk = res.sError.empty();
    return res;
}

// ---------------------------------------------------------------- libcurl

#if OXR_BENCH_HAVE_CURL

struct CurlState {
    const Scenario* pSc = nullptr;
    Sum raw;
    PartCheck check;
    bench::Splitter* pSplit = nullptr;
    bool bFinished = false;
    int64_t tDoneNs = 0;
};

void OnCurlPart(void* pCtx, const char* p, int nLen, const char* pszType) {
    CurlState* st = static_cast<CurlState*>(pCtx);
    if (st->check.OnPart(p, nLen, pszType) && !st->bFinished) {
        st->bFinished = true;
        st->tDoneNs = NowNs();
    }
}

size_t OnCurlData(char* p, size_t nSize, size_t nCount, void* pUser) {
    CurlState* st = static_cast<CurlState*>(pUser);
    const size_t n = nSize * nCount;
    if (st->pSc->kind == kRaw) {
        st->raw.Add(p, n);
        if (!st->bFinished && st->raw.Bytes() >= st->pSc->nBodyBytes) {
            st->bFinished = true;
            st->tDoneNs = NowNs();
        }
    } else {
        st->pSplit->Feed(p, n);
    }
    return n;
}

Result RunCurlStream(const Scenario& sc, const std::string& sUrl) {
    Result res;
    CurlState st;
    st.pSc = &sc;
    st.check.pSc = &sc;
    st.check.latencies.reserve(sc.nParts);
    bench::Splitter split(kBoundary, OnCurlPart, &st);
    st.pSplit = &split;
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, sUrl.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnCurlData);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &st);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(kIdleNs / 1000000000));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(kCapNs / 1000000000));
    if (sc.bTls) {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(c, CURLOPT_TLS13_CIPHERS, kTlsSuite);
    }
    const int64_t t0 = NowNs();
    CURLcode rc = curl_easy_perform(c);
    long nCode = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &nCode);
    char* pszType = nullptr;
    curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &pszType);
    std::string sType = pszType != nullptr ? pszType : "";
    curl_easy_cleanup(c);
    if (rc != CURLE_OK) {
        res.sError = std::string("curl: ") + curl_easy_strerror(rc);
    } else if (nCode != 200) {
        res.sError = "status " + std::to_string(nCode);
    } else if (sc.kind == kRaw) {
        if (st.raw.Bytes() != sc.nBodyBytes) {
            res.sError =
                std::to_string(st.raw.Bytes()) + " bytes of " + std::to_string(sc.nBodyBytes);
        } else if (st.raw.Value() != sc.nWireSum) {
            res.sError = "bytes differ from what the server sent (checksum)";
        } else if (sType != "application/octet-stream") {
            res.sError = "wrong content type";
        }
    } else {
        res.sError = st.check.Verify();
        Percentiles(st.check.latencies, &res);
    }
    res.bOk = res.sError.empty();
    res.dSeconds = static_cast<double>(st.tDoneNs - t0) / 1e9;
    return res;
}

size_t OnCurlSmall(char* p, size_t nSize, size_t nCount, void* pUser) {
    static_cast<Sum*>(pUser)->Add(p, nSize * nCount);
    return nSize * nCount;
}

Result RunCurlRoundTrips(const Scenario& sc, const std::string& sUrl) {
    Result res;
    const int64_t t0 = NowNs();
    for (int i = 0; i < sc.nRoundTrips; ++i) {
        Sum sum;
        CURL* c = curl_easy_init();
        curl_easy_setopt(c, CURLOPT_URL, sUrl.c_str());
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnCurlSmall);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &sum);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 5L);
        CURLcode rc = curl_easy_perform(c);
        long nCode = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &nCode);
        curl_easy_cleanup(c);
        if (rc != CURLE_OK || nCode != 200 || sum.Bytes() != static_cast<uint64_t>(sc.nSmallBody) ||
            sum.Value() != sc.nSmallSum) {
            res.sError = "round trip " + std::to_string(i) + ": wrong answer";
            break;
        }
    }
    res.dSeconds = static_cast<double>(NowNs() - t0) / 1e9;
    res.bOk = res.sError.empty();
    return res;
}

#endif // OXR_BENCH_HAVE_CURL

// ---------------------------------------------------------------- report

// The figure compared: higher is better except for latency (ms).
double Figure(const Scenario& sc, const Result& r, bool bP99) {
    switch (sc.kind) {
    case kRaw:
        return static_cast<double>(sc.nBodyBytes) / r.dSeconds / 1e6;
    case kMultipart:
        return sc.nPartSize >= 16384
                   ? static_cast<double>(sc.nParts) * sc.nPartSize / r.dSeconds / 1e6
                   : static_cast<double>(sc.nParts) / r.dSeconds;
    case kRoundTrip:
        return sc.nRoundTrips / r.dSeconds;
    case kLatency:
        return bP99 ? r.dP99 : r.dP50;
    }
    return 0;
}

const char* Unit(const Scenario& sc, bool bP99) {
    switch (sc.kind) {
    case kRaw:
        return "MB/s";
    case kMultipart:
        return sc.nPartSize >= 16384 ? "MB/s" : "parts/s";
    case kRoundTrip:
        return "round trips/s";
    case kLatency:
        return bP99 ? "p99 ms" : "p50 ms";
    }
    return "";
}

std::string Format(double v, const Scenario& sc) {
    char sz[32];
    if (sc.kind == kLatency) {
        std::snprintf(sz, sizeof(sz), "%.3f", v);
    } else {
        std::snprintf(sz, sizeof(sz), "%.0f", v);
    }
    return sz;
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string Ratio(double v) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.2f", v);
    return sz;
}

std::string FirstLine(const char* pszFile, const char* pszKey) {
    FILE* f = std::fopen(pszFile, "r");
    if (f == nullptr) {
        return "?";
    }
    char line[512];
    std::string s = "?";
    while (std::fgets(line, sizeof(line), f) != nullptr) {
        if (std::strncmp(line, pszKey, std::strlen(pszKey)) == 0) {
            const char* p = std::strchr(line, ':');
            s = p != nullptr ? p + 1 : line;
            while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
                s.pop_back();
            }
            while (!s.empty() && s[0] == ' ') {
                s.erase(0, 1);
            }
            break;
        }
    }
    std::fclose(f);
    return s;
}

std::string Mib(uint64_t n) {
    char sz[32];
    if (n >= (1ull << 30) && n % (1ull << 30) == 0) {
        std::snprintf(sz, sizeof(sz), "%llu GiB", (unsigned long long)(n >> 30));
    } else {
        std::snprintf(sz, sizeof(sz), "%.0f MiB", static_cast<double>(n) / (1 << 20));
    }
    return sz;
}

void Usage() {
    std::fprintf(
        stderr,
        "usage: bench_compare [--quick] [--rounds N] [--raw-mib N] [--big-mib N] [--tls-mib N]\n"
        "                     [--small-parts N] [--roundtrips N] [--latency-parts N]\n"
        "                     [--interval-ms N] [--only NAME,...] [--pin] [--no-curl]\n"
        "  --rounds N         rounds (5)\n"
        "  --raw-mib N        raw body, MiB (1024)\n"
        "  --big-mib N        part bodies of the 64 KiB scenario, MiB (1024)\n"
        "  --tls-mib N        https: raw body and 64 KiB part bodies, MiB (512)\n"
        "  --small-parts N    parts of each 1 KiB scenario (524288)\n"
        "  --roundtrips N     Open+Send+Close round trips (2000)\n"
        "  --latency-parts N  parts of the latency scenario (250)\n"
        "  --interval-ms N    their interval (2)\n"
        "  --only LIST        scenarios: raw,mp64k,mp1k,lengthless,chunked,roundtrip,latency,\n"
        "                     tls-raw,tls-mp64k\n"
        "  --pin              server on the last core, clients on the first\n"
        "  --no-curl          leave the libcurl client out\n"
        "  --quick            3 rounds of small sizes (a few seconds)\n");
}

} // namespace

int main(int argc, char** argv) {
    int nRounds = 5;
    uint64_t nRawMib = 1024;
    uint64_t nBigMib = 1024;
    uint64_t nTlsMib = 512;
    uint64_t nSmallParts = 524288;
    int nRoundTrips = 2000;
    int nLatencyParts = 250;
    int nIntervalMs = 2;
    std::string sOnly;
    bool bCurl = OXR_BENCH_HAVE_CURL != 0;
    bool bQuick = false;
    bool bPin = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> long long {
            if (i + 1 >= argc) {
                Usage();
                std::exit(2);
            }
            long long v = std::atoll(argv[++i]);
            if (v <= 0) {
                Usage();
                std::exit(2);
            }
            return v;
        };
        if (a == "--quick") {
            bQuick = true;
            nRounds = 3;
            nRawMib = 64;
            nBigMib = 32;
            nTlsMib = 32;
            nSmallParts = 10240;
            nRoundTrips = 200;
            nLatencyParts = 50;
        } else if (a == "--rounds") {
            nRounds = static_cast<int>(next());
        } else if (a == "--raw-mib") {
            nRawMib = static_cast<uint64_t>(next());
        } else if (a == "--big-mib") {
            nBigMib = static_cast<uint64_t>(next());
        } else if (a == "--tls-mib") {
            nTlsMib = static_cast<uint64_t>(next());
        } else if (a == "--small-parts") {
            nSmallParts = static_cast<uint64_t>(next());
        } else if (a == "--roundtrips") {
            nRoundTrips = static_cast<int>(next());
        } else if (a == "--latency-parts") {
            nLatencyParts = static_cast<int>(next());
        } else if (a == "--interval-ms") {
            nIntervalMs = static_cast<int>(next());
        } else if (a == "--only" && i + 1 < argc) {
            sOnly = "," + std::string(argv[++i]) + ",";
        } else if (a == "--pin") {
            bPin = true;
        } else if (a == "--no-curl") {
            bCurl = false;
        } else {
            Usage();
            return 2;
        }
    }

    const int64_t tBuild = NowNs();
    std::vector<Scenario> scenarios;
    auto wanted = [&](const char* pszName) {
        return sOnly.empty() || sOnly.find("," + std::string(pszName) + ",") != std::string::npos;
    };
    if (wanted("raw")) {
        scenarios.push_back(MakeRaw(nRawMib << 20));
        scenarios.back().sTitle = "raw " + Mib(nRawMib << 20);
    }
    if (wanted("mp64k")) {
        uint64_t nParts = (nBigMib << 20) / 65536;
        scenarios.push_back(MakeMultipart("mp64k", 65536, nParts, 64, "image/jpeg", false, false));
        scenarios.back().sTitle =
            "64 KiB parts, sized (" + std::to_string(scenarios.back().nParts) + ")";
    }
    const char* const kSmall[][2] = {
        {"mp1k", "sized"}, {"lengthless", "lengthless"}, {"chunked", "chunked, sized"}};
    for (const auto& k : kSmall) {
        if (wanted(k[0])) {
            bool bLengthless = std::strcmp(k[0], "lengthless") == 0;
            bool bChunked = std::strcmp(k[0], "chunked") == 0;
            scenarios.push_back(MakeMultipart(k[0], 1024, nSmallParts, 1024,
                                              "application/octet-stream", bLengthless, bChunked));
            scenarios.back().sTitle = "1 KiB parts, " + std::string(k[1]) + " (" +
                                      std::to_string(scenarios.back().nParts) + ")";
        }
    }
    if (wanted("roundtrip")) {
        scenarios.push_back(MakeRoundTrip(nRoundTrips));
        scenarios.back().sTitle =
            "Open+Send+Close, 200-byte answer (" + std::to_string(nRoundTrips) + ")";
    }
    if (wanted("latency")) {
        scenarios.push_back(MakeLatency(nLatencyParts, nIntervalMs * 1000));
        scenarios.back().sTitle = "part latency, 300 B every " + std::to_string(nIntervalMs) +
                                  " ms (" + std::to_string(nLatencyParts) + ")";
    }
    if (wanted("tls-raw")) {
        scenarios.push_back(MakeRaw(nTlsMib << 20));
        scenarios.back().sName = "tls-raw";
        scenarios.back().bTls = true;
        scenarios.back().sTitle = "https raw " + Mib(nTlsMib << 20);
    }
    if (wanted("tls-mp64k")) {
        uint64_t nParts = (nTlsMib << 20) / 65536;
        scenarios.push_back(
            MakeMultipart("tls-mp64k", 65536, nParts, 64, "image/jpeg", false, false));
        scenarios.back().bTls = true;
        scenarios.back().sTitle =
            "https 64 KiB parts, sized (" + std::to_string(scenarios.back().nParts) + ")";
    }
    const bool bAnyTls =
        std::any_of(scenarios.begin(), scenarios.end(), [](const Scenario& sc) { return sc.bTls; });
    if (scenarios.empty()) {
        Usage();
        return 2;
    }

    int nPort = 0;
    int nListen = bench::ListenLoopback(64, &nPort);
    int nTlsPort = 0;
    int nTlsListen = bAnyTls ? bench::ListenLoopback(64, &nTlsPort) : -1;
    if (nListen < 0 || (bAnyTls && nTlsListen < 0)) {
        std::perror("listen on 127.0.0.1");
        return 1;
    }
    SSL_CTX* pServerCtx = nullptr;
    if (bAnyTls) {
        pServerCtx = MakeServerContext();
        g_pClientCtx = MakeClientContext();
        if (pServerCtx == nullptr || g_pClientCtx == nullptr) {
            std::fprintf(stderr, "bench_compare: cannot set up the TLS contexts\n");
            return 1;
        }
    }
    // The server stops by itself at the latest after this: generous for
    // the rounds asked for (a default round takes about 10 s).
    const unsigned nServerLifeS = 120 + 120 * static_cast<unsigned>(nRounds);
    std::fflush(stdout);
    pid_t nServer = fork();
    if (nServer < 0) {
        std::perror("fork");
        return 1;
    }
    if (bPin && sysconf(_SC_NPROCESSORS_ONLN) >= 2) {
        // The server on the last core, the clients (and the library's
        // receiver thread) on the first.
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(nServer == 0 ? static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)) - 1 : 0, &set);
        sched_setaffinity(0, sizeof(set), &set);
    }
    if (nServer == 0) {
        ServerMain(nListen, nTlsListen, pServerCtx, scenarios, nServerLifeS);
    }
    close(nListen);
    if (nTlsListen >= 0) {
        close(nTlsListen);
    }
    SSL_CTX_free(pServerCtx);
    std::signal(SIGPIPE, SIG_IGN);
#if OXR_BENCH_HAVE_CURL
    curl_global_init(CURL_GLOBAL_DEFAULT);
#endif
    OXR_HTTP_ClientInit();

    utsname un{};
    uname(&un);
    std::printf("bench_compare: %ld cores (%s), Linux %s, payloads built in %.1f s\n",
                sysconf(_SC_NPROCESSORS_ONLN), FirstLine("/proc/cpuinfo", "model name").c_str(),
                un.release, static_cast<double>(NowNs() - tBuild) / 1e9);
#if OXR_BENCH_HAVE_CURL
    std::printf("libcurl: %s%s\n", curl_version(), bCurl ? "" : " (left out: --no-curl)");
#else
    std::printf("libcurl: skipped (not found when the program was built)\n");
#endif
    std::printf("%d rounds%s; the server is a forked child on 127.0.0.1:%d%s\n", nRounds,
                bQuick ? " (--quick)" : "", nPort,
                bPin ? " pinned to the last core, the clients to the first" : "");
    if (bAnyTls) {
        std::printf("https: the same server on 127.0.0.1:%d, TLS 1.3 with %s only (a connection "
                    "with anything else gets no answer), a self-signed EC P-256 certificate made "
                    "at start; %s\n",
                    nTlsPort, kTlsSuite, OpenSSL_version(OPENSSL_VERSION));
        std::printf("https clients: library with HTTP_OPT_TLS_VERIFY 0; limit: SSL_read into %d "
                    "bytes on a blocking socket, no verification; libcurl: no verification\n",
                    kRecvBuf);
    }
    for (const Scenario& sc : scenarios) {
        const uint64_t nPayload = sc.nParts * static_cast<uint64_t>(sc.nPartSize);
        const char* pszFlag = sc.bTls                 ? "--tls-mib"
                              : sc.nPartSize >= 16384 ? "--big-mib"
                                                      : "--small-parts";
        if (sc.kind == kMultipart && nPayload < (1ull << 30)) {
            std::printf("note: %s carry %s of part bodies, less than 1 GiB, to keep the run short "
                        "(%s)\n",
                        sc.sTitle.c_str(), Mib(nPayload).c_str(), pszFlag);
        } else if (sc.kind == kRaw && sc.bTls && sc.nBodyBytes < (1ull << 30)) {
            std::printf("note: %s carries %s, less than 1 GiB, to keep the run short (%s)\n",
                        sc.sTitle.c_str(), Mib(sc.nBodyBytes).c_str(), pszFlag);
        }
    }

    std::vector<int> clients = {kLimit, kLibrary};
    if (bCurl) {
        clients.push_back(kCurl);
    }
    std::vector<std::vector<int>> orders;
    if (clients.size() == 3) {
        orders = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}, {1, 0, 2}, {0, 2, 1}};
    } else {
        orders = {{0, 1}, {1, 0}};
    }
    // results[scenario][client][round]
    std::vector<std::vector<std::vector<Result>>> results(
        scenarios.size(), std::vector<std::vector<Result>>(3, std::vector<Result>(nRounds)));
    int nFailed = 0;
    for (int r = 0; r < nRounds; ++r) {
        const std::vector<int>& order = orders[r % orders.size()];
        std::printf("\nround %d (", r + 1);
        for (size_t k = 0; k < order.size(); ++k) {
            std::printf("%s%s", k ? ", " : "", kClientName[order[k]]);
        }
        std::printf(")\n");
        for (size_t i = 0; i < scenarios.size(); ++i) {
            const Scenario& sc = scenarios[i];
            const int nScPort = sc.bTls ? nTlsPort : nPort;
            const std::string sUrl = std::string(sc.bTls ? "https" : "http") +
                                     "://127.0.0.1:" + std::to_string(nScPort) + "/s/" + sc.sName;
            std::printf("  %-44s", sc.sTitle.c_str());
            std::fflush(stdout);
            for (int nClient : order) {
                Result res;
                switch (nClient) {
                case kLimit:
                    res = sc.kind == kRoundTrip ? RunLimitRoundTrips(sc, nPort)
                                                : RunLimitStream(sc, nScPort);
                    break;
                case kLibrary:
                    res = sc.kind == kRoundTrip ? RunLibraryRoundTrips(sc, sUrl)
                                                : RunLibraryStream(sc, sUrl);
                    break;
#if OXR_BENCH_HAVE_CURL
                case kCurl:
                    res = sc.kind == kRoundTrip ? RunCurlRoundTrips(sc, sUrl)
                                                : RunCurlStream(sc, sUrl);
                    break;
#endif
                default:
                    break;
                }
                results[i][nClient][r] = res;
                if (!res.bOk) {
                    ++nFailed;
                    std::printf(" %s FAILED", kClientName[nClient]);
                } else if (sc.kind == kLatency) {
                    std::printf(" %s %.3f/%.3f ms", kClientName[nClient], res.dP50, res.dP99);
                } else {
                    std::printf(" %s %s", kClientName[nClient],
                                Format(Figure(sc, res, false), sc).c_str());
                }
                std::fflush(stdout);
            }
            std::printf("\n");
            for (int nClient : order) {
                const Result& res = results[i][nClient][r];
                if (!res.bOk) {
                    std::printf("    FAILED verification, not counted: %s, %s: %s\n",
                                sc.sTitle.c_str(), kClientName[nClient], res.sError.c_str());
                }
            }
        }
    }

    // Medians of what passed, and the per-round ratios.
    std::printf("\n### Medians of %d rounds\n\n", nRounds);
    std::printf(
        "| scenario | unit | limit | library | libcurl | library/limit | library/libcurl |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|\n");
    std::vector<std::string> ratioRows;
    std::vector<std::string> tlsGoals; // library at least 0.8 x the OpenSSL read loop
    for (size_t i = 0; i < scenarios.size(); ++i) {
        const Scenario& sc = scenarios[i];
        for (int nRow = 0; nRow < (sc.kind == kLatency ? 2 : 1); ++nRow) {
            const bool bP99 = nRow == 1;
            std::string cells[3];
            for (int c = 0; c < 3; ++c) {
                std::vector<double> v;
                for (int r = 0; r < nRounds; ++r) {
                    if (results[i][c][r].bOk) {
                        v.push_back(Figure(sc, results[i][c][r], bP99));
                    }
                }
                bool bUsed = std::find(clients.begin(), clients.end(), c) != clients.end();
                cells[c] = !bUsed ? "—" : v.empty() ? "failed" : Format(Median(v), sc);
                if (bUsed && !v.empty() && static_cast<int>(v.size()) < nRounds) {
                    cells[c] +=
                        " (" + std::to_string(v.size()) + "/" + std::to_string(nRounds) + ")";
                }
            }
            std::string ratioCells[2];
            std::string perRound[2];
            for (int k = 0; k < 2; ++k) {
                const int nOther = k == 0 ? kLimit : kCurl;
                std::vector<double> v;
                for (int r = 0; r < nRounds; ++r) {
                    const Result& a = results[i][kLibrary][r];
                    const Result& b = results[i][nOther][r];
                    if (a.bOk && b.bOk && Figure(sc, b, bP99) > 0) {
                        double q = Figure(sc, a, bP99) / Figure(sc, b, bP99);
                        v.push_back(q);
                        perRound[k] += (perRound[k].empty() ? "" : " ") + Ratio(q);
                    } else {
                        perRound[k] += perRound[k].empty() ? "–" : " –";
                    }
                }
                bool bUsed = std::find(clients.begin(), clients.end(), nOther) != clients.end();
                ratioCells[k] = !bUsed ? "—" : v.empty() ? "–" : Ratio(Median(v));
                if (sc.bTls && k == 0) {
                    tlsGoals.push_back(sc.sTitle + ": " +
                                       (v.empty()               ? "no verified pair, NOT met"
                                        : Median(v) >= kTlsGoal ? Ratio(Median(v)) + ", met"
                                                                : Ratio(Median(v)) + ", NOT met"));
                }
                if (!bUsed) {
                    perRound[k] = "—";
                }
            }
            std::string sUnit = Unit(sc, bP99);
            std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", sc.sTitle.c_str(), sUnit.c_str(),
                        cells[0].c_str(), cells[1].c_str(), cells[2].c_str(), ratioCells[0].c_str(),
                        ratioCells[1].c_str());
            ratioRows.push_back("| " + sc.sTitle + " | " + sUnit + " | " + perRound[0] + " | " +
                                ratioCells[0] + " | " + perRound[1] + " | " + ratioCells[1] + " |");
        }
    }
    std::printf(
        "\n### Ratios per round (library / other; latency rows: above 1 = library slower)\n\n");
    std::printf("| scenario | unit | library/limit by round | median | library/libcurl by round | "
                "median |\n");
    std::printf("|---|---|---|---:|---|---:|\n");
    for (const std::string& s : ratioRows) {
        std::printf("%s\n", s.c_str());
    }
    for (const std::string& sGoal : tlsGoals) {
        std::printf("\ngoal: library/limit at least %.1f over https, %s", kTlsGoal, sGoal.c_str());
    }
    if (!tlsGoals.empty()) {
        std::printf("\n");
    }
    std::printf("\n%s\n", nFailed == 0 ? "every transfer verified"
                                       : (std::to_string(nFailed) +
                                          " transfers FAILED verification and are not counted")
                                             .c_str());

    OXR_HTTP_ClientFini();
#if OXR_BENCH_HAVE_CURL
    curl_global_cleanup();
#endif
    int s = bench::ConnectLoopback(nPort);
    if (s >= 0) {
        const char kQuit[] = "GET /quit HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        bench::SendAll(s, kQuit, sizeof(kQuit) - 1);
        close(s);
    }
    int nStatus = 0;
    waitpid(nServer, &nStatus, 0);
    return nFailed == 0 ? 0 : 1;
}
