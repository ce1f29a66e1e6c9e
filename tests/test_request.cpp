// The transport's connection and exchange: connecting (IPv4 and IPv6),
// sending whole messages, receiving and parsing the response head, closing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "http_request.h"
#include "log_records.h"
#include "request_harness.h"
#include "stream_builder.h"
#include "test_net.h"
#include "test_server.h"

namespace {

typedef std::vector<std::string> Records;

std::string Rec(const char* pszMessage) {
    return std::string("HTTP_LOG_DEBUG Http/src/http_connection.cpp: ") + pszMessage;
}

// A port on loopback where nothing listens.
uint16_t ClosedPort() {
    uint16_t wPort = 0;
    int s = TestListen("127.0.0.1", 0, &wPort);
    OXR_CloseSocket(s, 0);
    return wPort;
}

// ---------------------------------------------------------------- connect

struct ConnectRow {
    const char* listenAddr;
    const char* host; // as the URL parser hands it on
};

TEST(Connect, ReachesLoopbackOverIpv4AndIpv6) {
    const ConnectRow rows[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"127.0.0.1", "localhost"},
        {"::1", "::1"},
        {"::1", "[::1]"},
    };
    for (const ConnectRow& r : rows) {
        CTestServer server(r.listenAddr);
        server.Add(CTestScript().WaitRequest().Send(ResponseHead("text/plain")));
        ASSERT_TRUE(server.Start());
        CHttpRequest req;
        EXPECT_EQ(req.ConnectToServer(r.host, server.Port(), 2000), 0) << r.host;
        EXPECT_TRUE(req.IsConnected());
        // TCP keep-alive: a vanished device ends the connection in about 30 s
        int nIdle = 0, nInterval = 0, nProbes = 0;
        EXPECT_TRUE(TestKeepAlive(req.GetConnection().GetSocket(), &nIdle, &nInterval, &nProbes));
#if !defined(_WIN32)
        EXPECT_EQ(nIdle, 10);
        EXPECT_EQ(nInterval, 5);
        EXPECT_EQ(nProbes, 3);
#endif
        EXPECT_EQ(Exchange(req, server), 0) << r.host;
        EXPECT_EQ(server.Requests(0).size(), 1u) << r.host;
        EXPECT_EQ(req.Close(), 0);
    }
}

struct ConnectFailRow {
    std::string host;
    uint16_t wPort;
    int nErrNo;
    const char* message;
};

TEST(Connect, FailuresSetTheirErrorNumberAndLogOnce) {
    const uint16_t wClosed = ClosedPort();
    const ConnectFailRow rows[] = {
        // a label longer than 63 characters is refused without asking any server
        {std::string(70, 'a') + ".invalid", 80, HTTP_ERR_CONNECT,
         "ConnectToServer Return -1, Host Is NULL"},
        {"", 80, HTTP_ERR_CONNECT, "ConnectToServer Return -1, Host Is NULL"},
        {"127.0.0.1", wClosed, HTTP_ERR_CONNECT,
         "ConnectToServer Return -1, Connect To Server Failed"},
        {"[::1]", wClosed, HTTP_ERR_CONNECT, "ConnectToServer Return -1, Connect To Server Failed"},
    };
    for (const ConnectFailRow& r : rows) {
        CHttpRequest req;
        int nResult = 0;
        Records recs =
            LoggedBy([&] { nResult = req.ConnectToServer(r.host.c_str(), r.wPort, 2000); });
        EXPECT_EQ(nResult, r.nErrNo) << r.host;
        EXPECT_EQ(recs, Records{Rec(r.message)}) << r.host;
        // nothing is left to close
        EXPECT_FALSE(req.IsConnected());
        EXPECT_EQ(LoggedBy([&] { EXPECT_EQ(req.Close(), 0); }), Records{});
    }
}

TEST(Connect, ASecondConnectReplacesTheFirstConnection) {
    CTestServer server;
    server.Add(CTestScript().WaitPeerClose(3000));
    server.Add(CTestScript().WaitRequest().Send(ResponseHead("text/plain")));
    ASSERT_TRUE(server.Start());
    CHttpRequest req;
    ASSERT_EQ(req.ConnectToServer("127.0.0.1", server.Port(), 2000), 0);
    ASSERT_EQ(req.ConnectToServer("127.0.0.1", server.Port(), 2000), 0);
    EXPECT_EQ(Exchange(req, server), 0);
    ASSERT_TRUE(server.WaitDone(3000));
    EXPECT_TRUE(server.PeerClosed(0));
    EXPECT_EQ(server.Requests(1).size(), 1u);
}

TEST(Close, WithoutConnectionOrReceiverDoesNothing) {
    CHttpRequest req;
    EXPECT_EQ(LoggedBy([&] {
                  EXPECT_EQ(req.Close(), 0);
                  EXPECT_EQ(req.Close(), 0);
              }),
              Records{});
    EXPECT_FALSE(req.IsConnected());
}

TEST(Close, ClosesTheConnectionOnceAndPromptly) {
    CTestServer server;
    server.Add(CTestScript().WaitPeerClose(3000));
    ASSERT_TRUE(server.Start());
    CHttpRequest req;
    ASSERT_EQ(req.ConnectToServer("127.0.0.1", server.Port(), 2000), 0);
    int64_t t0 = OXR_TickMs();
    EXPECT_EQ(req.Close(), 0);
    EXPECT_FALSE(req.IsConnected());
    EXPECT_EQ(req.Close(), 0);
    EXPECT_LT(OXR_TickMs() - t0, 500);
    ASSERT_TRUE(server.WaitDone(3000));
    EXPECT_TRUE(server.PeerClosed(0));
}

// ---------------------------------------------------------------- send

// A device that takes the request in the ways loopback never does.
struct Taker {
    int (*pfnTake)(Taker* t, int nLen);
    std::string taken;
    int nCalls = 0;
    static int Write(void* pCtx, const char* p, int nLen) {
        Taker* t = static_cast<Taker*>(pCtx);
        ++t->nCalls;
        const int n = t->pfnTake(t, nLen);
        if (n > 0) {
            t->taken.append(p, static_cast<size_t>(n));
        }
        return n;
    }
    static int Read(void*, char*, int) { return 0; }
};
int SevenAtATime(Taker*, int nLen) {
    return nLen < 7 ? nLen : 7;
}
int Nothing(Taker*, int) {
    return 0;
}
int Fails(Taker*, int) {
    return -1;
}
int HalfThenNothing(Taker* t, int nLen) {
    return t->nCalls == 1 ? nLen / 2 : 0;
}

struct SendRow {
    const char* name;
    int (*pfnTake)(Taker* t, int nLen);
    int nResult;
};

// A send is resumed at the first byte not taken; one that fails, or takes
// nothing, fails the request with the send error.
TEST(Send, PartialFailedAndEmptySends) {
    const SendRow rows[] = {
        {"seven bytes at a time", SevenAtATime, 0},
        {"negative", Fails, HTTP_ERR_SOCKET},
        {"nothing sent", Nothing, HTTP_ERR_SOCKET},
        {"nothing sent after a part", HalfThenNothing, HTTP_ERR_SOCKET},
    };
    const std::string msg = "GET /a/long/enough/path HTTP/1.1\r\nHost: camera\r\nX: 1\r\n\r\n";
    for (const SendRow& r : rows) {
        Taker taker;
        taker.pfnTake = r.pfnTake;
        const HttpByteSource source = {Taker::Read, Taker::Write, &taker};
        CHttpRequest req;
        req.GetConnection().SetSource(&source);
        int nResult = 0;
        Records recs =
            LoggedBy([&] { nResult = req.SendMsg(msg.data(), static_cast<int>(msg.size())); });
        EXPECT_EQ(nResult, r.nResult) << r.name;
        if (r.nResult == 0) {
            EXPECT_EQ(taker.taken, msg) << r.name;
            EXPECT_EQ(taker.nCalls, static_cast<int>((msg.size() + 6) / 7)) << r.name;
            EXPECT_EQ(recs, Records{}) << r.name;
        } else {
            EXPECT_EQ(recs, Records{Rec("SendMsg Return -1, send failed")}) << r.name;
        }
    }
}

TEST(Send, ALargeBinaryMessageArrivesWhole) {
    const std::string body = BinaryBytes(1 << 20, 3);
    const std::string msg =
        "POST /up HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    CTestServer server;
    server.Add(CTestScript().WaitRequest(5000));
    ASSERT_TRUE(server.Start());
    CHttpRequest req;
    ASSERT_EQ(req.ConnectToServer("127.0.0.1", server.Port(), 2000), 0);
    EXPECT_EQ(req.SendMsg(msg.data(), static_cast<int>(msg.size())), 0);
    ASSERT_TRUE(server.WaitDone(5000));
    ASSERT_EQ(server.Requests(0).size(), 1u);
    EXPECT_TRUE(server.Requests(0)[0] == msg);
}

TEST(Send, WithoutAConnectionFails) {
    CHttpRequest req;
    EXPECT_EQ(LoggedBy([&] { EXPECT_EQ(req.SendMsg("x", 1), HTTP_ERR_SOCKET); }),
              Records{Rec("SendMsg Return -1, send failed")});
}

// ---------------------------------------------------------------- head

const char kHead[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Id: 7\r\n\r\n";

struct HeadRow {
    const char* name;
    std::string bytes;        // what the server sends after the request
    std::vector<size_t> ends; // ends of the pieces it sends them in
    int nResult;              // of RecvHead
    int nHeadLen;             // expected when nResult is 0
    std::string left;         // bytes that came with the head
};

TEST(RecvHead, AssemblesAndDelimitsTheHead) {
    const std::string head = kHead;
    const int n = static_cast<int>(head.size());
    const HeadRow rows[] = {
        {"one piece", head, {}, 0, n, ""},
        {"piece per byte",
         head,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20, 30, 40, 50, 51, 52, 53},
         0,
         n,
         ""},
        {"split inside the terminator", head, {head.size() - 3, head.size() - 1}, 0, n, ""},
        {"head and body together", head + "body", {}, 0, n, "body"},
        {"body bytes in the next piece", head + "more", {head.size()}, 0, n, ""},
        {"LF LF terminator", "HTTP/1.1 200 OK\nA: b\n\nrest", {}, 0, 22, "rest"},
        {"LF LF split", "HTTP/1.1 200 OK\nA: b\n\n", {21}, 0, 22, ""},
        // the first empty line of either form ends the head
        {"LF line, then CR LF empty line", "HTTP/1.1 200 OK\nA: b\n\r\nrest", {}, 0, 23, "rest"},
        {"CR LF line, then LF empty line", "HTTP/1.1 200 OK\r\nA: b\r\n\nrest", {}, 0, 24, "rest"},
        {"LF LF before a CR LF CR LF in one piece",
         "HTTP/1.1 200 OK\n\nbody\r\n\r\n",
         {},
         0,
         17,
         "body\r\n\r\n"},
        {"zero byte inside the head",
         std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\nz", 28),
         {},
         0,
         27,
         "z"},
        {"error status", "HTTP/1.1 404 Not Found\r\n\r\n", {}, -1, 0, ""},
        {"server error status", "HTTP/1.1 503 Busy\r\nRetry-After: 1\r\n\r\n", {}, -1, 0, ""},
    };
    for (const HeadRow& r : rows) {
        CTestServer server;
        server.Add(CTestScript().WaitRequest().SendSplit(r.bytes, r.ends, 5).WaitPeerClose(3000));
        ASSERT_TRUE(server.Start());
        CHttpRequest req;
        EXPECT_EQ(Exchange(req, server), r.nResult) << r.name;
        if (r.nResult == 0) {
            EXPECT_EQ(req.GetHead().GetHeadLen(), r.nHeadLen) << r.name;
            EXPECT_EQ(req.GetHead().GetLeftLen(),
                      req.GetHead().GetRecvLen() - req.GetHead().GetHeadLen())
                << r.name;
            EXPECT_EQ(std::string(req.GetHead().GetLeft(),
                                  static_cast<size_t>(req.GetHead().GetLeftLen())),
                      r.left)
                << r.name;
        }
    }
}

TEST(RecvHead, TheParsedHeadLandsInTheTransportsOwnCodec) {
    CTestServer server;
    server.Add(CTestScript().WaitRequest().Send(kHead));
    ASSERT_TRUE(server.Start());
    CHttpRequest req;
    ASSERT_EQ(Exchange(req, server), 0);
    EXPECT_EQ(*req.GetRecvParser().GetStatusCode(), 200);
    EXPECT_STREQ(req.GetRecvParser().GetResponseHeader("x-id"), "7");
}

struct HeadFailRow {
    const char* name;
    CTestScript script;
};

TEST(RecvHead, FailsQuietlyWhenTheHeadDoesNotArrive) {
    const std::string full(kHttpRecvBufSize + 100, 'a');
    const HeadFailRow rows[] = {
        {"peer closes before the end",
         CTestScript().WaitRequest().Send("HTTP/1.1 200 OK\r\nA: b\r\n")},
        {"peer closes at once", CTestScript().WaitRequest()},
        {"silence past the time-out",
         CTestScript().WaitRequest().Send("HTTP/1.1 200 OK\r\n").Pause(2000)},
        {"full buffer without terminator (no zero byte in it)",
         CTestScript().WaitRequest().Send(full).WaitPeerClose(3000)},
        {"terminator just past the buffer",
         CTestScript().WaitRequest().Send(
             "HTTP/1.1 200 OK\r\nX: " + std::string(kHttpRecvBufSize - 22, 'b') + "\r\n\r\n")},
    };
    for (const HeadFailRow& r : rows) {
        CTestServer server;
        server.Add(r.script);
        ASSERT_TRUE(server.Start());
        CHttpRequest req;
        ASSERT_EQ(req.ConnectToServer("127.0.0.1", server.Port(), 2000), 0);
        ASSERT_EQ(req.SendMsg(kTestRequest, sizeof(kTestRequest) - 1), 0);
        int nResult = 0;
        Records recs = LoggedBy([&] { nResult = req.RecvHead(300); });
        EXPECT_EQ(nResult, -1) << r.name;
        EXPECT_EQ(recs, Records{}) << r.name;
        EXPECT_LE(req.GetHead().GetRecvLen(), kHttpRecvBufSize) << r.name;
    }
}

// Bytes of the first response that lie beyond the second one's received
// bytes hold a terminator; they must not end the second head early.
TEST(RecvHead, OlderBytesBeyondTheNewHeadNeverCount) {
    const std::string first =
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX-Pad: " + std::string(200, 'p') + "\r\n\r\n";
    const std::string second = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n";
    CTestServer server;
    server.Add(CTestScript().WaitRequest().Send(first).WaitRequest().Send(second).Pause(150).Send(
        "X-B: 2\r\n\r\n"));
    ASSERT_TRUE(server.Start());
    CHttpRequest req;
    ASSERT_EQ(Exchange(req, server), 0);
    EXPECT_EQ(req.GetHead().GetHeadLen(), static_cast<int>(first.size()));
    // no data callback, raw: no receiver, so the next request may go
    ASSERT_EQ(req.StartRecvThread(), 0);
    EXPECT_FALSE(req.GetReceiver().HasThread());
    ASSERT_EQ(Exchange(req, server), 0);
    EXPECT_EQ(req.GetHead().GetHeadLen(), static_cast<int>(second.size() + 10));
    EXPECT_EQ(req.GetHead().GetRecvLen(), req.GetHead().GetHeadLen());
    EXPECT_STREQ(req.GetRecvParser().GetReason(), "OK");
}

} // namespace
