// Streams through the public interface: raw and multipart deliveries to the
// data callback, closing around a running receiver, and many application
// threads using their own sessions at once.
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

struct Sink {
    std::mutex mutex;
    std::vector<int> firstArgs;
    std::vector<std::string> data;
    std::vector<std::string> types;
    std::atomic<int> nCalls{0};
    int nCloseHandle = -1; // when set, the callback tries to close this handle
    std::atomic<int> nCloseResult{1};
};

int OXR_HTTP_CALLBACK Collect(int nHandle, void* pUser, OXR_HTTP_DATA* pData) {
    Sink* s = static_cast<Sink*>(pUser);
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->firstArgs.push_back(nHandle);
        s->data.emplace_back(pData->pData, static_cast<size_t>(pData->nDataLen));
        s->types.emplace_back(pData->szContentType);
    }
    if (s->nCloseHandle >= 0) {
        s->nCloseResult = OXR_HTTP_Close(s->nCloseHandle);
    }
    ++s->nCalls;
    return 0;
}

bool WaitCalls(Sink& s, int n, int nTimeOutMs) {
    for (int i = 0; i < nTimeOutMs / 5 && s.nCalls < n; ++i) {
        OXR_Sleep(5);
    }
    return s.nCalls >= n;
}

// Plays the script on srv, opens a session with the sink as its callback's
// user word and sends the request; the handle, or -1.
int StartStream(CTestServer& srv, const CTestScript& script, const char* pszPath, Sink& sink) {
    srv.Add(script);
    if (!srv.Start()) {
        return -1;
    }
    int h = OXR_HTTP_OpenEx(srv.Url(pszPath).c_str(), HTTP_METHOD_GET, nullptr, 0, 2000, Collect,
                            &sink);
    if (h >= 0 && OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000) != 0) {
        OXR_HTTP_Close(h);
        return -1;
    }
    return h;
}

TEST(ApiStream, RawStreamGoesToTheCallbackWithTheHandle) {
    CTestServer srv;
    CTestScript script;
    script.WaitRequest()
        .Send(ResponseHead("application/octet-stream") + "first")
        .Pause(50)
        .Send("second")
        .WaitPeerClose(5000);
    Sink sink;
    int h = StartStream(srv, script, "/raw", sink);
    ASSERT_GE(h, 0);
    ASSERT_TRUE(WaitCalls(sink, 2, 5000));
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    std::string all;
    for (const std::string& d : sink.data) {
        all += d;
    }
    EXPECT_EQ(all, "firstsecond");
    for (size_t i = 0; i < sink.firstArgs.size(); ++i) {
        EXPECT_EQ(sink.firstArgs[i], h);
        EXPECT_EQ(sink.types[i], "application/octet-stream");
    }
}

TEST(ApiStream, MultipartPartsArriveWholeWithZeroFirstArgument) {
    std::vector<TestPart> parts(3);
    parts[0].body = BinaryBytes(40000, 1);
    parts[1].body = "event: motion\r\n";
    parts[1].type = "text/plain";
    parts[2].body = BinaryBytes(10, 3);
    parts[2].bLength = false; // delimited by the next boundary
    CTestServer srv;
    CTestScript script;
    script.WaitRequest()
        .Send(ResponseHead(MultipartType("myboundary")))
        .SendPieces(MultipartBody("myboundary", parts, true), 3000, 5)
        .WaitPeerClose(5000);
    Sink sink;
    int h = StartStream(srv, script, "/video.mjpg", sink);
    ASSERT_GE(h, 0);
    ASSERT_TRUE(WaitCalls(sink, 3, 5000));
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    ASSERT_EQ(sink.data.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sink.firstArgs[i], 0);
        EXPECT_EQ(sink.data[i], parts[i].body) << "part " << i;
    }
    EXPECT_EQ(sink.types[0], "image/jpeg");
    EXPECT_EQ(sink.types[1], "text/plain");
}

TEST(ApiStream, CloseFromInsideTheCallbackIsRefused) {
    CTestServer srv;
    CTestScript script;
    script.WaitRequest()
        .Send(ResponseHead("text/plain") + "x")
        .Pause(100)
        .Send("later")
        .WaitPeerClose(5000);
    srv.Add(script);
    ASSERT_TRUE(srv.Start());
    Sink sink;
    int h =
        OXR_HTTP_OpenEx(srv.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000, Collect, &sink);
    ASSERT_GE(h, 0);
    sink.nCloseHandle = h;
    ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    // the refused Close changed nothing: the stream goes on
    ASSERT_TRUE(WaitCalls(sink, 2, 5000));
    EXPECT_EQ(sink.nCloseResult.load(), -1);
    EXPECT_EQ(OXR_HTTP_GetErrNo(h), 0); // still registered
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    EXPECT_EQ(sink.data[1], "later");
}

// Two callbacks that close each other's sessions at the same moment: one
// Close goes through, the other is refused at once, where both would have
// waited for each other for ever; the session left is closed as usual.
struct Crossed {
    std::atomic<int>* pInside = nullptr; // callbacks that have begun, of both
    int nOther = -1;                     // the handle this callback closes
    std::atomic<int> nResult{1};
    std::atomic<int> bDone{0};
};

int OXR_HTTP_CALLBACK CloseTheOther(int, void* pUser, OXR_HTTP_DATA*) {
    Crossed* c = static_cast<Crossed*>(pUser);
    if (c->bDone.load() != 0) {
        return 0;
    }
    ++*c->pInside;
    for (int i = 0; i < 400 && c->pInside->load() < 2; ++i) {
        OXR_Sleep(5);
    }
    c->nResult = OXR_HTTP_Close(c->nOther);
    c->bDone = 1;
    return 0;
}

TEST(ApiStream, CallbacksThatCloseEachOthersSessions) {
    CTestServer srvA, srvB;
    for (CTestServer* s : {&srvA, &srvB}) {
        s->Add(
            CTestScript().WaitRequest().Send(ResponseHead("text/plain") + "x").WaitPeerClose(5000));
        ASSERT_TRUE(s->Start());
    }
    std::atomic<int> nInside{0};
    Crossed a, b;
    a.pInside = b.pInside = &nInside;
    const int ha = OXR_HTTP_OpenEx(srvA.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000,
                                   CloseTheOther, &a);
    const int hb = OXR_HTTP_OpenEx(srvB.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000,
                                   CloseTheOther, &b);
    ASSERT_GE(ha, 0);
    ASSERT_GE(hb, 0);
    a.nOther = hb;
    b.nOther = ha;
    ASSERT_EQ(OXR_HTTP_SendRequest(ha, "0", nullptr, 0, 2000), 0);
    ASSERT_EQ(OXR_HTTP_SendRequest(hb, "0", nullptr, 0, 2000), 0);
    for (int i = 0; i < 1000 && (a.bDone.load() == 0 || b.bDone.load() == 0); ++i) {
        OXR_Sleep(5);
    }
    ASSERT_TRUE(a.bDone.load() != 0 && b.bDone.load() != 0) << "the two Close calls hang";
    EXPECT_EQ(a.nResult + b.nResult, -1) << a.nResult << " " << b.nResult;
    const int hLeft = a.nResult == 0 ? ha : hb;
    EXPECT_EQ(OXR_HTTP_GetStreamState(hLeft, nullptr, nullptr), HTTP_STREAM_RUNNING);
    EXPECT_EQ(OXR_HTTP_Close(hLeft), 0);
    EXPECT_EQ(OXR_HTTP_Close(hLeft == ha ? hb : ha), -1); // closed by the callback
}

TEST(ApiStream, CloseWhileTheReceiverWaitsIsPrompt) {
    CTestServer srv;
    CTestScript script;
    script.WaitRequest()
        .Send(ResponseHead(MultipartType("b")) + "--b\r\nContent-Length: 100\r\n\r\npartial")
        .WaitPeerClose(10000);
    Sink sink;
    int h = StartStream(srv, script, "/", sink);
    ASSERT_GE(h, 0);
    OXR_Sleep(100);
    int64_t t0 = OXR_TickMs();
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    EXPECT_LT(OXR_TickMs() - t0, 1000);
    EXPECT_EQ(sink.nCalls.load(), 0); // the incomplete part is never delivered
}

// A callback with the stack scratch of an image decoder (512 KiB, every
// page touched) runs on the receiver thread without overflowing it.
int OXR_HTTP_CALLBACK DeepStack(int nHandle, void* pUser, OXR_HTTP_DATA* pData) {
    volatile unsigned char scratch[512 * 1024];
    for (size_t i = 0; i < sizeof(scratch); i += 512) {
        scratch[i] = static_cast<unsigned char>(i / 512 + pData->nDataLen);
    }
    unsigned nSum = 0;
    for (size_t i = 0; i < sizeof(scratch); i += 512) {
        nSum += scratch[i];
    }
    Sink* s = static_cast<Sink*>(pUser);
    s->nCloseResult = static_cast<int>(nSum & 0xffff);
    return Collect(nHandle, pUser, pData);
}

TEST(ApiStream, ACallbackMayUseHalfAMegabyteOfStack) {
    std::vector<TestPart> parts(3);
    for (size_t i = 0; i < parts.size(); ++i) {
        parts[i].body = BinaryBytes(5000 + i, static_cast<unsigned>(i));
    }
    CTestServer srv;
    srv.Add(CTestScript()
                .WaitRequest()
                .Send(ResponseHead(MultipartType("fr")) + MultipartBody("fr", parts))
                .WaitPeerClose(5000));
    ASSERT_TRUE(srv.Start());
    Sink sink;
    int h =
        OXR_HTTP_OpenEx(srv.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000, DeepStack, &sink);
    ASSERT_GE(h, 0);
    ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    ASSERT_TRUE(WaitCalls(sink, 3, 5000));
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(sink.data[i], parts[i].body);
    }
}

// Several application threads, each opening, sending, streaming and closing
// its own sessions in a bounded loop.
TEST(ApiStream, ManyThreadsWithTheirOwnSessions) {
    const int kThreads = 4;
    const int kRounds = 8;
    std::vector<TestPart> parts(5);
    for (size_t i = 0; i < parts.size(); ++i) {
        parts[i].body = BinaryBytes(2000 + i * 997, static_cast<unsigned>(i));
    }
    const std::string body = MultipartBody("frame", parts);
    CTestServer srv;
    for (int i = 0; i < kThreads * kRounds; ++i) {
        CTestScript s;
        s.WaitRequest().Send(ResponseHead(MultipartType("frame"))).Send(body).WaitPeerClose(10000);
        srv.Add(s);
    }
    ASSERT_TRUE(srv.Start(60000));
    std::string url = srv.Url("/video.mjpg");
    std::atomic<int> nFailures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) {
                Sink sink;
                int h =
                    OXR_HTTP_OpenEx(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000, Collect, &sink);
                if (h < 0) {
                    ++nFailures;
                    continue;
                }
                bool bOk = OXR_HTTP_SendRequest(h, "0", nullptr, 0, 5000) == 0 &&
                           WaitCalls(sink, 5, 10000);
                OXR_HTTP_Close(h);
                std::lock_guard<std::mutex> lock(sink.mutex);
                for (size_t i = 0; bOk && i < parts.size(); ++i) {
                    bOk = sink.data[i] == parts[i].body;
                }
                if (!bOk) {
                    ++nFailures;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(nFailures.load(), 0);
}

} // namespace
