// oxr-http with keep-alive against the demo camera: polling over one
// connection (counted by the camera), a chunked answer saved as its body at
// once, several URLs on one command line and the names of repeated saves.
#include "jpeg_check.h"
#include "kept_connection.h"
#include "oxr_http_test.h"

namespace {

struct PollCase {
    const char* what;
    std::vector<std::string> args; // before the URL
    std::string target;
};

TEST_F(OxrHttp, PollingReusesOneConnection) {
    const PollCase cases[] = {
        {"snapshot", {}, "/snapshot.jpg"},
        {"snapshot with Digest", {"-u", "admin:demo"}, "/snapshot.jpg?auth=digest"},
        {"HEAD", {"-X", "HEAD"}, "/snapshot.jpg"},
    };
    for (const PollCase& c : cases) {
        const int nBefore = CameraConnections();
        std::vector<std::string> args = {"-v", "--repeat", "4", "--interval", "50", "-o", "s.jpg"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(Url(c.target));
        const ProcessResult r = Run(args);
        EXPECT_EQ(r.nExit, kOk) << c.what << ": " << r.err;
        if (r.nExit != kOk) {
            continue;
        }
        EXPECT_NE(r.err.find("oxr-http: 4 requests over 1 connection\n"), std::string::npos)
            << c.what << ": " << r.err;
        EXPECT_EQ(CountOf(r.err, "oxr-http: connection: reused (1 made so far)\n"), 3u) << r.err;
        // the camera's own count: oxr-http's one, and the status request after it
        EXPECT_EQ(CameraConnections() - nBefore, 2) << c.what;
        EXPECT_GE(r.nMs, 150) << "three intervals of 50 ms";
        for (int i = 1; i <= 4; ++i) {
            const fs::path file = m_dir / ("s-000" + std::to_string(i) + ".jpg");
            if (c.args.size() == 2 && c.args[0] == "-X") {
                EXPECT_EQ(fs::file_size(file), 0u) << file;
            } else {
                EXPECT_TRUE(DecodeJpegFile(file.string()).bValid) << c.what << ": " << file;
            }
        }
        EXPECT_FALSE(fs::exists(m_dir / "s.jpg"));
    }
}

// The camera keeps the connection for 5 s: oxr-http must end at the last
// chunk, not at the close.
TEST_F(OxrHttp, ChunkedAnswerIsSavedAsItsBodyAtOnce) {
    const ProcessResult r = Run({"-o", "out.json", Url("/cgi-bin/info.json")});
    ASSERT_EQ(r.nExit, kOk) << r.err;
    EXPECT_LT(r.nMs, 2500);
    EXPECT_NE(r.err.find("ended: body complete (its last chunk came)\n"), std::string::npos)
        << r.err;
    KeptConnection conn(static_cast<uint16_t>(s_nPort));
    const RawResponse sent =
        conn.Exchange("GET /cgi-bin/info.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(sent.bOk);
    EXPECT_EQ(ReadFile(m_dir / "out.json"), sent.body);
}

TEST_F(OxrHttp, SeveralUrlsOneSessionEachAndRepeatedSavesNumbered) {
    BackgroundProcess other; // another device: its pictures are smaller
    ASSERT_TRUE(other.Start(OXR_DEMO_CAMERA_BIN,
                            {"--port", "0", "--run-time", "60", "--quiet", "--size", "160x120"},
                            5000));
    const std::string otherUrl =
        "http://127.0.0.1:" + std::to_string(PortFromBanner(other.FirstLine())) + "/snapshot.jpg";
    const ProcessResult r = Run({"-v", "-s", "--repeat", "2", "-o", "a.jpg", Url("/snapshot.jpg"),
                                 "-o", "s.txt", Url("/cgi-bin/status"), "-o", "b.jpg", otherUrl});
    ASSERT_EQ(r.nExit, kOk) << r.err;
    EXPECT_NE(r.err.find("oxr-http: 6 requests over 3 connections\n"), std::string::npos) << r.err;
    for (const char* n : {"0001", "0002"}) {
        EXPECT_EQ(DecodeJpegFile((m_dir / ("a-" + std::string(n) + ".jpg")).string()).nWidth, 320);
        EXPECT_EQ(ReadFile(m_dir / ("s-" + std::string(n) + ".txt")).rfind("model=", 0), 0u);
        EXPECT_EQ(DecodeJpegFile((m_dir / ("b-" + std::string(n) + ".jpg")).string()).nWidth, 160);
    }

    // The run stops at the first request that fails, with its exit code.
    const ProcessResult failed =
        Run({"-o", "c.jpg", Url("/snapshot.jpg"), Url("/status?code=404"), Url("/cgi-bin/status")});
    EXPECT_EQ(failed.nExit, kRefused) << failed.err;
    EXPECT_TRUE(DecodeJpegFile((m_dir / "c.jpg").string()).bValid);
    EXPECT_NE(failed.err.find("oxr-http: request 2 of 3: GET "), std::string::npos) << failed.err;
    EXPECT_EQ(failed.err.find("request 3 of 3"), std::string::npos) << failed.err;
}

} // namespace
