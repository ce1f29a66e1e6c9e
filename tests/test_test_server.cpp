// The loopback test server and the stream builders, checked with the
// runtime's own client sockets, so later suites can trust them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "oxr.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

// A client socket connected to the server.
int Dial(const CTestServer& server) {
    OXR_HOSTENT* pHost = OXR_GetAddressByName(server.Address().c_str());
    if (pHost == nullptr) {
        return -1;
    }
    OXR_SOCKADDR addr;
    if (pHost->h_addrtype == OXR_AF_INET) {
        uint32_t n;
        std::memcpy(&n, pHost->h_addr_list[0], 4);
        OXR_MakeAddr4ByInt(n, server.Port(), &addr);
    } else {
        OXR_MakeAddr6(pHost->h_addr_list[0], server.Port(), &addr);
    }
    int s = OXR_CreateSocket(pHost->h_addrtype, OXR_SOCK_STREAM, 0);
    if (s >= 0 && OXR_ConnectWithTimeOut(s, &addr, 2000) != 0) {
        OXR_CloseSocket(s, 0);
        s = -1;
    }
    return s;
}

// Everything until the server closes, at most nTimeOutMs.
std::string ReadAll(int s, int nTimeOutMs) {
    std::string all;
    int64_t tEnd = OXR_TickMs() + nTimeOutMs;
    char buf[4096];
    while (OXR_TickMs() < tEnd) {
        int r = OXR_RecvWithTimeOut(s, buf, sizeof(buf), 50);
        if (r > 0) {
            all.append(buf, static_cast<size_t>(r));
        } else if (r < 0 || OXR_WaitReadable(s, 0) > 0) {
            break; // closed
        }
    }
    return all;
}

TEST(TestServer, CapturesExactRequestsOnAKeptConnection) {
    CTestServer server;
    server.Add(CTestScript().WaitRequest().Send("one").WaitRequest().Send("two"));
    ASSERT_TRUE(server.Start());
    int s = Dial(server);
    ASSERT_GE(s, 0);
    const std::string req1 = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
    // a body with a zero byte, as long as its Content-Length says
    const std::string req2Bytes =
        "POST /b HTTP/1.1\r\ncontent-length: 5\r\n\r\n" + std::string("a\0bc\n", 5);
    ASSERT_EQ(OXR_Sendn(s, req1.data(), static_cast<int>(req1.size()), 0),
              static_cast<int>(req1.size()));
    char buf[3];
    ASSERT_EQ(OXR_Recvn(s, buf, 3, 2000), 3);
    EXPECT_EQ(std::string(buf, 3), "one");
    ASSERT_EQ(OXR_Sendn(s, req2Bytes.data(), static_cast<int>(req2Bytes.size()), 0),
              static_cast<int>(req2Bytes.size()));
    EXPECT_EQ(ReadAll(s, 2000), "two");
    OXR_CloseSocket(s, 0);
    ASSERT_TRUE(server.WaitDone(2000));
    std::vector<std::string> reqs = server.Requests(0);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0], req1);
    EXPECT_EQ(reqs[1], req2Bytes);
    EXPECT_EQ(server.Received(0), req1 + req2Bytes);
}

TEST(TestServer, PiecesPausesMarksAndCutOffset) {
    CTestServer server;
    server.Add(CTestScript().SendPieces("abcdefgh", 3, 20).Mark(7).Send("ijklmnop").CloseAt(10));
    ASSERT_TRUE(server.Start());
    int s = Dial(server);
    ASSERT_GE(s, 0);
    EXPECT_TRUE(server.WaitMark(7, 2000));
    EXPECT_EQ(ReadAll(s, 2000), "abcdefghij");
    OXR_CloseSocket(s, 0);
    EXPECT_TRUE(server.WaitDone(2000));
    EXPECT_EQ(server.Sent(0), 10u);
    EXPECT_FALSE(server.WaitMark(8, 10));
}

TEST(TestServer, SeesThePeerCloseOverIpv6) {
    CTestServer server("::1");
    server.Add(CTestScript().Send("hi").WaitPeerClose(3000));
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.Url("/x"), "http://[::1]:" + std::to_string(server.Port()) + "/x");
    int s = Dial(server);
    ASSERT_GE(s, 0);
    char buf[2];
    ASSERT_EQ(OXR_Recvn(s, buf, 2, 2000), 2);
    OXR_CloseSocket(s, 0);
    ASSERT_TRUE(server.WaitDone(2000));
    EXPECT_TRUE(server.PeerClosed(0));
}

TEST(TestServer, StopCutsLongPausesShort) {
    int64_t t0 = OXR_TickMs();
    {
        CTestServer server;
        server.Add(CTestScript().Pause(30000).Send("late"));
        server.Add(CTestScript().Send("x")); // never connected: accepting gives up
        ASSERT_TRUE(server.Start());
        int s = Dial(server);
        ASSERT_GE(s, 0);
        OXR_Sleep(50);
        server.Stop();
        EXPECT_EQ(ReadAll(s, 1000), "");
        OXR_CloseSocket(s, 0);
    }
    EXPECT_LT(OXR_TickMs() - t0, 3000);
}

TEST(TestServer, StopWakesASendToAClientThatDoesNotRead) {
    int64_t t0 = OXR_TickMs();
    {
        CTestServer server;
        server.Add(CTestScript().Send(std::string(32 << 20, 'x')));
        ASSERT_TRUE(server.Start());
        int s = Dial(server);
        ASSERT_GE(s, 0);
        OXR_Sleep(200);
        server.Stop();
        OXR_CloseSocket(s, 0);
        EXPECT_LT(server.Sent(0), 32u << 20);
    }
    EXPECT_LT(OXR_TickMs() - t0, 3000);
}

TEST(TestServer, RefusesConnectionsBeyondItsScripts) {
    CTestServer server;
    server.Add(CTestScript().Send("only"));
    ASSERT_TRUE(server.Start());
    int s = Dial(server);
    ASSERT_GE(s, 0);
    EXPECT_EQ(ReadAll(s, 2000), "only");
    OXR_CloseSocket(s, 0);
    ASSERT_TRUE(server.WaitDone(2000));
    OXR_Sleep(100); // the accept loop closes its socket once every script has a connection
    EXPECT_LT(Dial(server), 0);
}

struct ChunkRow {
    const char* data;
    std::vector<size_t> ends;
    bool bLast;
    const char* ext;
    const char* expected;
};

TEST(StreamBuilder, ChunkedFraming) {
    const ChunkRow rows[] = {
        {"hello", {}, true, "", "5\r\nhello\r\n0\r\n\r\n"},
        {"hello", {2}, true, "", "2\r\nhe\r\n3\r\nllo\r\n0\r\n\r\n"},
        {"hello", {2, 2, 9}, false, "", "2\r\nhe\r\n3\r\nllo\r\n"},
        {"0123456789abcdefX",
         {16},
         true,
         ";a=b",
         "10;a=b\r\n0123456789abcdef\r\n1;a=b\r\nX\r\n0\r\n\r\n"},
        {"", {}, true, "", "0\r\n\r\n"},
    };
    for (const ChunkRow& r : rows) {
        EXPECT_EQ(Chunked(r.data, r.ends, r.bLast, r.ext), r.expected) << r.data;
    }
}

TEST(StreamBuilder, MultipartParts) {
    TestPart plain;
    plain.body = "abc";
    TestPart bare;
    bare.body = "xy";
    bare.type = "";
    bare.bLength = false;
    TestPart odd;
    odd.body = "z";
    odd.lengthText = "-1";
    odd.extraHead = "X-A: 1\r\n";
    EXPECT_EQ(MultipartBody("fr", {plain, bare, odd}, true),
              "--fr\r\nContent-Type: image/jpeg\r\nContent-Length: 3\r\n\r\nabc\r\n"
              "--fr\r\n\r\nxy\r\n"
              "--fr\r\nContent-Type: image/jpeg\r\nContent-Length: -1\r\nX-A: 1\r\n\r\nz\r\n"
              "--fr--\r\n");
    EXPECT_EQ(ResponseHead(MultipartType("\"fr\"")),
              "HTTP/1.1 200 OK\r\nServer: test\r\nContent-Type: "
              "multipart/x-mixed-replace;boundary=\"fr\"\r\n\r\n");
    std::string bin = BinaryBytes(4096, 1);
    EXPECT_EQ(bin.size(), 4096u);
    EXPECT_NE(bin.find('\0'), std::string::npos);
    EXPECT_EQ(bin, BinaryBytes(4096, 1));
}

TEST(RuntimeWait, ReadableOnDataOnCloseAndNotBefore) {
    CTestServer server;
    server.Add(CTestScript().Pause(100).Send("d").Pause(100));
    ASSERT_TRUE(server.Start());
    int s = Dial(server);
    ASSERT_GE(s, 0);
    EXPECT_EQ(OXR_WaitReadable(s, 20), 0);
    EXPECT_GT(OXR_WaitReadable(s, 2000), 0);
    char c;
    EXPECT_EQ(OXR_Recv(s, &c, 1), 1);
    EXPECT_GT(OXR_WaitReadable(s, 2000), 0); // the orderly close
    EXPECT_EQ(OXR_Recv(s, &c, 1), 0);
    OXR_CloseSocket(s, 0);
}

} // namespace
