// Streams that come back by themselves (HTTP_OPT_RECONNECT), and raw streams
// bounded by the stream time-out, through the public interface.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "oxr.h"
#include "oxr_http.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

struct Got {
    std::mutex mutex;
    std::vector<std::string> parts;   // data deliveries
    std::vector<std::string> records; // types of the deliveries without data
    std::atomic<int> nAfterClose{0};  // deliveries once Close had returned
    std::atomic<int> bClosed{0};
};

int OXR_HTTP_CALLBACK Keep(int, void* pUser, OXR_HTTP_DATA* pData) {
    Got* g = static_cast<Got*>(pUser);
    if (g->bClosed.load() != 0) {
        ++g->nAfterClose;
    }
    std::lock_guard<std::mutex> lock(g->mutex);
    if (pData->pData == nullptr) {
        g->records.emplace_back(pData->szContentType);
    } else {
        g->parts.emplace_back(pData->pData, static_cast<size_t>(pData->nDataLen));
    }
    return 0;
}

TestPart Frame(int n) {
    TestPart p;
    p.body = "frame " + std::to_string(n) + " " + std::string(static_cast<size_t>(300 + n), 'f');
    return p;
}

// Frames [nFirst, nEnd) whole, then the head and half the body of frame nEnd.
std::string FramesThenACut(int nFirst, int nEnd) {
    std::vector<TestPart> parts;
    for (int i = nFirst; i < nEnd; ++i) {
        parts.push_back(Frame(i));
    }
    const std::string cut = PartBytes("fr", Frame(nEnd));
    return MultipartBody("fr", parts) + cut.substr(0, cut.size() - 200);
}

const std::string kStreamHead = ResponseHead(MultipartType("fr"));

int WaitState(int h, int nState, int* pnReason, int nTimeOutMs) {
    int nNow = -1;
    for (int i = 0; i < nTimeOutMs / 5; ++i) {
        nNow = OXR_HTTP_GetStreamState(h, pnReason, nullptr);
        if (nNow == nState) {
            break;
        }
        OXR_Sleep(5);
    }
    return nNow;
}

int OpenStream(CTestServer& srv, Got* pGot, int nReconnectMs) {
    int h = OXR_HTTP_OpenEx(srv.Url("/video.mjpg").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000, Keep,
                            pGot);
    if (h < 0 || OXR_HTTP_SetOption(h, HTTP_OPT_RECONNECT, nReconnectMs, nullptr) != 0 ||
        OXR_HTTP_SetOption(h, HTTP_OPT_END_RECORD, 1, nullptr) != 0 ||
        OXR_HTTP_SetOption(h, HTTP_OPT_STREAM_TIMEOUT, 500, nullptr) != 0) {
        return -1;
    }
    return h;
}

// Dropped inside a part four times, then ended by its closing delimiter:
// every whole part once, in order; the cut ones never; a record per drop.
TEST(ApiReconnect, AStreamDroppedFourTimesDeliversEveryWholePartOnce) {
    for (int bKeepAlive = 0; bKeepAlive < 2; ++bKeepAlive) {
        CTestServer srv;
        for (int i = 0; i < 4; ++i) {
            srv.Add(
                CTestScript().WaitRequest().Send(kStreamHead + FramesThenACut(2 * i, 2 * i + 2)));
        }
        srv.Add(CTestScript()
                    .WaitRequest()
                    .Send(kStreamHead + MultipartBody("fr", {Frame(8), Frame(9)}, true))
                    .WaitPeerClose(3000));
        ASSERT_TRUE(srv.Start());
        Got got;
        int h = OpenStream(srv, &got, 100);
        ASSERT_GE(h, 0);
        ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, bKeepAlive, nullptr), 0);
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
        int nReason = -1;
        EXPECT_EQ(WaitState(h, HTTP_STREAM_ENDED, &nReason, 8000), HTTP_STREAM_ENDED);
        EXPECT_EQ(nReason, HTTP_END_CLOSING_DELIMITER);
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_RECONNECT_COUNT), 4);
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        std::vector<std::string> expected;
        for (int i = 0; i < 10; ++i) {
            expected.push_back(Frame(i).body);
        }
        EXPECT_TRUE(got.parts == expected) << got.parts.size() << " parts";
        EXPECT_EQ(got.records,
                  (std::vector<std::string>{"reconnect:peer-closed", "reconnect:peer-closed",
                                            "reconnect:peer-closed", "reconnect:peer-closed",
                                            "end:closing-delimiter"}));
        EXPECT_EQ(srv.Accepted(), 5);
    }
}

struct RefuseRow {
    const char* name;
    CTestScript refusal; // what each of three attempts after the drop gets
};

// A device that does not take the stream back at once: the attempts fail,
// the state says so, and the stream comes back when the device does.
TEST(ApiReconnect, FailedAttemptsAreRepeatedUntilTheDeviceAnswers) {
    const RefuseRow rows[] = {
        {"closes at once", CTestScript().Pause(10)},
        {"refuses with 503", CTestScript().WaitRequest().Send(
                                 "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n")},
        {"sends no head", CTestScript().WaitRequest().WaitPeerClose(3000)},
    };
    for (const RefuseRow& r : rows) {
        CTestServer srv;
        srv.Add(CTestScript().WaitRequest().Send(kStreamHead + FramesThenACut(0, 1)));
        for (int i = 0; i < 3; ++i) {
            srv.Add(r.refusal);
        }
        srv.Add(CTestScript()
                    .WaitRequest()
                    .Send(kStreamHead + MultipartBody("fr", {Frame(1)}, true))
                    .WaitPeerClose(3000));
        ASSERT_TRUE(srv.Start());
        Got got;
        int h = OpenStream(srv, &got, 400);
        ASSERT_GE(h, 0);
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0) << r.name;
        int nReason = -1;
        EXPECT_EQ(WaitState(h, HTTP_STREAM_RECONNECTING, &nReason, 3000), HTTP_STREAM_RECONNECTING)
            << r.name;
        EXPECT_EQ(nReason, HTTP_END_PEER_CLOSED) << r.name;
        EXPECT_EQ(WaitState(h, HTTP_STREAM_ENDED, &nReason, 10000), HTTP_STREAM_ENDED) << r.name;
        EXPECT_EQ(nReason, HTTP_END_CLOSING_DELIMITER) << r.name;
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_RECONNECT_COUNT), 1) << r.name;
        EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 200) << r.name; // the newest head's
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        EXPECT_TRUE(got.parts == (std::vector<std::string>{Frame(0).body, Frame(1).body}))
            << r.name;
        EXPECT_EQ(srv.Accepted(), 5) << r.name;
    }
}

struct CloseRow {
    const char* name;
    int nReconnectMs;
    CTestScript after; // what the attempt after the drop meets
};

// Close while the stream waits to be made again returns at once, and
// nothing is delivered after it.
TEST(ApiReconnect, CloseIsPromptInEveryReconnectState) {
    const CloseRow rows[] = {
        {"pausing", 60000, CTestScript().WaitRequest()},
        {"waiting for the head", 50, CTestScript().WaitRequest().WaitPeerClose(5000)},
    };
    for (const CloseRow& r : rows) {
        CTestServer srv;
        srv.Add(CTestScript().WaitRequest().Send(kStreamHead + FramesThenACut(0, 1)));
        srv.Add(r.after);
        ASSERT_TRUE(srv.Start());
        Got got;
        int h = OpenStream(srv, &got, r.nReconnectMs);
        ASSERT_GE(h, 0);
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0) << r.name;
        EXPECT_EQ(WaitState(h, HTTP_STREAM_RECONNECTING, nullptr, 3000), HTTP_STREAM_RECONNECTING)
            << r.name;
        OXR_Sleep(300); // into the pause, or the wait for a head
        const int64_t t0 = OXR_TickMs();
        EXPECT_EQ(OXR_HTTP_Close(h), 0) << r.name;
        got.bClosed = 1;
        EXPECT_LT(OXR_TickMs() - t0, 500) << r.name;
        OXR_Sleep(100);
        EXPECT_EQ(got.nAfterClose.load(), 0) << r.name;
        std::lock_guard<std::mutex> lock(got.mutex);
        ASSERT_FALSE(got.records.empty());
        EXPECT_EQ(got.records.back(), "end:stopped") << r.name;
    }
}

// A raw body with a length is a document: its end, or its cut, is not a
// drop to answer; a raw body without one is a stream and is made again.
TEST(ApiReconnect, RawDocumentsAreNotMadeAgainRawStreamsAre) {
    const struct {
        const char* name;
        std::string first;
        int nReconnects;
    } rows[] = {
        {"document, whole", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", 0},
        {"document, cut", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc", 0},
        {"stream", "HTTP/1.1 200 OK\r\nContent-Type: audio/basic\r\n\r\nabc", 1},
    };
    for (const auto& r : rows) {
        CTestServer srv;
        srv.Add(CTestScript().WaitRequest().Send(r.first));
        srv.Add(CTestScript()
                    .WaitRequest()
                    .Send("HTTP/1.1 200 OK\r\nContent-Type: audio/basic\r\n\r\ndef")
                    .WaitPeerClose(3000));
        ASSERT_TRUE(srv.Start());
        Got got;
        int h = OpenStream(srv, &got, 50);
        ASSERT_GE(h, 0);
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0) << r.name;
        if (r.nReconnects == 0) {
            EXPECT_EQ(WaitState(h, HTTP_STREAM_ENDED, nullptr, 3000), HTTP_STREAM_ENDED) << r.name;
        } else {
            for (int i = 0; i < 600 && OXR_HTTP_GetOption(h, HTTP_OPT_RECONNECT_COUNT) == 0; ++i) {
                OXR_Sleep(5);
            }
            OXR_Sleep(200);
        }
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_RECONNECT_COUNT), r.nReconnects) << r.name;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        EXPECT_EQ(srv.Accepted(), 1 + r.nReconnects) << r.name;
    }
}

// Without the option a dropped stream stays ended, as it always has.
TEST(ApiReconnect, WithoutTheOptionADroppedStreamStaysEnded) {
    CTestServer srv;
    srv.Add(CTestScript().WaitRequest().Send(kStreamHead + FramesThenACut(0, 1)));
    srv.Add(CTestScript().WaitRequest().Send(kStreamHead).WaitPeerClose(3000));
    ASSERT_TRUE(srv.Start());
    Got got;
    int h = OpenStream(srv, &got, 0);
    ASSERT_GE(h, 0);
    ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    int nReason = -1;
    EXPECT_EQ(WaitState(h, HTTP_STREAM_ENDED, &nReason, 3000), HTTP_STREAM_ENDED);
    EXPECT_EQ(nReason, HTTP_END_PEER_CLOSED);
    OXR_Sleep(300);
    EXPECT_EQ(srv.Accepted(), 1);
    EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_RECONNECT_COUNT), 0);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    EXPECT_EQ(got.records, (std::vector<std::string>{"end:peer-closed"}));
}

// A raw stream that goes quiet ends at the stream time-out once the
// application has set one; without, it waits as long as the connection.
TEST(ApiReconnect, ARawStreamIsBoundedOnlyByATimeOutTheApplicationSet) {
    for (int bSet = 0; bSet < 2; ++bSet) {
        CTestServer srv;
        srv.Add(
            CTestScript().WaitRequest().Send(ResponseHead("text/plain") + "x").WaitPeerClose(5000));
        ASSERT_TRUE(srv.Start());
        Got got;
        int h =
            OXR_HTTP_OpenEx(srv.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000, Keep, &got);
        ASSERT_GE(h, 0);
        if (bSet != 0) {
            ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_STREAM_TIMEOUT, 300, nullptr), 0);
        }
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
        int nReason = -1;
        const int nState = WaitState(h, HTTP_STREAM_ENDED, &nReason, 1500);
        EXPECT_EQ(nState, bSet != 0 ? HTTP_STREAM_ENDED : HTTP_STREAM_RUNNING) << bSet;
        EXPECT_EQ(nReason, bSet != 0 ? HTTP_END_TIMEOUT : HTTP_END_NONE) << bSet;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
    }
}

} // namespace
