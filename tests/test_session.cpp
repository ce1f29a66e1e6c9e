// A whole session under memory pressure: Open, AddHeader, SendRequest and a
// multipart stream with the 1st, 2nd, ... allocation failing in turn, until
// a run sees none fail. Every failure is reported as documented, nothing is
// left behind (LeakSanitizer in the asan build), and the next session works.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "fail_alloc.h"
#include "http_errno.h"
#include "log_records.h"
#include "oxr.h"
#include "oxr_http.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

int OXR_HTTP_CALLBACK Count(int, void* pUser, OXR_HTTP_DATA*) {
    ++*static_cast<std::atomic<int>*>(pUser);
    return 0;
}

struct Outcome {
    int nStep = 0;  // 0 all went through; 1 Open, 2 AddHeader, 3 SendRequest failed
    int nErrNo = 0; // the last error number afterwards
    int nParts = 0; // parts delivered
    int nEnd = 0;   // why the stream ended
    bool bRecord = false;
};

const int kParts = 3;

// One session against a device that answers with kParts parts, the second
// larger than the part buffer (it gets a block of its own).
Outcome OneSession(const std::string& url) {
    Outcome o;
    std::atomic<int> nParts{0};
    std::vector<std::string> records = LoggedBy([&] {
        int h =
            OXR_HTTP_OpenEx(url.c_str(), HTTP_METHOD_GET, "admin:demo", 0, 2000, Count, &nParts);
        if (h < 0) {
            o.nStep = 1;
            return;
        }
        if (OXR_HTTP_AddHeader(h, "X-Camera", "front door") != 0) {
            o.nStep = 2;
        } else if (OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000) != 0) {
            o.nStep = 3;
        } else {
            for (int i = 0; i < 400; ++i) {
                if (OXR_HTTP_GetStreamState(h, &o.nEnd, nullptr) == HTTP_STREAM_ENDED) {
                    break;
                }
                OXR_Sleep(5);
            }
        }
        OXR_HTTP_Close(h);
    });
    o.nErrNo = OXR_HTTP_GetErrNo(-1);
    o.nParts = nParts.load();
    o.bRecord = !records.empty();
    return o;
}

TEST(SessionMemory, EveryAllocationFailingInTurn) {
    std::vector<TestPart> parts(kParts);
    parts[0].body = "first";
    parts[1].body = BinaryBytes(40000, 3);
    parts[2].body = "third";
    const std::string answer = ResponseHead(MultipartType("fr")) + MultipartBody("fr", parts, true);
    const int kRuns = 200;
    CTestServer srv;
    for (int i = 0; i < kRuns + 1; ++i) {
        srv.Add(CTestScript().WaitRequest(2000).Send(answer));
    }
    ASSERT_TRUE(srv.Start(60000));
    const std::string url = srv.Url("/video.mjpg");
    int nFailed = 0;
    bool bClean = false;
    for (int n = 0; n < kRuns && !bClean; ++n) {
        SetLastErrNo(0);
        FailNothrowNewAfter(n);
        const Outcome o = OneSession(url);
        // The failure has happened once the count passed n.
        bClean = CountNothrowNew() <= n;
        ResetNothrowNew();
        if (bClean) {
            EXPECT_EQ(o.nStep, 0) << n;
            EXPECT_EQ(o.nParts, kParts) << n;
            break;
        }
        ++nFailed;
        if (o.nStep != 0) {
            // A refused call says so: -2 for a header record or the parse,
            // or its own record with the error number left alone.
            EXPECT_TRUE(o.bRecord) << "allocation " << n << " failed step " << o.nStep;
            EXPECT_TRUE(o.nErrNo == HTTP_ERR_NO_MEMORY || o.nErrNo == 0 ||
                        o.nErrNo == HTTP_ERR_NO_SESSION)
                << n << ": " << o.nErrNo;
        } else {
            // A part without its block ends the stream; the others came.
            EXPECT_LE(o.nParts, kParts) << n;
            if (o.nParts < kParts) {
                EXPECT_EQ(o.nEnd, HTTP_END_NO_MEMORY) << n;
            }
        }
    }
    EXPECT_TRUE(bClean) << "every run saw a failure";
    std::printf("%d allocations failed in turn before a run saw none fail\n", nFailed);
    EXPECT_GT(nFailed, 5);
    // After all of it, a session works as ever.
    const Outcome o = OneSession(url);
    EXPECT_EQ(o.nStep, 0);
    EXPECT_EQ(o.nParts, kParts);
}

} // namespace
