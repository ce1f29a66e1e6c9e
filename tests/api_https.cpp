// https:// through the public interface, against nginx and a python peer
// started by the TLS fixture (tests/tls/): verified and refused
// certificates, pinning, exact raw and multipart bodies, a peer that cuts a
// record, and Close while the handshake or a read waits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "oxr.h"
#include "oxr_http.h"
#include "stderr_capture.h"
#include "test_server.h"
#include "tls/tls_test_kit.h"
#if defined(_WIN32)
#include "tls/trust_win32.h"
#endif

namespace {

#if defined(_WIN32)
// SChannel trusts the system's stores only: the test CA is added for the run.
class TestCaTrust : public testing::Environment {
public:
    void SetUp() override {
        if (Peers().ok) {
            TrustTestCa(Peers().File("ca.pem"));
        }
    }
    void TearDown() override { UntrustTestCa(); }
};
testing::Environment* const g_trustEnv = testing::AddGlobalTestEnvironment(new TestCaTrust);
#endif

struct Got {
    std::mutex mutex;
    std::vector<std::string> data;
    std::string Joined() {
        std::lock_guard<std::mutex> lock(mutex);
        std::string all;
        for (const std::string& d : data) {
            all += d;
        }
        return all;
    }
};

int OXR_HTTP_CALLBACK Keep(int, void* pUser, OXR_HTTP_DATA* pData) {
    Got* g = static_cast<Got*>(pUser);
    std::lock_guard<std::mutex> lock(g->mutex);
    g->data.emplace_back(pData->pData, static_cast<size_t>(pData->nDataLen));
    return 0;
}

std::string Url(const char* pszPeer, const char* pszPath) {
    return "https://127.0.0.1:" + std::to_string(Peers().Port(pszPeer)) + pszPath;
}

bool WaitBytes(Got& got, size_t n, int nTimeOutMs) {
    for (int i = 0; i < nTimeOutMs / 5; ++i) {
        if (got.Joined().size() >= n) {
            return true;
        }
        OXR_Sleep(5);
    }
    return false;
}

enum PinKind { kNoPin, kRightPin, kWrongPin };

struct VerifyRow {
    const char* name;
    const char* peer;
    int nVerify;
    PinKind ePin;
    const char* failure; // the record's reason, nullptr when the request goes through
};

TEST(ApiHttps, CertificatesAreCheckedUnlessTheApplicationSaysOtherwise) {
    ASSERT_TRUE(Peers().ok) << Peers().error;
    const VerifyRow rows[] = {
        {"trusted", "trusted", 1, kNoPin, nullptr},
        {"self-signed", "selfsigned", 1, kNoPin, "certificate not trusted"},
        {"self-signed, checks off", "selfsigned", 0, kNoPin, nullptr},
        {"self-signed, pinned", "selfsigned", 1, kRightPin, nullptr},
        {"self-signed, another pin", "selfsigned", 1, kWrongPin, "pinned certificate mismatch"},
        {"name mismatch", "wrongname", 1, kNoPin, "name mismatch"},
    };
    const size_t nSize = 300001;
    for (const VerifyRow& r : rows) {
        Got got;
        int h = OXR_HTTP_OpenEx(Url(r.peer, "/small.bin").c_str(), HTTP_METHOD_GET, nullptr, 0,
                                3000, Keep, &got);
        ASSERT_GE(h, 0) << r.name;
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_TLS_VERIFY), 1) << r.name; // the default
        EXPECT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_TLS_VERIFY, r.nVerify, nullptr), 0);
        if (r.ePin != kNoPin) {
            const std::string pin =
                r.ePin == kRightPin ? Peers().Get("fp_selfsigned") : Peers().Get("fp_trusted");
            EXPECT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_TLS_PIN, 0, pin.c_str()), 0) << pin;
        }
        OXR_HTTP_SetLog(HTTP_LOG_DEBUG);
        StderrCapture cap;
        const int nSent = OXR_HTTP_SendRequest(h, "0", nullptr, 0, 5000);
        const std::string log = cap.Finish();
        OXR_HTTP_SetLog(-1);
        if (r.failure == nullptr) {
            EXPECT_EQ(nSent, 0) << r.name << ": " << log;
            EXPECT_TRUE(WaitBytes(got, nSize, 5000)) << r.name;
            EXPECT_EQ(PatternMismatch(got.Joined(), nSize), std::string::npos) << r.name;
        } else {
            EXPECT_EQ(nSent, -1) << r.name;
            EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_CONNECT) << r.name;
            EXPECT_NE(log.find(std::string("TLS handshake failed, ") + r.failure + "\n"),
                      std::string::npos)
                << r.name << ": " << log;
            EXPECT_TRUE(got.Joined().empty()) << r.name;
        }
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
    }
    // Refused, then the application decides to trust the camera: the same
    // session goes on with a new connection. A pin that is no fingerprint is
    // refused at once and leaves the pin set before as it was.
    Got got;
    int h = OXR_HTTP_OpenEx(Url("selfsigned", "/small.bin").c_str(), HTTP_METHOD_GET, nullptr, 0,
                            3000, Keep, &got);
    ASSERT_GE(h, 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 5000), -1);
    EXPECT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_TLS_PIN, 0, Peers().Get("fp_selfsigned").c_str()), 0);
    EXPECT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_TLS_PIN, 0, "12:34"), -1);
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_BAD_PARAM);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 5000), 0);
    EXPECT_TRUE(WaitBytes(got, nSize, 5000));
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
}

TEST(ApiHttps, AMultipartStreamArrivesPartByPart) {
    ASSERT_TRUE(Peers().ok) << Peers().error;
    Got got;
    int h = OXR_HTTP_OpenEx(Url("trusted", "/stream.mjpg").c_str(), HTTP_METHOD_GET, nullptr, 0,
                            3000, Keep, &got);
    ASSERT_GE(h, 0);
    // nginx keeps the connection: after the closing delimiter the stream
    // ends when it stays quiet for the stream time-out
    EXPECT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_STREAM_TIMEOUT, 300, nullptr), 0);
    ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 5000), 0);
    for (int i = 0; i < 1000 && OXR_HTTP_GetStreamState(h, nullptr, nullptr) != HTTP_STREAM_ENDED;
         ++i) {
        OXR_Sleep(5);
    }
    int nReason = 0;
    EXPECT_EQ(OXR_HTTP_GetStreamState(h, &nReason, nullptr), HTTP_STREAM_ENDED);
    EXPECT_EQ(nReason, HTTP_END_CLOSING_DELIMITER);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    const size_t kSizes[] = {1000, 70000, 5};
    std::lock_guard<std::mutex> lock(got.mutex);
    ASSERT_EQ(got.data.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got.data[i].size(), kSizes[i]);
        EXPECT_EQ(PatternMismatch(got.data[i], kSizes[i]), std::string::npos) << i;
    }
}

// The python peer cuts its second record in half and closes: no head, and
// nothing of the cut record is taken.
TEST(ApiHttps, APeerThatClosesInsideARecord) {
    ASSERT_TRUE(Peers().ok) << Peers().error;
    int h = OXR_HTTP_Open(Url("cut", "/").c_str(), HTTP_METHOD_GET, nullptr, 0, 3000);
    ASSERT_GE(h, 0);
    EXPECT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_TLS_VERIFY, 0, nullptr), 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 3000), -1);
    int nReason = 0;
    EXPECT_EQ(OXR_HTTP_GetStreamState(h, &nReason, nullptr), HTTP_STREAM_NONE);
    EXPECT_EQ(nReason, HTTP_END_PEER_CLOSED);
    EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 0);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
}

// Close from another thread while the request waits in a handshake the peer
// never answers, and while the receiver waits for more of a kept connection.
TEST(ApiHttps, CloseIsPromptWhileTheHandshakeOrAReadWaits) {
    ASSERT_TRUE(Peers().ok) << Peers().error;
    int h = OXR_HTTP_Open(Url("stall", "/").c_str(), HTTP_METHOD_GET, nullptr, 0, 3000);
    ASSERT_GE(h, 0);
    std::atomic<int> nSent{99};
    std::thread request([&] { nSent = OXR_HTTP_SendRequest(h, "0", nullptr, 0, 20000); });
    OXR_Sleep(300);
    int64_t t0 = OXR_TickMs();
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    EXPECT_LT(OXR_TickMs() - t0, 300);
    request.join();
    EXPECT_EQ(nSent.load(), -1);

    Got got;
    h = OXR_HTTP_OpenEx(Url("trusted", "/small.bin").c_str(), HTTP_METHOD_GET, nullptr, 0, 3000,
                        Keep, &got);
    ASSERT_GE(h, 0);
    ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 5000), 0);
    ASSERT_TRUE(WaitBytes(got, 300001, 5000));
    OXR_Sleep(50); // the receiver waits: nginx keeps the connection
    EXPECT_EQ(OXR_HTTP_GetStreamState(h, nullptr, nullptr), HTTP_STREAM_RUNNING);
    t0 = OXR_TickMs();
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    EXPECT_LT(OXR_TickMs() - t0, 100);
}

int WaitNotRunning(int h) {
    int nReason = -1;
    for (int i = 0;
         i < 1000 && OXR_HTTP_GetStreamState(h, &nReason, nullptr) == HTTP_STREAM_RUNNING; ++i) {
        OXR_Sleep(5);
    }
    return nReason;
}

// Keep-alive over https: the requests share one connection and one
// handshake; when the device closes it, the next connection resumes the TLS
// session; a head that trickles in fails at the request's time-out.
TEST(ApiHttps, KeptAliveResumedAndBoundedInTime) {
    ASSERT_TRUE(Peers().ok) << Peers().error;
    Got got;
    int h = OXR_HTTP_OpenEx(Url("trusted", "/reused").c_str(), HTTP_METHOD_GET, nullptr, 0, 3000,
                            Keep, &got);
    ASSERT_GE(h, 0);
    ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, 1, nullptr), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 3000), 0) << i;
        EXPECT_EQ(WaitNotRunning(h), HTTP_END_COMPLETE) << i;
    }
    EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_CONNECTIONS), 1);
    // nginx names a resumed session "r", a full handshake "."
    EXPECT_EQ(got.Joined(), ".\n.\n.\n");
    ASSERT_EQ(OXR_HTTP_AddHeader(h, "Connection", "close"), 0);
    ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 3000), 0);
    EXPECT_EQ(WaitNotRunning(h), HTTP_END_COMPLETE);
    ASSERT_EQ(OXR_HTTP_RemoveHeader(h, "Connection"), 0);
    ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 3000), 0);
    EXPECT_EQ(WaitNotRunning(h), HTTP_END_COMPLETE);
    EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_CONNECTIONS), 2);
#if !defined(_WIN32) // SChannel resumes, or not, by itself
    EXPECT_EQ(got.Joined(), ".\n.\n.\n.\nr\n");
#endif
    EXPECT_EQ(OXR_HTTP_Close(h), 0);

    h = OXR_HTTP_Open(Url("trickle", "/").c_str(), HTTP_METHOD_GET, nullptr, 0, 3000);
    ASSERT_GE(h, 0);
    ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, 1, nullptr), 0);
    const int64_t t0 = OXR_TickMs();
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), -1);
    EXPECT_LT(OXR_TickMs() - t0, 3000);
    int nReason = -1;
    EXPECT_EQ(OXR_HTTP_GetStreamState(h, &nReason, nullptr), HTTP_STREAM_NONE);
    EXPECT_EQ(nReason, HTTP_END_TIMEOUT);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
}

// Redirects across schemes: http to https on one host takes the
// credentials along (and the pin still holds); https down to http does not.
TEST(ApiHttps, RedirectsKeepCredentialsOnlyUpward) {
    ASSERT_TRUE(Peers().ok) << Peers().error;
    unsigned char pin[32];
    ASSERT_TRUE(Peers().Fingerprint("trusted", pin));
    std::string pinHex;
    for (unsigned char b : pin) {
        char sz[3];
        std::snprintf(sz, sizeof(sz), "%02x", b);
        pinHex += sz;
    }
    CTestServer plain;
    plain.Add(CTestScript()
                  .WaitRequest()
                  .Send("HTTP/1.1 301 Moved\r\nLocation: " + Url("trusted", "/echo-auth") +
                        "\r\nContent-Length: 0\r\n\r\n")
                  .WaitPeerClose(3000));
    plain.Add(CTestScript()
                  .WaitRequest()
                  .Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
                  .WaitPeerClose(3000));
    ASSERT_TRUE(plain.Start());
    Got got;
    int h = OXR_HTTP_OpenEx(plain.Url("/cam").c_str(), HTTP_METHOD_GET, "admin:demo", 0, 3000, Keep,
                            &got);
    ASSERT_GE(h, 0);
    ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_FOLLOW_REDIRECTS, 2, nullptr), 0);
    ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_TLS_PIN, 0, pinHex.c_str()), 0);
    ASSERT_EQ(OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 3000), 0);
    WaitNotRunning(h);
    EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 200);
    EXPECT_EQ(got.Joined(), "Basic YWRtaW46ZGVtbw==\n");
    EXPECT_EQ(OXR_HTTP_Close(h), 0);

    const std::string down = Url("trusted", "/down?port=") + std::to_string(plain.Port());
    h = OXR_HTTP_Open(down.c_str(), HTTP_METHOD_GET, "admin:demo", 0, 3000);
    ASSERT_GE(h, 0);
    ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_FOLLOW_REDIRECTS, 2, nullptr), 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 3000), 0);
    EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 200);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    const std::vector<std::string> landed = plain.Requests(1);
    ASSERT_EQ(landed.size(), 1u);
    EXPECT_EQ(landed[0].compare(0, 13, "GET /landing "), 0) << landed[0];
    EXPECT_EQ(landed[0].find("Authorization"), std::string::npos) << landed[0];
}

// A camera that speaks only TLS 1.0 at security level 0: refused unless the
// session asks for the old protocols; certificates are checked as always.
TEST(ApiHttps, OldTlsOnlyWhenAskedFor) {
    ASSERT_TRUE(Peers().ok) << Peers().error;
    for (int bLegacy = 0; bLegacy < 2; ++bLegacy) {
        Got got;
        int h = OXR_HTTP_OpenEx(Url("tls10", "/").c_str(), HTTP_METHOD_GET, nullptr, 0, 3000, Keep,
                                &got);
        ASSERT_GE(h, 0);
        ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_TLS_LEGACY, bLegacy, nullptr), 0);
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_TLS_LEGACY), bLegacy);
        const int nSent = OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 3000);
#if defined(_WIN32)
        // What SChannel allows is the system's policy (docs/api.md).
        if (bLegacy == 0) {
            EXPECT_EQ(nSent, -1);
        }
#else
        EXPECT_EQ(nSent, bLegacy != 0 ? 0 : -1) << bLegacy;
        if (nSent == 0) {
            WaitNotRunning(h);
            EXPECT_EQ(got.Joined(), "TLS 1.0\n");
        }
#endif
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
    }
}

} // namespace
