// oxr-http against the demo camera, as a user runs it: what it saves, what
// it prints, and the exit code of every kind of failure.
#include "jpeg_check.h"
#include "oxr_http_test.h"

namespace {

TEST_F(OxrHttp, SnapshotIsSavedAsAValidJpegAndItsHeadersAreShown) {
    const ProcessResult r = Run({"-o", "snap.jpg", Url("/snapshot.jpg")});
    ASSERT_EQ(r.nExit, kOk) << r.err;
    const std::string jpeg = ReadFile(m_dir / "snap.jpg");
    const JpegInfo info = DecodeJpeg(jpeg);
    EXPECT_TRUE(info.bValid) << info.error;
    EXPECT_EQ(info.nWidth, 320);
    EXPECT_NE(r.err.find("Content-Type: image/jpeg\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Content-Length: " + std::to_string(jpeg.size()) + "\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("ended: body complete"), std::string::npos) << r.err;
}

TEST_F(OxrHttp, SnapshotIntoAPartsDirectoryBecomesPartOne) {
    const ProcessResult r = Run({"--parts", "shots", Url("/snapshot.jpg")});
    ASSERT_EQ(r.nExit, kOk) << r.err;
    EXPECT_TRUE(DecodeJpegFile((m_dir / "shots" / "000001.jpg").string()).bValid);
    const std::vector<IndexLine> index = ReadIndex(m_dir / "shots");
    ASSERT_EQ(index.size(), 1u);
    EXPECT_EQ(index[0].nBytes, static_cast<long>(fs::file_size(m_dir / "shots" / "000001.jpg")));
    // polled, each snapshot is the next part
    const ProcessResult polled = Run({"--repeat", "3", "--parts", "polled", Url("/snapshot.jpg")});
    ASSERT_EQ(polled.nExit, kOk) << polled.err;
    const std::vector<IndexLine> three = ReadIndex(m_dir / "polled");
    ASSERT_EQ(three.size(), 3u);
    for (size_t i = 0; i < three.size(); ++i) {
        EXPECT_EQ(three[i].file, "00000" + std::to_string(i + 1) + ".jpg");
        EXPECT_TRUE(DecodeJpegFile((m_dir / "polled" / three[i].file).string()).bValid);
    }
}

TEST_F(OxrHttp, VideoPartsAreWrittenOnePerFileWithTheirSizes) {
    const ProcessResult r = Run({"--parts", "video", "--max-parts", "5", Url("/video.mjpg")});
    ASSERT_EQ(r.nExit, kOk) << r.err;
    const std::vector<IndexLine> index = ReadIndex(m_dir / "video");
    ASSERT_EQ(index.size(), 5u);
    for (size_t i = 0; i < index.size(); ++i) {
        const fs::path file = m_dir / "video" / index[i].file;
        EXPECT_EQ(index[i].nPart, static_cast<long>(i + 1));
        EXPECT_EQ(index[i].file, "00000" + std::to_string(i + 1) + ".jpg");
        EXPECT_EQ(index[i].type, "image/jpeg");
        EXPECT_EQ(static_cast<long>(fs::file_size(file)), index[i].nBytes);
        const JpegInfo info = DecodeJpegFile(file.string());
        EXPECT_TRUE(info.bValid) << file << ": " << info.error;
        EXPECT_NE(info.comment.find("frame=" + std::to_string(i + 1) + " "), std::string::npos)
            << "frames arrive whole and in order: " << info.comment;
    }
    EXPECT_FALSE(fs::exists(m_dir / "video" / "000006.jpg"));
    EXPECT_NE(r.err.find("received 5 parts (image/jpeg)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ended: 5 parts received"), std::string::npos) << r.err;
}

TEST_F(OxrHttp, DurationEndsAnEndlessStream) {
    const ProcessResult r = Run({"--parts", "video", "--duration", "1.5", Url("/video.mjpg")});
    ASSERT_EQ(r.nExit, kOk) << r.err;
    EXPECT_GE(ReadIndex(m_dir / "video").size(), 10u) << "25 frames/s for 1.5 s";
    EXPECT_LT(r.nMs, 10000);
    EXPECT_NE(r.err.find("ended: duration of 1.5 s reached"), std::string::npos) << r.err;
}

TEST_F(OxrHttp, EventPartsGetExtensionsFromTheirTypes) {
    const ProcessResult r =
        Run({"--parts", "events", "--max-parts", "6", Url("/events?interval=50&count=6")});
    ASSERT_EQ(r.nExit, kOk) << r.err;
    const std::vector<IndexLine> index = ReadIndex(m_dir / "events");
    ASSERT_EQ(index.size(), 6u) << r.err;
    for (size_t i = 0; i < index.size(); ++i) {
        const bool bJson = (i + 1) % 3 == 0;
        EXPECT_EQ(index[i].type, bJson ? "application/json" : "text/plain");
        EXPECT_EQ(index[i].file, "00000" + std::to_string(i + 1) + (bJson ? ".json" : ".txt"));
        const std::string text = ReadFile(m_dir / "events" / index[i].file);
        EXPECT_EQ(static_cast<long>(text.size()), index[i].nBytes);
        EXPECT_NE(text.find(bJson ? "\"seq\":" + std::to_string(i + 1)
                                  : "seq=" + std::to_string(i + 1) + " "),
                  std::string::npos)
            << text;
    }
}

TEST_F(OxrHttp, EventsWithoutPartsDirectoryGoToStandardOutput) {
    const ProcessResult r = Run({"--max-parts", "2", Url("/events?interval=50&count=2")});
    ASSERT_EQ(r.nExit, kOk) << r.err;
    EXPECT_NE(r.out.find("event=motion seq=1 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("event=input seq=2 "), std::string::npos) << r.out;
}

TEST_F(OxrHttp, AuthorizationOpensProtectedPaths) {
    const ProcessResult without = Run({Url("/cgi-bin/admin/reboot")});
    EXPECT_EQ(without.nExit, kRefused) << without.err;
    const ProcessResult wrong = Run({"-u", "admin:wrong", Url("/cgi-bin/admin/reboot")});
    EXPECT_EQ(wrong.nExit, kRefused) << wrong.err;
    const ProcessResult with = Run({"-u", "admin:demo", Url("/cgi-bin/admin/reboot")});
    EXPECT_EQ(with.nExit, kOk) << with.err;
    EXPECT_EQ(with.out, "OK reboot accepted (demo camera: nothing restarts)\n");
    const ProcessResult video =
        Run({"-u", "admin:demo", "--parts", "v", "--max-parts", "2", Url("/video.mjpg?auth=1")});
    EXPECT_EQ(video.nExit, kOk) << video.err;
    EXPECT_EQ(ReadIndex(m_dir / "v").size(), 2u);
    // a path that wants Digest: answered by the library, and -v says so
    const ProcessResult digest =
        Run({"-v", "-u", "admin:demo", "-o", "d.jpg", Url("/snapshot.jpg?auth=digest")});
    EXPECT_EQ(digest.nExit, kOk) << digest.err;
    EXPECT_NE(digest.err.find("oxr-http: authorization: Digest\n"), std::string::npos)
        << digest.err;
    EXPECT_TRUE(DecodeJpegFile((m_dir / "d.jpg").string()).bValid);
    const ProcessResult command =
        Run({"-u", "admin:demo", Url("/cgi-bin/admin/set?exposure=auto&auth=digest")});
    EXPECT_EQ(command.nExit, kOk) << command.err;
    EXPECT_EQ(command.out, "OK exposure=auto&auth=digest\n");
    const ProcessResult refused = Run({"-u", "admin:bad", Url("/snapshot.jpg?auth=digest")});
    EXPECT_EQ(refused.nExit, kRefused) << refused.err;
    // every challenge form the camera can send, checked by the camera's own
    // Digest code (auth-int hashes the body)
    for (const char* form :
         {"algorithm=MD5", "algorithm=SHA-256", "algorithm=MD5-sess", "algorithm=SHA-256-sess",
          "algorithm=none", "qop=none", "qop=auth-int", "userhash=1"}) {
        const ProcessResult r =
            Run({"-u", "admin:demo", "-d", "gain=2",
                 Url(std::string("/cgi-bin/admin/set?gain=2&auth=digest&") + form)});
        EXPECT_EQ(r.nExit, kOk) << form << ": " << r.err;
    }
}

// The camera over TLS with its self-signed certificate: refused as not
// trusted, taken with -k or with its own fingerprint pinned.
TEST_F(OxrHttp, HttpsWithASelfSignedCertificate) {
    BackgroundProcess camera;
    ASSERT_TRUE(camera.Start(OXR_DEMO_CAMERA_BIN,
                             {"--tls", "--port", "0", "--run-time", "60", "--quiet"}, 5000, 2));
    const int nPort = PortFromBanner(camera.Lines()[0]);
    ASSERT_GT(nPort, 0) << camera.Lines()[0];
    const std::string& fpLine = camera.Lines()[1];
    const std::string fp = fpLine.substr(fpLine.find("Fingerprint=") + 12);
    const std::string url = "https://127.0.0.1:" + std::to_string(nPort) + "/snapshot.jpg";
    const ProcessResult refused = Run({"-v", "-o", "a.jpg", url});
    EXPECT_EQ(refused.nExit, kConnect) << refused.err;
    EXPECT_NE(refused.err.find("TLS handshake failed, certificate not trusted"), std::string::npos)
        << refused.err;
    const ProcessResult insecure = Run({"-k", "-o", "b.jpg", url});
    EXPECT_EQ(insecure.nExit, kOk) << insecure.err;
    EXPECT_TRUE(DecodeJpegFile((m_dir / "b.jpg").string()).bValid);
    const ProcessResult pinned = Run({"--pin", fp, "-o", "c.jpg", url});
    EXPECT_EQ(pinned.nExit, kOk) << fp << ": " << pinned.err;
    EXPECT_TRUE(DecodeJpegFile((m_dir / "c.jpg").string()).bValid);
    // an old device's TLS allowed: a current one still speaks TLS 1.2 or 1.3
    const ProcessResult legacy = Run({"--tls-legacy", "-k", "-o", "l.jpg", url});
    EXPECT_EQ(legacy.nExit, kOk) << legacy.err;
    EXPECT_TRUE(DecodeJpegFile((m_dir / "l.jpg").string()).bValid);
    const ProcessResult wrongPin = Run({"--pin", std::string(64, 'a'), url});
    EXPECT_EQ(wrongPin.nExit, kConnect) << wrongPin.err;
    const ProcessResult polled = Run({"-k", "-v", "--repeat", "3", "-o", "r.jpg", url});
    EXPECT_EQ(polled.nExit, kOk) << polled.err;
    EXPECT_NE(polled.err.find("oxr-http: 3 requests over 1 connection\n"), std::string::npos)
        << polled.err;
    EXPECT_TRUE(DecodeJpegFile((m_dir / "r-0003.jpg").string()).bValid);
    const ProcessResult video = Run({"-k", "--parts", "v", "--max-parts", "3",
                                     "https://127.0.0.1:" + std::to_string(nPort) + "/video.mjpg"});
    EXPECT_EQ(video.nExit, kOk) << video.err;
    EXPECT_EQ(ReadIndex(m_dir / "v").size(), 3u);
}

TEST_F(OxrHttp, BodyHeadersAndMethodReachTheServer) {
    const ProcessResult post = Run({"-d", "hello", "-H", "X-Test: 42", Url("/cgi-bin/echo")});
    ASSERT_EQ(post.nExit, kOk) << post.err;
    EXPECT_NE(post.out.find("method=POST\n"), std::string::npos) << post.out;
    EXPECT_NE(post.out.find("header X-Test: 42\n"), std::string::npos) << post.out;
    EXPECT_NE(post.out.find("header Content-Length: 5\n"), std::string::npos) << post.out;
    EXPECT_NE(post.out.find("body=hello\n"), std::string::npos) << post.out;

    std::ofstream(m_dir / "body.bin", std::ios::binary) << "from a file";
    const ProcessResult put = Run({"-X", "PUT", "--data-file", "body.bin", Url("/cgi-bin/echo")});
    ASSERT_EQ(put.nExit, kOk) << put.err;
    EXPECT_NE(put.out.find("method=PUT\n"), std::string::npos) << put.out;
    EXPECT_NE(put.out.find("body_length=11\nbody=from a file\n"), std::string::npos) << put.out;
}

TEST_F(OxrHttp, HeadRequestEndsWithTheHead) {
    const ProcessResult r = Run({"-X", "HEAD", Url("/snapshot.jpg")});
    ASSERT_EQ(r.nExit, kOk) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("Content-Type: image/jpeg"), std::string::npos) << r.err;
    EXPECT_LT(r.nMs, 5000);
}

TEST_F(OxrHttp, ChosenHeadersAreShownAndMissingOnesSaidSo) {
    const ProcessResult r = Run({"-s", "--show-header", "Server", "--show-header", "X-Missing",
                                 "-o", "status.txt", Url("/cgi-bin/status")});
    ASSERT_EQ(r.nExit, kOk) << r.err;
    EXPECT_EQ(r.err, "Server: oxr-demo-camera\nX-Missing: (not in the response)\n");
    EXPECT_EQ(ReadFile(m_dir / "status.txt").rfind("model=oxr-demo-camera\n", 0), 0u);
}

TEST_F(OxrHttp, BadUrlIsNamed) {
    const ProcessResult r = Run({Url("/p?")});
    EXPECT_EQ(r.nExit, kBadUrl);
    EXPECT_NE(r.err.find("HTTP_ERR_BAD_URL (-8)"), std::string::npos) << r.err;
}

TEST_F(OxrHttp, RefusedConnectionIsNamed) {
    const int nPort = UnusedPort();
    ASSERT_GT(nPort, 0);
    const ProcessResult r =
        Run({"--connect-timeout", "2000", "http://127.0.0.1:" + std::to_string(nPort) + "/"});
    EXPECT_EQ(r.nExit, kConnect);
    EXPECT_NE(r.err.find("HTTP_ERR_CONNECT (-9)"), std::string::npos) << r.err;
}

TEST_F(OxrHttp, MissingResponseHeadIsATimeOut) {
    const ProcessResult r = Run({"--timeout", "300", Url("/slow?ms=5000")});
    EXPECT_EQ(r.nExit, kTimeout) << r.err;
    EXPECT_NE(r.err.find("time-out: no response head within 300 ms"), std::string::npos) << r.err;
    EXPECT_LT(r.nMs, 4000);
}

struct OutcomeRow {
    std::string path;
    int nExit;
    const char* said; // in the messages, or nullptr
};

// Each answer told apart by what the library reports, not by the time taken.
TEST_F(OxrHttp, RefusedStatusesAndMissingHeadsAreToldApart) {
    const OutcomeRow rows[] = {
        {"/status?code=404", kRefused, "refused: 404 Not Found\n"},
        {"/status?code=503", kRefused, "refused: 503 Service Unavailable\n"},
        {"/status?code=400", kRefused, "refused: 400 Bad Request\n"},
        {"/cgi-bin/admin/reboot", kRefused, "refused: 401 Unauthorized\n"},
        {"/cut", kNoHead, "the connection closed before a complete response head"},
        {"/status?code=200", kOk, nullptr},
        {"/status?code=302", kOk, nullptr},
    };
    for (const OutcomeRow& r : rows) {
        const ProcessResult p = Run({Url(r.path)});
        EXPECT_EQ(p.nExit, r.nExit) << r.path << ": " << p.err;
        if (r.said != nullptr) {
            EXPECT_NE(p.err.find(r.said), std::string::npos) << p.err;
        }
    }
}

TEST_F(OxrHttp, StreamThatEndsBeforeMaxPartsIsReported) {
    const ProcessResult r = Run({"--parts", "short", "--max-parts", "10", "--timeout", "1500",
                                 Url("/video.mjpg?frames=3")});
    EXPECT_EQ(r.nExit, kEarly) << r.err;
    EXPECT_EQ(ReadIndex(m_dir / "short").size(), 3u);
    EXPECT_NE(r.err.find("ended early (3 of 10 parts)"), std::string::npos) << r.err;
}

TEST_F(OxrHttp, VerboseShowsTheLibraryLog) {
    const ProcessResult r = Run({"-v", Url("/p?")});
    EXPECT_EQ(r.nExit, kBadUrl);
    EXPECT_NE(r.err.find("HTTP_LOG_DEBUG "), std::string::npos) << r.err;
    const ProcessResult quiet = Run({Url("/p?")});
    EXPECT_EQ(quiet.err.find("HTTP_LOG_DEBUG"), std::string::npos) << quiet.err;
}

TEST_F(OxrHttp, LocalFileErrorsHaveTheirOwnExitCode) {
    const ProcessResult out = Run({"-o", "no/such/dir/snap.jpg", Url("/snapshot.jpg")});
    EXPECT_EQ(out.nExit, kLocalIo);
    EXPECT_NE(out.err.find("cannot write no/such/dir/snap.jpg"), std::string::npos) << out.err;
    const ProcessResult in = Run({"--data-file", "missing.bin", Url("/cgi-bin/echo")});
    EXPECT_EQ(in.nExit, kLocalIo);
    EXPECT_NE(in.err.find("cannot read missing.bin"), std::string::npos) << in.err;
}

TEST_F(OxrHttp, BadCommandLineIsAUsageError) {
    const ProcessResult r = Run({"--max-parts", "zero", Url("/")});
    EXPECT_EQ(r.nExit, kUsage);
    EXPECT_NE(r.err.find("--max-parts"), std::string::npos) << r.err;
}

TEST_F(OxrHttp, TheGuidesExampleReceivesFrames) {
    const ProcessResult r =
        RunProcess(MJPEG_RECEIVER_BIN, {Url("/video.mjpg?auth=1"), "4", "admin:demo"}, kLimitMs,
                   m_dir.string());
    ASSERT_EQ(r.nExit, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("saved 4 of 4 frames"), std::string::npos) << r.out;
    for (int i = 1; i <= 4; ++i) {
        const JpegInfo info =
            DecodeJpegFile((m_dir / ("frame_000" + std::to_string(i) + ".jpg")).string());
        EXPECT_TRUE(info.bValid) << i << ": " << info.error;
    }
}

} // namespace
