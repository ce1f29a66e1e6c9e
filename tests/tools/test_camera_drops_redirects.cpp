// The demo camera's paths for testing a client's recovery and redirects:
// video streams it cuts mid-frame and continues on the next request, and
// redirects with the Location a test asks for.
#include <gtest/gtest.h>

#include "in_process_camera.h"
#include "jpeg_check.h"
#include "raw_http.h"

namespace {

struct DropRow {
    int nFirstFrame; // of this connection
    size_t nWhole;   // whole frames on it
    bool bCut;       // ends in a cut frame, else with the closing delimiter
};

TEST(DemoCameraDrops, EachConnectionIsCutMidFrameAndTheNextGoesOnFromThatFrame) {
    InProcessCamera camera;
    ASSERT_TRUE(camera.Listening()) << camera.Error();
    // Eight frames, cut after every third twice; then the stream is done and
    // the same request starts afresh.
    const DropRow rows[] = {{1, 3, true}, {4, 3, true}, {7, 2, false}, {1, 3, true}};
    for (const DropRow& row : rows) {
        const RawResponse r = RawGet(camera.Port(), "/video.mjpg?drop=3&drops=2&frames=8&fps=50");
        ASSERT_EQ(r.nStatus, 200);
        const std::vector<RawPart> parts = SplitMultipart(r.body, "oxrframe");
        ASSERT_EQ(parts.size(), row.nWhole) << "from frame " << row.nFirstFrame;
        for (size_t i = 0; i < parts.size(); ++i) {
            const JpegInfo info = DecodeJpeg(parts[i].body);
            EXPECT_TRUE(info.bValid) << info.error;
            EXPECT_NE(info.comment.find("frame=" + std::to_string(row.nFirstFrame + i) + " "),
                      std::string::npos)
                << info.comment;
        }
        // a cut frame has its part head and some of its bytes, no closing delimiter
        EXPECT_EQ(CountOf(r.body, "--oxrframe\r\n"), row.nWhole + (row.bCut ? 1 : 0));
        EXPECT_EQ(r.body.find("--oxrframe--") != std::string::npos, !row.bCut);
    }
}

struct RedirectRow {
    const char* target;
    int nStatus;
    const char* location;
};

TEST(DemoCameraRedirects, AnswerWithTheAskedStatusAndLocation) {
    InProcessCamera camera;
    ASSERT_TRUE(camera.Listening()) << camera.Error();
    const RedirectRow rows[] = {
        {"/redirect", 302, "/snapshot.jpg"},
        {"/redirect?code=301&to=/cgi-bin/status", 301, "/cgi-bin/status"},
        {"/redirect?code=307&hops=3&to=/video.mjpg?frames=2&code=404", 307,
         "/redirect?code=307&hops=2&to=/video.mjpg?frames=2&code=404"},
        {"/redirect?hops=1&to=http://127.0.0.1:1/x?a=1&b=2", 302, "http://127.0.0.1:1/x?a=1&b=2"},
        {"/redirect?code=304", 302, "/snapshot.jpg"},
    };
    for (const RedirectRow& row : rows) {
        const RawResponse r = RawGet(camera.Port(), row.target);
        EXPECT_EQ(r.nStatus, row.nStatus) << row.target;
        EXPECT_EQ(r.Header("Location"), row.location) << row.target;
        EXPECT_EQ(r.body, std::string("redirect to ") + row.location + "\n");
    }
}

} // namespace
