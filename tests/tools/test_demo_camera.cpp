// The demo camera on its own, spoken to over plain sockets: every path, the
// pictures it encodes, authorization, and that it stops by itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "basic_auth.h"
#include "camera_context.h"
#include "camera_options.h"
#include "camera_server.h"
#include "jpeg_check.h"
#include "raw_http.h"

namespace {

// A camera running on a thread of the test process, on an ephemeral port.
class InProcessCamera {
public:
    explicit InProcessCamera(int nRunTimeSec = 60) {
        m_options.bQuiet = true;
        m_options.nRunTimeSec = nRunTimeSec;
        m_options.nFps = 25;
        m_pCtx = std::make_unique<CameraContext>(m_options);
        m_pServer = std::make_unique<CameraServer>(*m_pCtx);
        std::string error;
        m_bListening = m_pServer->Listen(&error);
        if (m_bListening) {
            m_thread = std::thread([this] { m_pServer->Run(m_bStop); });
        }
    }
    ~InProcessCamera() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    bool Listening() const { return m_bListening; }
    uint16_t Port() const { return m_pServer->Port(); }
    void JoinWithin(std::chrono::milliseconds limit, bool* pJoined) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!m_pCtx->Stopping() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        *pJoined = m_pCtx->Stopping();
        if (*pJoined) {
            m_thread.join();
        }
    }

private:
    CameraOptions m_options;
    std::unique_ptr<CameraContext> m_pCtx;
    std::unique_ptr<CameraServer> m_pServer;
    std::atomic<bool> m_bStop{false};
    bool m_bListening = false;
    std::thread m_thread;
};

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
    const RawResponse r =
        RawExchange(Port(), "HEAD /snapshot.jpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
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
                                              "X-Test: 42\r\nContent-Length: 5\r\n\r\nhello");
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
        {{"--port", "0"}, true},         {{"--port", "70000"}, false},
        {{"--bind", "127.0.0.1"}, true}, {{"--bind", "::1"}, true},
        {{"--bind", "10.0.0.1"}, false}, {{"--bind", "0.0.0.0"}, false},
        {{"--fps", "0"}, false},         {{"--fps", "30"}, true},
        {{"--run-time", "0"}, false},    {{"--size", "640x480"}, true},
        {{"--size", "640"}, false},      {{"--credentials", "nocolon"}, false},
        {{"--frobnicate"}, false},
    };
    for (const OptionCase& c : cases) {
        CameraOptions o;
        std::string error;
        EXPECT_EQ(ParseCameraOptions(static_cast<int>(c.args.size()), c.args.data(), &o, &error),
                  c.bOk)
            << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    }
}

} // namespace
