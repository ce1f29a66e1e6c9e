// Digest authorization through the public interface: a device that wants it
// is answered within one SendRequest, later requests reuse the nonce, stale
// nonces are renewed, and every other 401 stands as before.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "oxr.h"
#include "oxr_http.h"
#include "stderr_capture.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

std::string Challenge(const std::string& params) {
    return "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"cam\"\r\n"
           "WWW-Authenticate: " +
           params + "\r\nContent-Length: 0\r\n\r\n";
}

const std::string kMd5 = "Digest realm=\"cam\", nonce=\"n1\", qop=\"auth\", opaque=\"op\"";
const std::string kOk =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok";

// One parameter of a Digest answer, without its quotes.
std::string Param(const std::string& answer, const std::string& name) {
    size_t at = answer.find(" " + name + "=");
    if (at == std::string::npos) {
        return "";
    }
    at += name.size() + 2;
    const bool bQuoted = answer[at] == '"';
    at += bQuoted ? 1 : 0;
    return answer.substr(at, answer.find(bQuoted ? '"' : ',', at) - at);
}

std::string Md5Hex(const std::string& text) {
    unsigned char d[16];
    if (OXR_Hash(OXR_HASH_MD5, text.data(), text.size(), d) != 16) {
        return "";
    }
    char sz[33];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(sz + 2 * i, 3, "%02x", d[i]);
    }
    return sz;
}

// The response a device would expect for admin:demo on realm "cam".
std::string ExpectedResponse(const std::string& answer, const std::string& method) {
    const std::string ha1 = Md5Hex("admin:cam:demo");
    const std::string ha2 = Md5Hex(method + ":" + Param(answer, "uri"));
    return Md5Hex(ha1 + ":" + Param(answer, "nonce") + ":" + Param(answer, "nc") + ":" +
                  Param(answer, "cnonce") + ":auth:" + ha2);
}

int Open(CTestServer& srv, const char* pszCredentials) {
    return OXR_HTTP_Open(srv.Url("/cgi-bin/admin/set?exposure=auto").c_str(), HTTP_METHOD_GET,
                         pszCredentials, 0, 2000);
}

// Without keep-alive the 401 is answered on a new connection; with it, on
// the same one, its body read and dropped first.
TEST(ApiDigest, ADigestDeviceIsAnsweredWithinOneRequestAndItsNonceReused) {
    for (int bKeep = 0; bKeep < 2; ++bKeep) {
        CTestServer srv;
        if (bKeep == 0) {
            // the device closes the connection after its 401
            srv.Add(CTestScript().WaitRequest().Send(Challenge(kMd5)));
            srv.Add(
                CTestScript().WaitRequest().Send(kOk).WaitRequest().Send(kOk).WaitPeerClose(5000));
        } else {
            std::string challenge = Challenge(kMd5);
            challenge.replace(challenge.find("Content-Length: 0\r\n\r\n"), 21,
                              "Content-Length: 12\r\n\r\nUnauthorized");
            srv.Add(CTestScript()
                        .WaitRequest()
                        .Send(challenge)
                        .WaitRequest()
                        .Send(kOk)
                        .WaitRequest()
                        .Send(kOk)
                        .WaitPeerClose(5000));
        }
        ASSERT_TRUE(srv.Start());
        int h = Open(srv, "admin:demo");
        ASSERT_GE(h, 0);
        ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, bKeep, nullptr), 0);
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_AUTH_SCHEME), HTTP_AUTH_BASIC);
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
        EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 200);
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_AUTH_SCHEME), HTTP_AUTH_DIGEST);
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_CONNECTIONS), 2 - bKeep);
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        ASSERT_TRUE(srv.WaitDone(5000));
        EXPECT_EQ(srv.Accepted(), 2 - bKeep); // the second request needed no new challenge
        std::vector<std::string> reqs = srv.Requests(1 - bKeep);
        if (bKeep != 0) {
            reqs.erase(reqs.begin()); // the one the 401 answered
        }
        ASSERT_EQ(reqs.size(), 2u);
        const char* kNc[] = {"00000001", "00000002"};
        for (size_t i = 0; i < 2; ++i) {
            const std::string answer = RequestField(reqs[i], "Authorization");
            EXPECT_EQ(answer.compare(0, 7, "Digest "), 0) << answer;
            EXPECT_EQ(Param(answer, "username"), "admin");
            EXPECT_EQ(Param(answer, "realm"), "cam");
            EXPECT_EQ(Param(answer, "nonce"), "n1");
            EXPECT_EQ(Param(answer, "uri"), "/cgi-bin/admin/set?exposure=auto");
            EXPECT_EQ(Param(answer, "opaque"), "op");
            EXPECT_EQ(Param(answer, "qop"), "auth");
            EXPECT_EQ(Param(answer, "nc"), kNc[i]);
            EXPECT_GE(Param(answer, "cnonce").size(), 16u);
            EXPECT_EQ(Param(answer, "algorithm"), ""); // the challenge named none
            EXPECT_EQ(Param(answer, "response"), ExpectedResponse(answer, "GET"));
        }
        // a fresh client nonce for every answer
        EXPECT_NE(Param(RequestField(reqs[0], "Authorization"), "cnonce"),
                  Param(RequestField(reqs[1], "Authorization"), "cnonce"));
        // the first request carried the Basic credentials, as always
        EXPECT_EQ(RequestField(srv.Requests(0)[0], "Authorization"), "Basic YWRtaW46ZGVtbw==");
    }
}

// Keep-alive: a recorder that refuses a remembered nonce with 403 (not with
// a stale 401) is asked for a fresh challenge, which is answered, all on
// the one connection.
TEST(ApiDigest, ARefusedRememberedNonceIsRenewed) {
    CTestServer srv;
    srv.Add(CTestScript()
                .WaitRequest()
                .Send(Challenge(kMd5))
                .WaitRequest()
                .Send(kOk)
                .WaitRequest()
                .Send("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                .WaitRequest()
                .Send(Challenge("Digest realm=\"cam\", nonce=\"n2\", qop=\"auth\""))
                .WaitRequest()
                .Send(kOk)
                .WaitPeerClose(5000));
    ASSERT_TRUE(srv.Start());
    int h = Open(srv, "admin:demo");
    ASSERT_GE(h, 0);
    ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, 1, nullptr), 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 200);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    ASSERT_TRUE(srv.WaitDone(5000));
    EXPECT_EQ(srv.Accepted(), 1);
    const std::vector<std::string> reqs = srv.Requests(0);
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(Param(RequestField(reqs[2], "Authorization"), "nonce"), "n1");
    EXPECT_EQ(Param(RequestField(reqs[2], "Authorization"), "nc"), "00000002");
    EXPECT_EQ(RequestField(reqs[3], "Authorization"), ""); // no answer: a fresh challenge, please
    const std::string answer = RequestField(reqs[4], "Authorization");
    EXPECT_EQ(Param(answer, "nonce"), "n2");
    EXPECT_EQ(Param(answer, "nc"), "00000001");
    EXPECT_EQ(Param(answer, "response"), ExpectedResponse(answer, "GET"));
}

TEST(ApiDigest, AStaleNonceIsRenewedOnce) {
    CTestServer srv;
    srv.Add(CTestScript().WaitRequest().Send(Challenge(kMd5)).WaitPeerClose(5000));
    srv.Add(CTestScript()
                .WaitRequest()
                .Send(Challenge("Digest realm=\"cam\", nonce=\"n2\", qop=auth, stale=true"))
                .WaitPeerClose(5000));
    srv.Add(CTestScript()
                .WaitRequest()
                .Send(ResponseHead(MultipartType("fr")) +
                      MultipartBody("fr", {TestPart{"frame", "image/jpeg", true, "", ""}}))
                .WaitPeerClose(5000));
    ASSERT_TRUE(srv.Start());
    int h = Open(srv, "admin:demo");
    ASSERT_GE(h, 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    ASSERT_TRUE(srv.WaitDone(5000));
    ASSERT_EQ(srv.Accepted(), 3);
    const std::string answer = RequestField(srv.Requests(2)[0], "Authorization");
    EXPECT_EQ(Param(answer, "nonce"), "n2");
    EXPECT_EQ(Param(answer, "nc"), "00000001");
    EXPECT_EQ(Param(answer, "response"), ExpectedResponse(answer, "GET"));
}

// A password longer than the answer's texts, made of one marker repeated.
const std::string kMarker = "Mk-5e8a0c-";
std::string MarkerPassword() {
    std::string s;
    while (s.size() < 9000) {
        s += kMarker;
    }
    return s;
}

// The 401 of a device whose challenge cannot be answered with that password,
// in a frame of its own that is gone when the stack is read.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
int RequestWithMarkerPassword(CTestServer& srv) {
    const std::string credentials = "admin:" + MarkerPassword();
    const int h = Open(srv, credentials.c_str());
    if (h < 0) {
        return -2;
    }
    const int nResult = OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000);
    OXR_HTTP_Close(h);
    return nResult;
}

#if defined(__GNUC__)
__attribute__((noinline))
#endif
size_t
CountMarkers(const unsigned char* p, size_t n) {
    size_t nFound = 0;
    for (size_t i = 0; i + kMarker.size() <= n; ++i) {
        nFound += std::memcmp(p + i, kMarker.data(), kMarker.size()) == 0 ? 1 : 0;
    }
    return nFound;
}

// Reads the stack below the caller's frame as the library's calls left it:
// the array is left uninitialised on purpose and handed on, so the compiler
// can assume nothing about its bytes.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
size_t
MarkersLeftOnTheStack() {
    unsigned char aStack[192 * 1024];
#if defined(__GNUC__)
    asm volatile("" : : "r"(aStack) : "memory");
#endif
    return CountMarkers(aStack, sizeof(aStack));
}

// The answer's text overflows: everything that held the password is wiped,
// not only the part before the overflow.
TEST(ApiDigest, APasswordTooLongForTheAnswerLeavesNoCopyOnTheStack) {
    CTestServer srv;
    srv.Add(CTestScript().WaitRequest().Send(Challenge(kMd5)).WaitPeerClose(3000));
    ASSERT_TRUE(srv.Start());
    EXPECT_EQ(RequestWithMarkerPassword(srv), -1);
    EXPECT_EQ(MarkersLeftOnTheStack(), 0u);
    EXPECT_EQ(srv.Accepted(), 1);
}

struct UnusableRow {
    const char* name;
    std::string credentials;
    std::string challenge; // the first 401's
    std::string record;    // the record it leaves
};

// A 401 whose challenge cannot be answered stands, with a record naming why,
// and leaves the session as it was: the next 401 with a good challenge is
// answered. Nothing of the unusable challenge reaches the device.
TEST(ApiDigest, AnUnusableChallengeStandsAndIsNotKept) {
    const std::string kNotAnswered = "Digest challenge not answered, control character in ";
    const std::string kLongPassword = "admin:" + std::string(7500, 'p');
    const UnusableRow rows[] = {
        {"bare CR in realm", "admin:demo", "Digest realm=\"c\ram\", nonce=n1",
         kNotAnswered + "realm"},
        {"VT in realm", "admin:demo", "Digest realm=\"c\vam\", nonce=n1", kNotAnswered + "realm"},
        {"DEL in nonce", "admin:demo", "Digest realm=cam, nonce=\"n\x7f\"", kNotAnswered + "nonce"},
        {"SOH in opaque", "admin:demo", "Digest realm=cam, nonce=n1, opaque=\"\x01\"",
         kNotAnswered + "opaque"},
        {"answer longer than its text", kLongPassword,
         "Digest realm=\"" + std::string(1000, 'r') + "\", nonce=n1", "Digest answer not built"},
    };
    for (const UnusableRow& r : rows) {
        CTestServer srv;
        srv.Add(CTestScript()
                    .WaitRequest()
                    .Send(Challenge(r.challenge))
                    .WaitRequest()
                    .Send(Challenge(kMd5)));
        srv.Add(CTestScript().WaitRequest().Send(kOk).WaitPeerClose(3000));
        ASSERT_TRUE(srv.Start());
        int h = Open(srv, r.credentials.c_str());
        ASSERT_GE(h, 0) << r.name;
        OXR_HTTP_SetLog(HTTP_LOG_DEBUG);
        StderrCapture cap;
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), -1) << r.name;
        const std::string log = cap.Finish();
        OXR_HTTP_SetLog(-1);
        EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 401) << r.name;
        EXPECT_NE(log.find(r.record + "\n"), std::string::npos) << r.name << log;
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0) << r.name;
        EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 200) << r.name;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        ASSERT_TRUE(srv.WaitDone(5000)) << r.name;
        const std::vector<std::string> reqs = srv.Requests(1);
        ASSERT_EQ(reqs.size(), 1u) << r.name;
        EXPECT_EQ(Param(RequestField(reqs[0], "Authorization"), "nonce"), "n1") << r.name;
        ASSERT_EQ(srv.Requests(0).size(), 2u) << r.name;
        for (const std::string& req : srv.Requests(0)) {
            EXPECT_EQ(RequestField(req, "Authorization").compare(0, 6, "Basic "), 0) << r.name;
        }
    }
}

struct RefusalRow {
    const char* name;
    const char* credentials;
    std::vector<std::string> answers; // one connection each
    int nConnections;                 // the library made
    const char* record;               // the one record expected, or nullptr for none
};

// Each of these ends as the 401 refusal: -1, the error number untouched.
TEST(ApiDigest, EveryOther401StandsAsBefore) {
    const std::string kStale = "Digest realm=\"cam\", nonce=\"s\", qop=auth, stale=true";
    const RefusalRow rows[] = {
        {"no credentials", nullptr, {Challenge(kMd5)}, 1, nullptr},
        {"Basic only", "admin:demo", {Challenge("Basic realm=\"x\"")}, 1, nullptr},
        {"wrong credentials: the second 401 is final",
         "admin:wrong",
         {Challenge(kMd5), Challenge(kMd5)},
         2,
         nullptr},
        {"stale again and again: two retries at the most",
         "admin:demo",
         {Challenge(kMd5), Challenge(kStale), Challenge(kStale), kOk},
         3,
         nullptr},
        {"no nonce", "admin:demo", {Challenge("Digest realm=\"cam\"")}, 1, "no nonce"},
        {"no realm", "admin:demo", {Challenge("Digest nonce=\"n\"")}, 1, "no realm"},
        {"unknown algorithm only",
         "admin:demo",
         {Challenge("Digest realm=cam, nonce=n, algorithm=SHA-512-256")},
         1,
         "unknown algorithm"},
        {"unterminated quote",
         "admin:demo",
         {Challenge("Digest realm=\"cam, nonce=n")},
         1,
         "unterminated quote"},
        {"parameter longer than 1 KiB",
         "admin:demo",
         {Challenge("Digest realm=cam, nonce=\"" + std::string(1500, 'x') + "\"")},
         1,
         "parameter longer than 1 KiB"},
    };
    for (const RefusalRow& r : rows) {
        CTestServer srv;
        for (const std::string& a : r.answers) {
            srv.Add(CTestScript().WaitRequest().Send(a).WaitPeerClose(3000));
        }
        ASSERT_TRUE(srv.Start());
        int h = Open(srv, r.credentials);
        ASSERT_GE(h, 0) << r.name;
        const int nBefore = OXR_HTTP_GetErrNo(-1);
        OXR_HTTP_SetLog(HTTP_LOG_DEBUG);
        StderrCapture cap;
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), -1) << r.name;
        const std::string log = cap.Finish();
        OXR_HTTP_SetLog(-1);
        EXPECT_EQ(OXR_HTTP_GetErrNo(-1), nBefore) << r.name;
        EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 401) << r.name;
        EXPECT_EQ(OXR_HTTP_GetInfoByName(h, "WWW-Authenticate"), nullptr) << r.name;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        EXPECT_EQ(srv.Accepted(), r.nConnections) << r.name;
        const size_t nAt = log.find("Digest challenge not answered");
        if (r.record == nullptr) {
            EXPECT_EQ(nAt, std::string::npos) << r.name << ": " << log;
        } else {
            EXPECT_NE(log.find(std::string("Digest challenge not answered, ") + r.record + "\n"),
                      std::string::npos)
                << r.name << ": " << log;
            EXPECT_EQ(log.find("Digest challenge", nAt + 1), std::string::npos) << r.name;
        }
        // nothing secret in any record
        EXPECT_EQ(log.find("demo"), std::string::npos) << r.name;
        EXPECT_EQ(log.find("YWRta"), std::string::npos) << r.name;
    }
}

} // namespace
