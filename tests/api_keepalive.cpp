// Keep-alive through the public interface: each body ends where its framing
// says, a connection the device keeps carries the next request, and one it
// dropped is replaced; a request's time-out bounds the whole call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "oxr.h"
#include "oxr_http.h"
#include "test_server.h"

namespace {

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

struct Got {
    std::mutex mutex;
    std::condition_variable cond;
    std::string data;
    std::vector<std::string> ends; // types of the deliveries without data
    int nSlowEndMs = 0;            // how long a call without data lingers
};

int OXR_HTTP_CALLBACK Keep(int, void* pUser, OXR_HTTP_DATA* pData) {
    Got* g = static_cast<Got*>(pUser);
    std::unique_lock<std::mutex> lock(g->mutex);
    if (pData->pData == nullptr) {
        g->ends.emplace_back(pData->szContentType);
        g->cond.notify_all();
        lock.unlock();
        OXR_Sleep(g->nSlowEndMs);
    } else {
        g->data.append(pData->pData, static_cast<size_t>(pData->nDataLen));
    }
    return 0;
}

// Waits until the session's receiver has ended (or none runs); its reason.
int EndReason(int h) {
    int nReason = -1;
    for (int i = 0; i < 600; ++i) {
        if (OXR_HTTP_GetStreamState(h, &nReason, nullptr) != HTTP_STREAM_RUNNING) {
            break;
        }
        OXR_Sleep(5);
    }
    return nReason;
}

// A session on srv with keep-alive (and a callback when pGot is given).
int OpenKept(CTestServer& srv, int nMethod, Got* pGot) {
    const std::string url = srv.Url("/snapshot.jpg");
    int h = pGot != nullptr ? OXR_HTTP_OpenEx(url.c_str(), nMethod, nullptr, 0, 2000, Keep, pGot)
                            : OXR_HTTP_Open(url.c_str(), nMethod, nullptr, 0, 2000);
    if (h >= 0 && OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, 1, nullptr) != 0) {
        OXR_HTTP_Close(h);
        return -1;
    }
    return h;
}

struct FramingRow {
    const char* name;
    int nMethod;
    std::string answer; // to the first request
    bool bCallback;
    int nSend;        // SendRequest's result
    std::string data; // delivered
    int nEnd;         // why the receiver ended (HTTP_END_NONE: none started)
    bool bKept;       // the second request goes over the same connection
};

// Each framing delivers exactly the body; the next request goes over the
// same connection when the device keeps it, else over a new one.
TEST(ApiKeepAlive, BodiesEndByTheirFraming) {
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                "5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n";
    const FramingRow rows[] = {
        {"sized", HTTP_METHOD_GET, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", true, 0,
         "hello", HTTP_END_COMPLETE, true},
        {"chunked, with extensions and a trailer", HTTP_METHOD_GET, chunked, true, 0, "hello world",
         HTTP_END_COMPLETE, true},
        {"HEAD: a length, no body", HTTP_METHOD_HEAD,
         "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", true, 0, "", HTTP_END_COMPLETE, true},
        {"204", HTTP_METHOD_GET, "HTTP/1.1 204 No Content\r\n\r\n", true, 0, "", HTTP_END_COMPLETE,
         true},
        {"304", HTTP_METHOD_GET, "HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\n", true, 0,
         "", HTTP_END_COMPLETE, true},
        {"100 Continue before the answer", HTTP_METHOD_GET,
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", true, 0,
         "hi", HTTP_END_COMPLETE, true},
        {"to the close", HTTP_METHOD_GET, "HTTP/1.1 200 OK\r\n\r\nuntil the close", true, 0,
         "until the close", HTTP_END_PEER_CLOSED, false},
        {"Connection: close", HTTP_METHOD_GET,
         "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nby", true, 0, "by",
         HTTP_END_COMPLETE, false},
        {"HTTP/1.0", HTTP_METHOD_GET, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nzz", true, 0,
         "zz", HTTP_END_COMPLETE, false},
        {"HTTP/1.0 with keep-alive", HTTP_METHOD_GET,
         "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nzz", true, 0, "zz",
         HTTP_END_COMPLETE, true},
        {"no callback: the body is dropped", HTTP_METHOD_GET,
         "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'b'), false, 0, "",
         HTTP_END_NONE, true},
        {"refused: its body is dropped", HTTP_METHOD_GET,
         "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", true, -1, "",
         HTTP_END_NONE, true},
    };
    for (const FramingRow& r : rows) {
        CTestServer srv;
        CTestScript first;
        first.WaitRequest().Send(r.answer);
        if (r.bKept) {
            first.WaitRequest().Send(kOk).WaitPeerClose(3000);
        }
        srv.Add(first);
        if (!r.bKept) {
            srv.Add(CTestScript().WaitRequest().Send(kOk).WaitPeerClose(3000));
        }
        ASSERT_TRUE(srv.Start());
        Got got;
        int h = OpenKept(srv, r.nMethod, r.bCallback ? &got : nullptr);
        ASSERT_GE(h, 0) << r.name;
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_KEEP_ALIVE), 1);
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), r.nSend) << r.name;
        EXPECT_EQ(EndReason(h), r.nEnd) << r.name;
        {
            std::lock_guard<std::mutex> lock(got.mutex);
            EXPECT_EQ(got.data, r.data) << r.name;
            got.data.clear();
        }
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0) << r.name;
        if (r.bCallback) {
            EXPECT_EQ(EndReason(h), HTTP_END_COMPLETE) << r.name;
            std::lock_guard<std::mutex> lock(got.mutex);
            EXPECT_EQ(got.data, r.nMethod == HTTP_METHOD_HEAD ? "" : "ok") << r.name;
        }
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_CONNECTIONS), r.bKept ? 1 : 2) << r.name;
        EXPECT_EQ(srv.Accepted(), r.bKept ? 1 : 2) << r.name;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
    }
}

// With the end record asked for, a body that is whole ends its receiver
// with one "end:complete" record, a body-less response at once. The next
// request may go as soon as that record has come, even while its call
// still runs: it waits for the receiver rather than being refused.
TEST(ApiKeepAlive, OneCompleteRecordPerResponse) {
    CTestServer srv;
    srv.Add(CTestScript()
                .WaitRequest()
                .Send("HTTP/1.1 204 No Content\r\n\r\n")
                .WaitRequest()
                .Send(kOk)
                .WaitPeerClose(3000));
    ASSERT_TRUE(srv.Start());
    Got got;
    got.nSlowEndMs = 100;
    int h = OpenKept(srv, HTTP_METHOD_GET, &got);
    ASSERT_GE(h, 0);
    ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_END_RECORD, 1, nullptr), 0);
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0) << "request " << i + 1;
        std::unique_lock<std::mutex> lock(got.mutex);
        ASSERT_TRUE(
            got.cond.wait_for(lock, std::chrono::seconds(3), [&] { return got.ends.size() > i; }));
    }
    EXPECT_EQ(EndReason(h), HTTP_END_COMPLETE);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    EXPECT_EQ(got.data, "ok");
    EXPECT_EQ(got.ends, (std::vector<std::string>{"end:complete", "end:complete"}));
}

struct DropRow {
    const char* name;
    CTestScript script; // of the first connection, after its first answer
};

// However the device lets a kept connection go, the next request gets
// through on a new one.
TEST(ApiKeepAlive, ADroppedConnectionIsReplacedOnce) {
    const DropRow rows[] = {
        {"closed while idle", CTestScript().Pause(20)},
        {"reset while idle", CTestScript().Pause(20).Reset()},
        {"closed when the next request came", CTestScript().WaitRequest()},
        {"reset when the next request came", CTestScript().WaitRequest().Reset()},
    };
    for (const DropRow& r : rows) {
        CTestScript first;
        first.WaitRequest().Send(kOk);
        for (const CTestScript::Step& step : r.script.Steps()) {
            if (step.eKind == CTestScript::kPause) {
                first.Pause(step.nMs);
            } else if (step.eKind == CTestScript::kWaitRequest) {
                first.WaitRequest();
            } else {
                first.Reset();
            }
        }
        CTestServer srv;
        srv.Add(first);
        srv.Add(CTestScript().WaitRequest().Send(kOk).WaitPeerClose(3000));
        ASSERT_TRUE(srv.Start());
        Got got;
        int h = OpenKept(srv, HTTP_METHOD_GET, &got);
        ASSERT_GE(h, 0);
        ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0) << r.name;
        EXPECT_EQ(EndReason(h), HTTP_END_COMPLETE) << r.name;
        OXR_Sleep(100); // the device lets the connection go meanwhile
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0) << r.name;
        EXPECT_EQ(EndReason(h), HTTP_END_COMPLETE) << r.name;
        EXPECT_EQ(got.data, "okok") << r.name;
        EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_CONNECTIONS), 2) << r.name;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
    }
}

// A head that trickles in a byte at a time fails the request at its
// time-out, not at a time-out per byte; so does a device that stops
// answering between two requests. Keep-alive on and off alike.
TEST(ApiKeepAlive, TheTimeOutBoundsTheWholeRequest) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Slow: 1\r\n\r\n";
    for (int bKeep = 0; bKeep < 2; ++bKeep) {
        CTestServer srv;
        srv.Add(CTestScript().WaitRequest().SendPieces(head, 1, 100).WaitPeerClose(3000));
        ASSERT_TRUE(srv.Start());
        int h = OXR_HTTP_Open(srv.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000);
        ASSERT_GE(h, 0);
        ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, bKeep, nullptr), 0);
        const int64_t t0 = OXR_TickMs();
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 1000), -1) << bKeep;
        const int64_t nTook = OXR_TickMs() - t0;
        EXPECT_GE(nTook, 950) << bKeep;
        EXPECT_LT(nTook, 2000) << bKeep;
        int nReason = -1;
        EXPECT_EQ(OXR_HTTP_GetStreamState(h, &nReason, nullptr), HTTP_STREAM_NONE);
        EXPECT_EQ(nReason, HTTP_END_TIMEOUT) << bKeep;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
    }
}

} // namespace
