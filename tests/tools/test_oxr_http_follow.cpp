// oxr-http's --reconnect against the demo camera's streams that it cuts on
// purpose (every frame once, whole, in order; the drops in the summary), and
// -L with --max-redirs against its redirects.
#include "jpeg_check.h"
#include "oxr_http_test.h"

namespace {

struct ReconnectCase {
    const char* what;
    std::vector<std::string> args; // before the URL
    std::string target;            // each its own: the camera goes on per target
    size_t nMinParts;
    size_t nMaxParts;
    const char* said; // in the summary
};

TEST_F(OxrHttp, ReconnectKeepsEveryFrameOnceWholeAndInOrder) {
    const ReconnectCase cases[] = {
        {"two drops, then the stream's end",
         {},
         "/video.mjpg?drop=3&drops=2&frames=9",
         9,
         9,
         "reconnects: 2 (peer-closed 2)\nended: stream ended: the multipart body's closing "
         "delimiter\n"},
        {"--max-parts across drops",
         {"--max-parts", "7"},
         "/video.mjpg?drop=3",
         7,
         7,
         "reconnects: 2 (peer-closed 2)\nended: 7 parts received\n"},
        {"--duration across drops",
         {"--duration", "1.5"},
         "/video.mjpg?drop=4",
         8,
         38,
         "ended: duration of 1.5 s reached\n"},
    };
    for (const ReconnectCase& c : cases) {
        fs::remove_all(m_dir / "v");
        std::vector<std::string> args = {"--reconnect", "1000", "--parts", "v"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(Url(c.target));
        const ProcessResult r = Run(args);
        EXPECT_EQ(r.nExit, kOk) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find("reconnects: "), std::string::npos) << c.what << ": " << r.err;
        const std::vector<IndexLine> index = ReadIndex(m_dir / "v");
        EXPECT_GE(index.size(), c.nMinParts) << c.what;
        EXPECT_LE(index.size(), c.nMaxParts) << c.what;
        for (size_t i = 0; i < index.size(); ++i) {
            const JpegInfo info = DecodeJpegFile((m_dir / "v" / index[i].file).string());
            EXPECT_TRUE(info.bValid) << c.what << ", " << index[i].file << ": " << info.error;
            EXPECT_NE(info.comment.find("frame=" + std::to_string(i + 1) + " "), std::string::npos)
                << c.what << ": part " << i + 1 << " is " << info.comment;
        }
    }
}

struct RedirectCase {
    std::vector<std::string> args; // before the URL
    std::string target;
    const char* body; // what the saved answer begins with; nullptr: a JPEG picture
    const char* said; // on standard error, or nullptr
};

// A 3xx that is not followed is an answer like any other: exit code 0, its
// body saved, its Location named.
TEST_F(OxrHttp, RedirectsAreFollowedWithLUpToMaxRedirs) {
    const RedirectCase cases[] = {
        {{"-L"}, "/redirect?hops=3&to=/snapshot.jpg", nullptr, nullptr},
        {{"-L", "-v"},
         "/redirect?code=303&to=/cgi-bin/status",
         "model=oxr-demo-camera\n",
         "oxr-http: redirect 1: 303 /cgi-bin/status\noxr-http: status: 200 OK\n"},
        {{"-L", "--max-redirs", "2"},
         "/redirect?hops=3&to=/snapshot.jpg",
         "redirect to /snapshot.jpg\n",
         "redirect not followed: 302 Found, Location: /snapshot.jpg (-L follows at most "
         "--max-redirs 2,"},
        {{"--max-redirs", "5"},
         "/redirect?to=/snapshot.jpg",
         "redirect to /snapshot.jpg\n",
         "redirect not followed: 302 Found, Location: /snapshot.jpg (-L follows redirects)\n"},
    };
    for (const RedirectCase& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "out", Url(c.target)});
        const ProcessResult r = Run(args);
        EXPECT_EQ(r.nExit, kOk) << c.target << ": " << r.err;
        const std::string saved = ReadFile(m_dir / "out");
        if (c.body == nullptr) {
            EXPECT_TRUE(DecodeJpeg(saved).bValid) << c.target;
            EXPECT_EQ(r.err.find("redirect not followed"), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(saved.rfind(c.body, 0), 0u) << c.target << ": " << saved;
        }
        if (c.said != nullptr) {
            EXPECT_NE(r.err.find(c.said), std::string::npos) << c.target << ": " << r.err;
        }
    }
    // the answer at the end of the chain decides: a stream is saved as parts
    const ProcessResult video = Run({"-L", "--parts", "v", "--max-parts", "3",
                                     Url("/redirect?code=307&hops=2&to=/video.mjpg")});
    EXPECT_EQ(video.nExit, kOk) << video.err;
    EXPECT_EQ(ReadIndex(m_dir / "v").size(), 3u);
}

} // namespace
