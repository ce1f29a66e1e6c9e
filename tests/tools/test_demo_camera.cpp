// The demo camera on its own, spoken to over plain sockets, TLS and curl:
// every path, the pictures it encodes, Basic and Digest authorization, TLS,
// and that it stops by itself.
#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <set>
#include <unistd.h>

#include <openssl/ssl.h>

#include "auth_params.h"
#include "basic_auth.h"
#include "camera_auth.h"
#include "child_process.h"
#include "digest_auth.h"
#include "digest_client.h"
#include "in_process_camera.h"
#include "jpeg_check.h"
#include "raw_http.h"
#include "test_ca.h"
#include "tls_fetch.h"

namespace {

class DemoCamera : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_pCamera = new InProcessCamera(); }
    static void TearDownTestSuite() {
        delete s_pCamera;
        s_pCamera = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_pCamera->Listening()); }
    uint16_t Port() const { return s_pCamera->Port(); }
    static InProcessCamera* s_pCamera;
};
InProcessCamera* DemoCamera::s_pCamera = nullptr;

const std::string kAuth = "Authorization: Basic " + Base64Encode("admin:demo");

TEST_F(DemoCamera, SnapshotIsOneValidJpegWithItsLength) {
    const RawResponse r = RawGet(Port(), "/snapshot.jpg");
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_EQ(r.Header("Content-Type"), "image/jpeg");
    EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
    const JpegInfo info = DecodeJpeg(r.body);
    EXPECT_TRUE(info.bValid) << info.error;
    EXPECT_EQ(info.nWidth, 320);
    EXPECT_EQ(info.nHeight, 240);
    EXPECT_NE(info.comment.find("sent_ms="), std::string::npos) << info.comment;
}

TEST_F(DemoCamera, HeadAnswersWithoutBody) {
    const RawResponse r = RawExchange(Port(), "HEAD /snapshot.jpg HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                              "Connection: close\r\n\r\n");
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_NE(r.Header("Content-Length"), "0");
    EXPECT_TRUE(r.body.empty());
}

TEST_F(DemoCamera, VideoIsMultipartOfDistinctValidFramesAndEndsWithClosingDelimiter) {
    const RawResponse r = RawGet(Port(), "/video.mjpg?frames=4&fps=50");
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(r.Header("Content-Type"), "multipart/x-mixed-replace; boundary=oxrframe");
    const std::vector<RawPart> parts = SplitMultipart(r.body, "oxrframe");
    ASSERT_EQ(parts.size(), 4u);
    std::set<std::string> distinct;
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].Header("Content-Type"), "image/jpeg");
        const JpegInfo info = DecodeJpeg(parts[i].body);
        EXPECT_TRUE(info.bValid) << "frame " << i << ": " << info.error;
        EXPECT_NE(info.comment.find("frame=" + std::to_string(i + 1) + " "), std::string::npos)
            << info.comment;
        distinct.insert(parts[i].body);
    }
    EXPECT_EQ(distinct.size(), 4u) << "the picture moves from frame to frame";
    EXPECT_NE(r.body.find("--oxrframe--\r\n"), std::string::npos);
}

TEST_F(DemoCamera, VideoPacesFramesAtTheAskedRate) {
    const auto t0 = std::chrono::steady_clock::now();
    const RawResponse r = RawGet(Port(), "/video.mjpg?frames=6&fps=20");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(SplitMultipart(r.body, "oxrframe").size(), 6u);
    EXPECT_GE(ms, 240); // five periods of 50 ms between six frames
    EXPECT_LT(ms, 3000);
}

TEST_F(DemoCamera, VideoWithAuthParameterWantsCredentials) {
    EXPECT_EQ(RawGet(Port(), "/video.mjpg?auth=1&frames=1").nStatus, 401);
    const RawResponse ok = RawGet(Port(), "/video.mjpg?auth=1&frames=1", {kAuth});
    EXPECT_EQ(ok.nStatus, 200);
    EXPECT_EQ(SplitMultipart(ok.body, "oxrframe").size(), 1u);
}

TEST_F(DemoCamera, EventsMixPartsWithAndWithoutContentLength) {
    const RawResponse r = RawGet(Port(), "/events?count=6&interval=20");
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(r.Header("Content-Type"), "multipart/mixed; boundary=oxrevent");
    const std::vector<RawPart> parts = SplitMultipart(r.body, "oxrevent");
    ASSERT_EQ(parts.size(), 6u);
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool bJson = (i + 1) % 3 == 0;
        EXPECT_EQ(parts[i].Header("Content-Type"), bJson ? "application/json" : "text/plain");
        EXPECT_EQ(parts[i].Header("Content-Length").empty(), bJson);
        EXPECT_NE(
            parts[i].body.find("seq" + std::string(bJson ? "\":" : "=") + std::to_string(i + 1)),
            std::string::npos)
            << parts[i].body;
    }
}

struct PathCase {
    const char* target;
    bool bWithAuth;
    int nStatus;
    const char* bodyStart;
};

TEST_F(DemoCamera, CommandPathsAnswerAsDocumented) {
    const PathCase cases[] = {
        {"/cgi-bin/status", false, 200, "model=oxr-demo-camera\n"},
        {"/cgi-bin/admin/reboot", false, 401, "authorization required"},
        {"/cgi-bin/admin/reboot", true, 200, "OK reboot accepted"},
        {"/cgi-bin/admin/set?exposure=7", true, 200, "OK exposure=7"},
        {"/cgi-bin/admin/unknown", true, 404, "no such command"},
        {"/status?code=503", false, 503, "status 503"},
        {"/status?code=302", false, 302, "status 302"},
        {"/nothing/here", false, 404, "not found"},
        {"/slow?ms=50", false, 200, "slow answer"},
    };
    for (const PathCase& c : cases) {
        const RawResponse r =
            RawGet(Port(), c.target,
                   c.bWithAuth ? std::vector<std::string>{kAuth} : std::vector<std::string>{});
        EXPECT_EQ(r.nStatus, c.nStatus) << c.target;
        EXPECT_EQ(r.body.compare(0, std::string(c.bodyStart).size(), c.bodyStart), 0)
            << c.target << ": " << r.body;
        if (c.nStatus == 401) {
            EXPECT_EQ(r.Header("WWW-Authenticate"), "Basic realm=\"oxr-demo-camera\"");
        }
    }
}

TEST_F(DemoCamera, WrongCredentialsAreRefused) {
    const RawResponse r = RawGet(Port(), "/cgi-bin/admin/reboot",
                                 {"Authorization: Basic " + Base64Encode("admin:wrong")});
    EXPECT_EQ(r.nStatus, 401);
}

TEST_F(DemoCamera, EchoTellsMethodHeadersAndBody) {
    const RawResponse r = RawExchange(Port(), "POST /cgi-bin/echo HTTP/1.1\r\nHost: x\r\n"
                                              "X-Test: 42\r\nContent-Length: 5\r\n"
                                              "Connection: close\r\n\r\nhello");
    ASSERT_EQ(r.nStatus, 200);
    EXPECT_NE(r.body.find("method=POST\n"), std::string::npos);
    EXPECT_NE(r.body.find("header X-Test: 42\n"), std::string::npos);
    EXPECT_NE(r.body.find("body_length=5\nbody=hello\n"), std::string::npos);
}

TEST(DemoCameraLifetime, StopsByItselfAfterItsRunTime) {
    InProcessCamera camera(1);
    ASSERT_TRUE(camera.Listening());
    bool bJoined = false;
    camera.JoinWithin(std::chrono::milliseconds(3000), &bJoined);
    EXPECT_TRUE(bJoined);
}

TEST(DemoCameraLifetime, RunTimeLimitEndsAnEndlessStream) {
    InProcessCamera camera(1);
    ASSERT_TRUE(camera.Listening());
    const auto t0 = std::chrono::steady_clock::now();
    const RawResponse r = RawGet(camera.Port(), "/video.mjpg", {}, 8000);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_EQ(r.nStatus, 200);
    EXPECT_LT(ms, 4000);
    EXPECT_GT(SplitMultipart(r.body, "oxrframe").size(), 3u);
}

struct OptionCase {
    std::vector<const char*> args;
    bool bOk;
};

TEST(DemoCameraOptions, AcceptsLoopbackOnlyAndBoundedValues) {
    const OptionCase cases[] = {
        {{"--port", "0"}, true},
        {{"--port", "70000"}, false},
        {{"--bind", "127.0.0.1"}, true},
        {{"--bind", "::1"}, true},
        {{"--bind", "10.0.0.1"}, false},
        {{"--bind", "0.0.0.0"}, false},
        {{"--fps", "0"}, false},
        {{"--fps", "30"}, true},
        {{"--run-time", "0"}, false},
        {{"--size", "640x480"}, true},
        {{"--size", "640"}, false},
        {{"--credentials", "nocolon"}, false},
        {{"--frobnicate"}, false},
        {{"--auth", "digest"}, true},
        {{"--auth", "basic"}, true},
        {{"--auth", "ntlm"}, false},
        {{"--nonce-uses", "2"}, true},
        {{"--nonce-uses", "-1"}, false},
        {{"--tls"}, true},
        {{"--cert", "c.pem"}, false},
        {{"--cert", "c.pem", "--key", "k.pem"}, true},
    };
    for (const OptionCase& c : cases) {
        CameraOptions o;
        std::string error;
        EXPECT_EQ(ParseCameraOptions(static_cast<int>(c.args.size()), c.args.data(), &o, &error),
                  c.bOk)
            << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    }
}

// ------------------------------------------------------------------ Digest

struct RfcCase {
    const char* source;
    DigestAlgorithm algorithm;
    const char* realm;
    const char* password;
    const char* nonce;
    const char* cnonce;
    const char* qop;
    const char* response;
};

// The worked examples of RFC 7616 (section 3.9.1), RFC 2617 (3.5) and RFC 2069.
TEST(DigestResponse, ReproducesThePublishedExamples) {
    const char* const kNonce7616 = "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v";
    const char* const kCnonce7616 = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";
    const char* const kNonce2617 = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
    const RfcCase cases[] = {
        {"RFC 7616 MD5", DigestAlgorithm::kMd5, "http-auth@example.org", "Circle of Life",
         kNonce7616, kCnonce7616, "auth", "8ca523f5e9506fed4657c9700eebdbec"},
        {"RFC 7616 SHA-256", DigestAlgorithm::kSha256, "http-auth@example.org", "Circle of Life",
         kNonce7616, kCnonce7616, "auth",
         "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
        {"RFC 2617", DigestAlgorithm::kMd5, "testrealm@host.com", "Circle Of Life", kNonce2617,
         "0a4f113b", "auth", "6629fae49393a05397450978507c4ef1"},
        {"RFC 2069", DigestAlgorithm::kMd5, "testrealm@host.com", "CircleOfLife", kNonce2617, "",
         "", "1949323746fe6a43ef61f9606e7febea"},
    };
    for (const RfcCase& c : cases) {
        DigestInput in;
        in.algorithm = c.algorithm;
        in.username = "Mufasa";
        in.realm = c.realm;
        in.password = c.password;
        in.method = "GET";
        in.uri = "/dir/index.html";
        in.nonce = c.nonce;
        in.nc = *c.qop != '\0' ? "00000001" : "";
        in.cnonce = c.cnonce;
        in.qop = c.qop;
        EXPECT_EQ(DigestResponse(in), c.response) << c.source;
    }
}

struct ParamCase {
    const char* text;
    bool bOk;
    std::vector<std::pair<std::string, std::string>> values;
};

TEST(DigestAnswerParsing, NamesIgnoreCaseQuotedStringsUnescape) {
    const ParamCase cases[] = {
        {R"(Digest username="a", Realm="r")", true, {{"username", "a"}, {"realm", "r"}}},
        {R"(digest  USERNAME = "a" ,nc=00000001)", true, {{"username", "a"}, {"nc", "00000001"}}},
        {R"(Digest uri="/a?b=1,c=2", qop=auth)", true, {{"uri", "/a?b=1,c=2"}, {"qop", "auth"}}},
        {R"(Digest username="Mu\"fa\\sa")", true, {{"username", R"(Mu"fa\sa)"}}},
        {R"(Digest a=1,, ,b=2)", true, {{"a", "1"}, {"b", "2"}}},
        {"Digest", true, {}},
        {R"(Digest username="open)", false, {}},
        {R"(Digest username="a\)", false, {}},
        {"Digest a=1 b=2", false, {}},
        {"Digest a=1, A=2", false, {}},
        {"Digest a", false, {}},
        {"Digest =1", false, {}},
        {"Digest a=", false, {}},
        {"Digest a=1;b", false, {}},
    };
    for (const ParamCase& c : cases) {
        AuthParams p;
        ASSERT_EQ(ParseAuthParams(c.text, &p), c.bOk) << c.text;
        if (c.bOk) {
            EXPECT_EQ(p.values.size(), c.values.size()) << c.text;
            for (const auto& v : c.values) {
                EXPECT_EQ(p.Get(v.first), v.second) << c.text << ": " << v.first;
            }
        }
    }
}

struct SchemeCase {
    CameraAuth cameraAuth;
    const char* target;
    AuthScheme scheme;
};

TEST(DemoCameraAuth, EachPathWantsTheDocumentedScheme) {
    const CameraAuth B = CameraAuth::kBasic;
    const CameraAuth D = CameraAuth::kDigest;
    const SchemeCase cases[] = {
        {B, "/snapshot.jpg", AuthScheme::kNone},
        {B, "/snapshot.jpg?auth=digest", AuthScheme::kDigest},
        {B, "/snapshot.jpg?auth=1", AuthScheme::kBasic},
        {B, "/video.mjpg", AuthScheme::kNone},
        {B, "/video.mjpg?auth=1&frames=1", AuthScheme::kBasic},
        {B, "/video.mjpg?auth=digest", AuthScheme::kDigest},
        {B, "/cgi-bin/admin/reboot", AuthScheme::kBasic},
        {B, "/cgi-bin/admin/set?auth=digest&k=v", AuthScheme::kDigest},
        {B, "/events?auth=digest", AuthScheme::kNone},
        {B, "/cgi-bin/status?auth=1", AuthScheme::kNone},
        {D, "/snapshot.jpg", AuthScheme::kDigest},
        {D, "/snapshot.jpg?auth=basic", AuthScheme::kBasic},
        {D, "/video.mjpg", AuthScheme::kNone},
        {D, "/video.mjpg?auth=1", AuthScheme::kDigest},
        {D, "/cgi-bin/admin/reboot", AuthScheme::kDigest},
        {D, "/cgi-bin/admin/reboot?auth=basic", AuthScheme::kBasic},
    };
    for (const SchemeCase& c : cases) {
        CameraOptions options;
        options.auth = c.cameraAuth;
        Request request;
        ASSERT_TRUE(
            ParseRequestHead(std::string("GET ") + c.target + " HTTP/1.1\r\nHost: x", &request));
        EXPECT_EQ(RequiredScheme(request, options), c.scheme)
            << c.target << (c.cameraAuth == D ? " with --auth digest" : "");
    }
}

// A camera with --auth digest, shared by the tests of its answers.
class DigestCamera : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CameraOptions options = InProcessCamera::TestOptions();
        options.auth = CameraAuth::kDigest;
        s_pCamera = new InProcessCamera(options);
    }
    static void TearDownTestSuite() {
        delete s_pCamera;
        s_pCamera = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_pCamera->Listening()); }
    static uint16_t Port() { return s_pCamera->Port(); }
    static InProcessCamera* s_pCamera;
};
InProcessCamera* DigestCamera::s_pCamera = nullptr;

// The challenges of the 401 answer to an unauthorized request.
std::vector<std::string> ChallengesFor(uint16_t wPort, const std::string& target) {
    const RawResponse r = RawGet(wPort, target);
    EXPECT_EQ(r.nStatus, 401) << target;
    return r.Headers("WWW-Authenticate");
}

// A correct answer to one challenge for the given request target.
DigestAnswer AnswerTo(const std::string& challenge, const std::string& target) {
    DigestAnswer a;
    a.nonce = ChallengeParam(challenge, "nonce");
    a.opaque = ChallengeParam(challenge, "opaque");
    a.algorithm = ChallengeParam(challenge, "algorithm");
    a.qop = ChallengeParam(challenge, "qop");
    a.uri = target;
    return a;
}

RawResponse SendWith(uint16_t wPort, const std::string& method, const std::string& target,
                     const std::string& authorization, const std::string& body = "") {
    std::string request = method + " " + target +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + authorization +
                          "\r\n";
    if (!body.empty()) {
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return RawExchange(wPort, request + "\r\n" + body);
}

// Challenge text with the random values replaced, for comparing.
std::string Masked(std::string challenge) {
    for (const char* name : {"nonce", "opaque"}) {
        const std::string value = ChallengeParam(challenge, name);
        const size_t at = challenge.find(std::string(name) + "=\"" + value + "\"");
        if (!value.empty() && at != std::string::npos) {
            challenge.replace(at + std::string(name).size() + 2, value.size(), "*");
        }
    }
    return challenge;
}

struct ChallengeCase {
    const char* query;
    std::vector<std::string> masked;
};

TEST_F(DigestCamera, UnauthorizedRequestsGetTheChallengesTheirQueryAsksFor) {
    const std::string R = "Digest realm=\"oxr-demo-camera\", ";
    const std::string NO = "nonce=\"*\", opaque=\"*\"";
    const ChallengeCase cases[] = {
        {"",
         {R + "qop=\"auth\", algorithm=SHA-256, " + NO, R + "qop=\"auth\", algorithm=MD5, " + NO}},
        {"?algorithm=MD5", {R + "qop=\"auth\", algorithm=MD5, " + NO}},
        {"?algorithm=SHA-256", {R + "qop=\"auth\", algorithm=SHA-256, " + NO}},
        {"?algorithm=SHA-256-sess", {R + "qop=\"auth\", algorithm=SHA-256-sess, " + NO}},
        {"?algorithm=none", {R + "qop=\"auth\", " + NO}},
        {"?qop=none&algorithm=MD5", {R + "algorithm=MD5, " + NO}},
        {"?qop=auth-int&algorithm=MD5", {R + "qop=\"auth-int\", algorithm=MD5, " + NO}},
        {"?userhash=1&algorithm=SHA-256",
         {R + "qop=\"auth\", algorithm=SHA-256, " + NO + ", userhash=true"}},
    };
    std::set<std::string> nonces;
    for (const ChallengeCase& c : cases) {
        const std::vector<std::string> challenges =
            ChallengesFor(Port(), std::string("/snapshot.jpg") + c.query);
        ASSERT_EQ(challenges.size(), c.masked.size()) << c.query;
        for (size_t i = 0; i < challenges.size(); ++i) {
            EXPECT_EQ(Masked(challenges[i]), c.masked[i]) << c.query;
            EXPECT_EQ(ChallengeParam(challenges[i], "nonce").size(), 48u) << challenges[i];
            EXPECT_EQ(ChallengeParam(challenges[i], "nonce"),
                      ChallengeParam(challenges[0], "nonce"));
        }
        nonces.insert(ChallengeParam(challenges[0], "nonce"));
    }
    EXPECT_EQ(nonces.size(), std::size(cases)) << "every 401 has a fresh nonce";
}

struct AnswerCase {
    const char* what;
    const char* method;
    const char* target;
    const char* body;
    size_t nChallenge; // which challenge of the 401 is answered
    void (*change)(DigestAnswer*);
    int nStatus;
    bool bStale;
    const char* reason; // in the 401 body
};

TEST_F(DigestCamera, AnswersAreCheckedInEveryPart) {
    const AnswerCase cases[] = {
        {"SHA-256", "GET", "/snapshot.jpg", "", 0, nullptr, 200, false, ""},
        {"MD5", "GET", "/snapshot.jpg", "", 1, nullptr, 200, false, ""},
        {"MD5-sess", "GET", "/snapshot.jpg?algorithm=MD5-sess", "", 0, nullptr, 200, false, ""},
        {"SHA-256-sess", "GET", "/snapshot.jpg?algorithm=SHA-256-sess", "", 0, nullptr, 200, false,
         ""},
        {"no algorithm named", "GET", "/snapshot.jpg?algorithm=none", "", 0, nullptr, 200, false,
         ""},
        {"RFC 2069 form", "GET", "/snapshot.jpg?qop=none", "", 0, nullptr, 200, false, ""},
        {"userhash", "GET", "/snapshot.jpg?userhash=1", "", 0,
         [](DigestAnswer* a) { a->bUserhash = true; }, 200, false, ""},
        {"admin command", "GET", "/cgi-bin/admin/reboot", "", 0, nullptr, 200, false, ""},
        {"protected video", "GET", "/video.mjpg?auth=1&frames=1", "", 1, nullptr, 200, false, ""},
        {"auth-int with the body", "POST", "/cgi-bin/admin/set?qop=auth-int&exposure=7", "x=1", 0,
         nullptr, 200, false, ""},
        {"auth-int without the body", "POST", "/cgi-bin/admin/set?qop=auth-int&exposure=7", "x=1",
         0, [](DigestAnswer* a) { a->body.clear(); }, 401, false, "wrong response"},
        {"wrong password", "GET", "/snapshot.jpg", "", 0,
         [](DigestAnswer* a) { a->password = "wrong"; }, 401, false, "wrong response"},
        {"wrong user", "GET", "/snapshot.jpg", "", 0,
         [](DigestAnswer* a) { a->username = "guest"; }, 401, false, "unknown user"},
        {"uri not the target", "GET", "/snapshot.jpg?x=1", "", 0,
         [](DigestAnswer* a) { a->uri = "/snapshot.jpg"; }, 401, false,
         "uri is not the request target"},
        {"algorithm not offered", "GET", "/snapshot.jpg?algorithm=SHA-256", "", 0,
         [](DigestAnswer* a) { a->algorithm = "MD5"; }, 401, false,
         "algorithm MD5 was not offered"},
        {"qop left out", "GET", "/snapshot.jpg", "", 0, [](DigestAnswer* a) { a->qop.clear(); },
         401, false, "qop missing"},
        {"nc not hex", "GET", "/snapshot.jpg", "", 0, [](DigestAnswer* a) { a->nc = "0000000g"; },
         401, false, "nc is not eight hex digits"},
        {"opaque changed", "GET", "/snapshot.jpg", "", 0, [](DigestAnswer* a) { a->opaque = "00"; },
         401, false, "opaque not returned unchanged"},
        {"userhash not offered", "GET", "/snapshot.jpg", "", 0,
         [](DigestAnswer* a) { a->bUserhash = true; }, 401, false, "userhash was not offered"},
        {"nonce never issued", "GET", "/snapshot.jpg", "", 0,
         [](DigestAnswer* a) { a->nonce = std::string(48, 'a'); }, 401, true, "unknown nonce"},
    };
    for (const AnswerCase& c : cases) {
        const std::vector<std::string> challenges = ChallengesFor(Port(), c.target);
        ASSERT_GT(challenges.size(), c.nChallenge) << c.what;
        DigestAnswer a = AnswerTo(challenges[c.nChallenge], c.target);
        a.method = c.method;
        a.body = c.body;
        if (c.change != nullptr) {
            c.change(&a);
        }
        const RawResponse r = SendWith(Port(), c.method, c.target, DigestAuthorization(a), c.body);
        EXPECT_EQ(r.nStatus, c.nStatus) << c.what << ": " << r.body;
        if (c.nStatus == 401) {
            ASSERT_FALSE(r.Headers("WWW-Authenticate").empty()) << c.what;
            EXPECT_EQ(ChallengeParam(r.Header("WWW-Authenticate"), "stale") == "true", c.bStale)
                << c.what;
            EXPECT_NE(r.body.find(c.reason), std::string::npos) << c.what << ": " << r.body;
        }
    }
}

TEST_F(DigestCamera, EachRequestWithANonceNeedsAGreaterCount) {
    const std::vector<std::string> challenges = ChallengesFor(Port(), "/snapshot.jpg");
    ASSERT_FALSE(challenges.empty());
    const DigestAnswer first = AnswerTo(challenges[0], "/snapshot.jpg");
    const std::pair<const char*, int> steps[] = {
        {"00000001", 200}, {"00000001", 401}, {"00000002", 200},
        {"00000002", 401}, {"00000001", 401}, {"0000000A", 200},
    };
    for (const auto& step : steps) {
        DigestAnswer a = first;
        a.nc = step.first;
        const RawResponse r = RawGet(Port(), "/snapshot.jpg", {DigestAuthorization(a)});
        EXPECT_EQ(r.nStatus, step.second) << "nc=" << step.first;
        if (step.second == 401) {
            EXPECT_NE(r.body.find("nc not greater"), std::string::npos) << r.body;
        }
    }
}

TEST(DemoCameraDigest, NonceGoesStaleAfterItsUses) {
    CameraOptions options = InProcessCamera::TestOptions();
    options.auth = CameraAuth::kDigest;
    options.nNonceUses = 2;
    InProcessCamera camera(options);
    ASSERT_TRUE(camera.Listening());
    const std::vector<std::string> offered = ChallengesFor(camera.Port(), "/snapshot.jpg");
    ASSERT_FALSE(offered.empty());
    DigestAnswer a = AnswerTo(offered[0], "/snapshot.jpg");
    for (const char* nc : {"00000001", "00000002"}) {
        a.nc = nc;
        EXPECT_EQ(RawGet(camera.Port(), "/snapshot.jpg", {DigestAuthorization(a)}).nStatus, 200);
    }
    a.nc = "00000003";
    const RawResponse third = RawGet(camera.Port(), "/snapshot.jpg", {DigestAuthorization(a)});
    ASSERT_EQ(third.nStatus, 401);
    const std::vector<std::string> challenges = third.Headers("WWW-Authenticate");
    ASSERT_EQ(challenges.size(), 2u);
    for (const std::string& c : challenges) {
        EXPECT_EQ(ChallengeParam(c, "stale"), "true") << c;
        EXPECT_NE(ChallengeParam(c, "nonce"), a.nonce) << "a fresh nonce";
    }
    DigestAnswer fresh = AnswerTo(challenges[0], "/snapshot.jpg");
    EXPECT_EQ(RawGet(camera.Port(), "/snapshot.jpg", {DigestAuthorization(fresh)}).nStatus, 200);
}

// ------------------------------------------------------------------ curl

constexpr const char* kCurlBin = "/usr/bin/curl";

bool Have(const char* pszPath) {
    return access(pszPath, X_OK) == 0;
}

ProcessResult Curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"-q", "-s", "-S", "--fail", "--noproxy", "*", "--max-time", "10"});
    return RunProcess(kCurlBin, args, 15000);
}

struct CurlCase {
    const char* query;
    const char* credentials;
    bool bOk;
};

TEST_F(DemoCamera, CurlDigestAgreesWithTheCamera) {
    if (!Have(kCurlBin)) {
        GTEST_SKIP() << "curl is not installed at " << kCurlBin;
    }
    const CurlCase cases[] = {
        {"", "admin:demo", true},
        {"&algorithm=MD5", "admin:demo", true},
        {"&algorithm=SHA-256", "admin:demo", true},
        {"&algorithm=SHA-256&userhash=1", "admin:demo", true},
        {"&qop=none", "admin:demo", true},
        {"&algorithm=MD5", "admin:wrong", false},
    };
    for (const CurlCase& c : cases) {
        const std::string url =
            "http://127.0.0.1:" + std::to_string(Port()) + "/snapshot.jpg?auth=digest" + c.query;
        const ProcessResult r = Curl({"--digest", "-u", c.credentials, url});
        if (c.bOk) {
            EXPECT_EQ(r.nExit, 0) << url << ": " << r.err;
            const JpegInfo info = DecodeJpeg(r.out);
            EXPECT_TRUE(info.bValid) << url << ": " << info.error;
        } else {
            EXPECT_EQ(r.nExit, 22) << url << " (curl's exit code for a status of 400 or above)";
        }
    }
}

// ------------------------------------------------------------------ TLS

CameraOptions TlsOptions() {
    CameraOptions options = InProcessCamera::TestOptions();
    options.bTls = true;
    return options;
}

TEST(DemoCameraTls, ServesTls12And13WithTheCertificateItMade) {
    InProcessCamera camera(TlsOptions());
    ASSERT_TRUE(camera.Listening()) << camera.Error();
    EXPECT_EQ(camera.Fingerprint().size(), 95u) << camera.Fingerprint();
    const std::pair<int, const char*> versions[] = {{TLS1_2_VERSION, "TLSv1.2"},
                                                    {TLS1_3_VERSION, "TLSv1.3"}};
    for (const auto& v : versions) {
        const TlsFetch f = TlsGet(camera.Port(), "/snapshot.jpg", v.first);
        ASSERT_TRUE(f.bHandshake) << v.second << ": " << f.error;
        EXPECT_EQ(f.protocol, v.second);
        EXPECT_EQ(f.fingerprint, camera.Fingerprint()) << v.second;
        EXPECT_EQ(f.subjectCn, "127.0.0.1");
        EXPECT_TRUE(f.bSanIp4 && f.bSanIp6 && f.bSanLocalhost);
        EXPECT_EQ(f.nValiditySec, 24 * 3600);
        EXPECT_EQ(f.response.nStatus, 200) << v.second;
        EXPECT_TRUE(f.bCloseNotify) << v.second;
        const JpegInfo info = DecodeJpeg(f.response.body);
        EXPECT_TRUE(info.bValid) << v.second << ": " << info.error;
    }
    EXPECT_FALSE(RawGet(camera.Port(), "/snapshot.jpg", {}, 2000).bOk) << "no plain HTTP";
}

TEST(DemoCameraTls, VideoStreamDeliversWholeFrames) {
    InProcessCamera camera(TlsOptions());
    ASSERT_TRUE(camera.Listening()) << camera.Error();
    const TlsFetch f = TlsGet(camera.Port(), "/video.mjpg?frames=4&fps=50", TLS1_3_VERSION);
    ASSERT_EQ(f.response.nStatus, 200) << f.error;
    const std::vector<RawPart> parts = SplitMultipart(f.response.body, "oxrframe");
    ASSERT_EQ(parts.size(), 4u);
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].Header("Content-Length"), std::to_string(parts[i].body.size()));
        EXPECT_TRUE(DecodeJpeg(parts[i].body).bValid) << "frame " << i;
    }
    EXPECT_NE(f.response.body.find("--oxrframe--\r\n"), std::string::npos);
    EXPECT_TRUE(f.bCloseNotify) << "a stream's end is told apart from a cut connection";
}

TEST(DemoCameraTls, CurlFetchesSnapshotsOverTls) {
    if (!Have(kCurlBin)) {
        GTEST_SKIP() << "curl is not installed at " << kCurlBin;
    }
    InProcessCamera camera(TlsOptions());
    ASSERT_TRUE(camera.Listening()) << camera.Error();
    const std::string base = "https://127.0.0.1:" + std::to_string(camera.Port());
    const std::vector<std::string> cases[] = {
        {"-k", base + "/snapshot.jpg"},
        {"-k", "--digest", "-u", "admin:demo", base + "/snapshot.jpg?auth=digest"},
    };
    for (const std::vector<std::string>& args : cases) {
        const ProcessResult r = Curl(args);
        EXPECT_EQ(r.nExit, 0) << args.back() << ": " << r.err;
        EXPECT_TRUE(DecodeJpeg(r.out).bValid) << args.back();
    }
}

// Named *Curl*: curl checks the certificate (see tools/CMakeLists.txt).
TEST(DemoCameraTls, ServesAGivenCertificateThatCurlTrustsAndPrintsItsFingerprint) {
    if (!Have(kOpensslBin) || !Have(kCurlBin)) {
        GTEST_SKIP() << "needs " << kOpensslBin << " and " << kCurlBin;
    }
    const TestCa ca;
    ASSERT_TRUE(ca.Ok()) << ca.Error();
    CameraOptions options = TlsOptions();
    options.certFile = ca.CertFile();
    options.keyFile = ca.KeyFile();
    InProcessCamera camera(options);
    ASSERT_TRUE(camera.Listening()) << camera.Error();
    const std::string fingerprint =
        ca.OpensslFingerprintLine().substr(ca.OpensslFingerprintLine().find('=') + 1);
    EXPECT_EQ(camera.Fingerprint(), fingerprint);
    EXPECT_EQ(TlsGet(camera.Port(), "/cgi-bin/status", TLS1_3_VERSION).fingerprint, fingerprint);
    // Verified against the test's own CA, the address checked against the certificate.
    const ProcessResult r =
        Curl({"--cacert", ca.CaFile(),
              "https://127.0.0.1:" + std::to_string(camera.Port()) + "/snapshot.jpg"});
    EXPECT_EQ(r.nExit, 0) << r.err;
    EXPECT_TRUE(DecodeJpeg(r.out).bValid);

    // The program prints the fingerprint under its port line.
    const ProcessResult run = RunProcess(OXR_DEMO_CAMERA_BIN,
                                         {"--port", "0", "--run-time", "1", "--quiet", "--cert",
                                          ca.CertFile(), "--key", ca.KeyFile()},
                                         10000);
    EXPECT_EQ(run.nExit, 0) << run.err;
    const size_t nl = run.out.find('\n');
    ASSERT_NE(nl, std::string::npos) << run.out;
    const std::string banner = "oxr-demo-camera listening on https://127.0.0.1:";
    EXPECT_EQ(run.out.compare(0, banner.size(), banner), 0) << run.out;
    EXPECT_EQ(run.out.substr(nl + 1),
              "oxr-demo-camera certificate sha256 Fingerprint=" + fingerprint + "\n");

    CameraOptions missing = TlsOptions();
    missing.certFile = ca.CertFile() + ".absent";
    missing.keyFile = ca.KeyFile();
    InProcessCamera refused(missing);
    EXPECT_FALSE(refused.Listening());
    EXPECT_NE(refused.Error().find(".absent"), std::string::npos) << refused.Error();
}

} // namespace
