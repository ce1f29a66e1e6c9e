// The demo camera's kept connections, spoken to over one plain socket:
// which answers keep the connection and which end it, requests sent
// together, Digest counts across requests on one connection, and the close
// of an idle connection and at the end of the run-time.
#include <gtest/gtest.h>

#include <chrono>

#include "digest_client.h"
#include "in_process_camera.h"
#include "kept_connection.h"

namespace {

long long MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

std::string Get(const std::string& target, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

struct KeepCase {
    const char* what;
    std::string request;
    int nStatus;
    bool bKept;
};

TEST(CameraKeepAlive, AnswersWithALengthKeepTheConnectionUnlessTheClientSaysClose) {
    InProcessCamera camera;
    ASSERT_TRUE(camera.Listening());
    const KeepCase cases[] = {
        {"status", Get("/cgi-bin/status"), 200, true},
        {"snapshot", Get("/snapshot.jpg"), 200, true},
        {"HEAD", "HEAD /snapshot.jpg HTTP/1.1\r\nHost: x\r\n\r\n", 200, true},
        {"chunked JSON", Get("/cgi-bin/info.json"), 200, true},
        {"POST with a body", "POST /cgi-bin/echo HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi", 200,
         true},
        {"401 with a length", Get("/cgi-bin/admin/reboot"), 401, true},
        {"404", Get("/nothing/here"), 404, true},
        {"204 without a body", Get("/status?code=204"), 204, true},
        {"slow answer", Get("/slow?ms=20"), 200, true},
        {"Connection: close", Get("/cgi-bin/status", "Connection: close\r\n"), 200, false},
        {"close among tokens", Get("/cgi-bin/status", "Connection: keep-alive, Close\r\n"), 200,
         false},
        {"HTTP/1.0", "GET /cgi-bin/status HTTP/1.0\r\n\r\n", 200, false},
        {"video stream", Get("/video.mjpg?frames=1"), 200, false},
        {"event stream", Get("/events?count=1&interval=20"), 200, false},
    };
    for (const KeepCase& c : cases) {
        KeptConnection conn(camera.Port());
        ASSERT_TRUE(conn.Connected()) << c.what;
        const RawResponse r = conn.Exchange(c.request);
        ASSERT_TRUE(r.bOk) << c.what;
        EXPECT_EQ(r.nStatus, c.nStatus) << c.what;
        EXPECT_EQ(r.Header("Connection"), c.bKept ? "" : "close") << c.what;
        if (c.bKept) {
            EXPECT_EQ(conn.Exchange(Get("/cgi-bin/status")).nStatus, 200)
                << c.what << ": a second request on the same connection";
        } else {
            EXPECT_TRUE(conn.ClosedWithin(3000)) << c.what;
        }
    }
}

TEST(CameraKeepAlive, ChunkedAnswerIsTheJsonInSeveralChunks) {
    InProcessCamera camera;
    ASSERT_TRUE(camera.Listening());
    KeptConnection conn(camera.Port());
    int nChunks = 0;
    const RawResponse r = conn.Exchange(Get("/cgi-bin/info.json"), 5000, &nChunks);
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(r.Header("Content-Type"), "application/json");
    EXPECT_EQ(r.Header("Content-Length"), "");
    EXPECT_GT(nChunks, 2);
    EXPECT_EQ(r.body.rfind("{\"model\":\"oxr-demo-camera\",\"resolution\":\"320x240\",", 0), 0u)
        << r.body;
    EXPECT_EQ(r.body.substr(r.body.size() - 3), "]}\n");
}

TEST(CameraKeepAlive, RequestsSentTogetherAreAnsweredInOrder) {
    InProcessCamera camera;
    ASSERT_TRUE(camera.Listening());
    KeptConnection conn(camera.Port());
    const RawResponse first = conn.Exchange(Get("/status?code=202") +
                                            "POST /cgi-bin/echo HTTP/1.1\r\nContent-Length: "
                                            "3\r\n\r\nabc" +
                                            Get("/status?code=404"));
    EXPECT_EQ(first.nStatus, 202);
    const RawResponse second = conn.Exchange("");
    EXPECT_EQ(second.nStatus, 200);
    EXPECT_NE(second.body.find("body_length=3\nbody=abc\n"), std::string::npos) << second.body;
    EXPECT_EQ(conn.Exchange("").nStatus, 404);
}

// The nonce and its counts are the camera's, not the connection's: one
// connection gets the same checks as many.
TEST(CameraKeepAlive, DigestCountsHoldAcrossRequestsOnOneConnection) {
    InProcessCamera camera;
    ASSERT_TRUE(camera.Listening());
    KeptConnection conn(camera.Port());
    const std::string target = "/snapshot.jpg?auth=digest&algorithm=MD5";
    const RawResponse challenge = conn.Exchange(Get(target));
    ASSERT_EQ(challenge.nStatus, 401);
    DigestAnswer a;
    a.nonce = ChallengeParam(challenge.Header("WWW-Authenticate"), "nonce");
    a.opaque = ChallengeParam(challenge.Header("WWW-Authenticate"), "opaque");
    a.uri = target;
    const std::pair<const char*, int> steps[] = {
        {"00000001", 200}, {"00000001", 401}, {"00000002", 200}, {"00000003", 200}};
    for (const auto& step : steps) {
        a.nc = step.first;
        const RawResponse r = conn.Exchange(Get(target, DigestAuthorization(a) + "\r\n"));
        EXPECT_EQ(r.nStatus, step.second) << "nc=" << step.first;
    }
}

TEST(CameraKeepAlive, AnIdleConnectionIsClosedAfterTheIdleTime) {
    CameraOptions options = InProcessCamera::TestOptions();
    options.nKeepAliveMs = 300;
    InProcessCamera camera(options);
    ASSERT_TRUE(camera.Listening());
    KeptConnection conn(camera.Port());
    ASSERT_EQ(conn.Exchange(Get("/cgi-bin/status")).nStatus, 200);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(conn.ClosedWithin(3000));
    EXPECT_GE(MsSince(t0), 250);
    EXPECT_LT(MsSince(t0), 2500);

    options.nKeepAliveMs = 0; // none kept
    InProcessCamera closing(options);
    ASSERT_TRUE(closing.Listening());
    KeptConnection once(closing.Port());
    EXPECT_EQ(once.Exchange(Get("/cgi-bin/status")).Header("Connection"), "close");
    EXPECT_TRUE(once.ClosedWithin(2000));
}

TEST(CameraKeepAlive, AKeptConnectionDoesNotHoldTheCameraPastItsRunTime) {
    InProcessCamera camera(1);
    ASSERT_TRUE(camera.Listening());
    KeptConnection conn(camera.Port());
    ASSERT_EQ(conn.Exchange(Get("/cgi-bin/status")).nStatus, 200);
    bool bJoined = false;
    camera.JoinWithin(std::chrono::milliseconds(3000), &bJoined);
    EXPECT_TRUE(bJoined);
    EXPECT_TRUE(conn.ClosedWithin(1000));
}

} // namespace
