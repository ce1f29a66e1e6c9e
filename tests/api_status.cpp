// What an application learns besides the data: the response status, and
// whether and why its stream ended, through the public interface.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "oxr.h"
#include "oxr_http.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

struct Calls {
    std::mutex mutex;
    std::vector<std::string> types; // of each delivery; the end record's "end:..."
    std::vector<bool> bNoData;
    std::atomic<int> nCalls{0};
};

int OXR_HTTP_CALLBACK Record(int, void* pUser, OXR_HTTP_DATA* pData) {
    Calls* c = static_cast<Calls*>(pUser);
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        c->types.emplace_back(pData->szContentType);
        c->bNoData.push_back(pData->pData == nullptr && pData->nDataLen == 0);
    }
    ++c->nCalls;
    return 0;
}

std::vector<TestPart> Frames(int n) {
    std::vector<TestPart> parts(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        parts[static_cast<size_t>(i)].body = "frame " + std::to_string(i);
    }
    return parts;
}

int WaitEnded(int h, int* pnReason, int nTimeOutMs) {
    int nState = -1;
    for (int i = 0; i < nTimeOutMs / 5; ++i) {
        nState = OXR_HTTP_GetStreamState(h, pnReason, nullptr);
        if (nState == HTTP_STREAM_ENDED) {
            break;
        }
        OXR_Sleep(5);
    }
    return nState;
}

struct EndRow {
    const char* name;
    std::string head;
    std::string stream;
    bool bHold;        // the device keeps the connection open afterwards
    int nReason;       // HTTP_END_*
    size_t nDelivered; // data deliveries before the end record
};

// Each end reason once; the end record comes exactly once, last.
TEST(ApiStatus, EveryEndReasonIsReportedAndRecorded) {
    const std::string multi = ResponseHead(MultipartType("fr"));
    const EndRow rows[] = {
        {"raw, device closes", ResponseHead("text/plain"), "abc", false, HTTP_END_PEER_CLOSED, 1},
        {"multipart, device closes", multi, MultipartBody("fr", Frames(2)), false,
         HTTP_END_PEER_CLOSED, 2},
        {"closing delimiter, then close", multi, MultipartBody("fr", Frames(2), true), false,
         HTTP_END_CLOSING_DELIMITER, 2},
        {"closing delimiter, then quiet", multi, MultipartBody("fr", Frames(1), true), true,
         HTTP_END_CLOSING_DELIMITER, 1},
        {"no data for the stream time-out", multi, MultipartBody("fr", Frames(1)), true,
         HTTP_END_TIMEOUT, 1},
        {"bad chunk", ResponseHead(MultipartType("fr"), "Transfer-Encoding: chunked\r\n"),
         Chunked(MultipartBody("fr", Frames(1)), {}, false) + "zz\r\n", true, HTTP_END_FRAMING, 1},
        {"part head too large", multi, "--fr\r\nX: " + std::string(20000, 'p'), true,
         HTTP_END_FRAMING, 0},
    };
    const char* const kTexts[] = {
        "",           "end:peer-closed", "end:closing-delimiter", "end:time-out", "end:framing",
        "end:stopped"};
    for (const EndRow& r : rows) {
        CTestServer srv;
        CTestScript script;
        script.WaitRequest().Send(r.head + r.stream);
        if (r.bHold) {
            script.WaitPeerClose(5000);
        }
        srv.Add(script);
        ASSERT_TRUE(srv.Start());
        Calls calls;
        int h = OXR_HTTP_OpenEx(srv.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000, Record,
                                &calls);
        ASSERT_GE(h, 0);
        EXPECT_EQ(OXR_HTTP_GetStreamState(h, nullptr, nullptr), HTTP_STREAM_NONE);
        EXPECT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_END_RECORD, 1, nullptr), 0);
        EXPECT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_STREAM_TIMEOUT, 300, nullptr), 0);
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0) << r.name;
        int nReason = -1;
        EXPECT_EQ(WaitEnded(h, &nReason, 3000), HTTP_STREAM_ENDED) << r.name;
        EXPECT_EQ(nReason, r.nReason) << r.name;
        int nDeliveries = -1;
        OXR_HTTP_GetStreamState(h, nullptr, &nDeliveries);
        EXPECT_EQ(nDeliveries, static_cast<int>(r.nDelivered)) << r.name;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        std::lock_guard<std::mutex> lock(calls.mutex);
        ASSERT_EQ(calls.types.size(), r.nDelivered + 1) << r.name;
        for (size_t i = 0; i < r.nDelivered; ++i) {
            EXPECT_FALSE(calls.bNoData[i]) << r.name;
        }
        EXPECT_TRUE(calls.bNoData.back()) << r.name;
        EXPECT_EQ(calls.types.back(), kTexts[r.nReason]) << r.name;
    }
}

// Stopped by Close: the end record arrives before Close returns; without
// the option no such record is ever delivered.
TEST(ApiStatus, StoppedByCloseAndNoRecordWithoutTheOption) {
    for (int bRecord = 0; bRecord < 2; ++bRecord) {
        CTestServer srv;
        srv.Add(CTestScript()
                    .WaitRequest()
                    .Send(ResponseHead(MultipartType("fr")) + MultipartBody("fr", Frames(1)))
                    .WaitPeerClose(5000));
        ASSERT_TRUE(srv.Start());
        Calls calls;
        int h = OXR_HTTP_OpenEx(srv.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000, Record,
                                &calls);
        ASSERT_GE(h, 0);
        EXPECT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_END_RECORD, bRecord, nullptr), 0);
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_END_RECORD), bRecord);
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
        for (int i = 0; i < 400 && calls.nCalls < 1; ++i) {
            OXR_Sleep(5);
        }
        EXPECT_EQ(OXR_HTTP_GetStreamState(h, nullptr, nullptr), HTTP_STREAM_RUNNING);
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        std::lock_guard<std::mutex> lock(calls.mutex);
        ASSERT_EQ(calls.types.size(), bRecord != 0 ? 2u : 1u);
        EXPECT_FALSE(calls.bNoData[0]);
        if (bRecord != 0) {
            EXPECT_EQ(calls.types[1], "end:stopped");
        }
    }
}

struct StatusRow {
    const char* name;
    std::string answer; // what the device sends (then it closes)
    int nSend;          // SendRequest's result
    int nStatus;
    const char* reason;
    int nNoHeadReason; // stream state reason after a failed request
    int nErrNo;        // the error number the request left, 0 for none
};

TEST(ApiStatus, StatusOfTheLastHead) {
    const StatusRow rows[] = {
        {"accepted", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 0, 200, "OK", 0, 0},
        {"refused", "HTTP/1.1 404 Not Found\r\n\r\n", -1, 404, "Not Found", HTTP_END_NONE, 0},
        {"closed before a complete head", "HTTP/1.1 200 OK\r\nX: 1\r\n", -1, 0, "",
         HTTP_END_PEER_CLOSED, 0},
        // a status is exactly three digits
        {"signed status", "HTTP/1.1 -1 X\r\n\r\n", -1, 0, "", HTTP_END_NONE, HTTP_ERR_STATUS},
        {"status with letters", "HTTP/1.1 2AB X\r\n\r\n", -1, 0, "", HTTP_END_NONE,
         HTTP_ERR_STATUS},
    };
    for (const StatusRow& r : rows) {
        CTestServer srv;
        srv.Add(CTestScript().WaitRequest().Send(r.answer));
        ASSERT_TRUE(srv.Start());
        int h = OXR_HTTP_Open(srv.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000);
        ASSERT_GE(h, 0);
        EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 0) << r.name; // nothing received yet
        const int nErrNoBefore = OXR_HTTP_GetErrNo(-1);
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), r.nSend) << r.name;
        EXPECT_EQ(OXR_HTTP_GetErrNo(-1), r.nErrNo != 0 ? r.nErrNo : nErrNoBefore) << r.name;
        char szReason[4];
        EXPECT_EQ(OXR_HTTP_GetStatus(h, szReason, sizeof(szReason)), r.nStatus) << r.name;
        EXPECT_EQ(std::string(szReason), std::string(r.reason).substr(0, 3)) << r.name;
        int nReason = -1;
        EXPECT_EQ(OXR_HTTP_GetStreamState(h, &nReason, nullptr), HTTP_STREAM_NONE) << r.name;
        EXPECT_EQ(nReason, r.nNoHeadReason) << r.name;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
    }
    // a head, or a TLS handshake, that never comes: why, as for a cut head
    const struct {
        const char* name;
        const char* scheme;
        CTestScript script;
        int nReason;
    } noHead[] = {
        {"head never comes", "http://", CTestScript().WaitRequest().WaitPeerClose(3000),
         HTTP_END_TIMEOUT},
        {"handshake never answered", "https://", CTestScript().WaitPeerClose(3000),
         HTTP_END_TIMEOUT},
        {"device hangs up in the handshake", "https://", CTestScript().Pause(50),
         HTTP_END_PEER_CLOSED},
    };
    for (const auto& r : noHead) {
        CTestServer srv;
        srv.Add(r.script);
        ASSERT_TRUE(srv.Start());
        const std::string url =
            std::string(r.scheme) + srv.UrlHost() + ":" + std::to_string(srv.Port()) + "/";
        int h = OXR_HTTP_Open(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 2000);
        ASSERT_GE(h, 0);
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 200), -1) << r.name;
        int nReason = -1;
        EXPECT_EQ(OXR_HTTP_GetStreamState(h, &nReason, nullptr), HTTP_STREAM_NONE) << r.name;
        EXPECT_EQ(nReason, r.nReason) << r.name;
        EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 0) << r.name;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
    }
    // unknown handles and options
    EXPECT_EQ(OXR_HTTP_GetStatus(1000, nullptr, 0), -1);
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_NO_SESSION);
    EXPECT_EQ(OXR_HTTP_GetStreamState(-5, nullptr, nullptr), -1);
    EXPECT_EQ(OXR_HTTP_SetOption(1000, HTTP_OPT_END_RECORD, 1, nullptr), -1);
}

// Another thread reads the state while parts flow.
TEST(ApiStatus, StateIsReadableFromAnotherThreadWhileItRuns) {
    std::vector<TestPart> parts(200);
    for (size_t i = 0; i < parts.size(); ++i) {
        parts[i].body = BinaryBytes(500 + i, static_cast<unsigned>(i));
    }
    CTestServer srv;
    srv.Add(CTestScript()
                .WaitRequest()
                .Send(ResponseHead(MultipartType("fr")))
                .SendPieces(MultipartBody("fr", parts, true), 4000, 1));
    ASSERT_TRUE(srv.Start());
    Calls calls;
    int h =
        OXR_HTTP_OpenEx(srv.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000, Record, &calls);
    ASSERT_GE(h, 0);
    std::atomic<bool> bDone{false};
    std::atomic<int> nBackwards{0};
    std::thread poller([&] {
        int nLast = 0;
        for (int i = 0; i < 20000 && !bDone; ++i) {
            int n = 0;
            OXR_HTTP_GetStreamState(h, nullptr, &n);
            nBackwards += n < nLast ? 1 : 0;
            nLast = n;
        }
    });
    ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    int nReason = 0;
    EXPECT_EQ(WaitEnded(h, &nReason, 5000), HTTP_STREAM_ENDED);
    bDone = true;
    poller.join();
    int nDeliveries = 0;
    OXR_HTTP_GetStreamState(h, nullptr, &nDeliveries);
    EXPECT_EQ(nDeliveries, 200);
    EXPECT_EQ(nReason, HTTP_END_CLOSING_DELIMITER);
    EXPECT_EQ(nBackwards.load(), 0);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
}

} // namespace
