// The receiver thread in raw mode, and the rules around it: when one is
// started, what a new request beside it gets, a failed start.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delivery_log.h"
#include "http_request.h"
#include "log_records.h"
#include "request_harness.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

typedef std::vector<std::string> Records;

std::string Rec(const char* pszMessage) {
    return std::string("HTTP_LOG_DEBUG Http/src/http_request.cpp: ") + pszMessage;
}
std::string RecvRec(const char* pszMessage) {
    return std::string("HTTP_LOG_DEBUG Http/src/http_receiver.cpp: ") + pszMessage;
}

typedef ReceiverRig Rig;

// ---------------------------------------------------------------- raw mode

TEST(Raw, BytesAfterTheHeadComeFirstThenTheStreamAsItArrives) {
    const std::string bulk = BinaryBytes(300000, 11);
    Rig rig;
    ASSERT_EQ(rig.Go(CTestScript()
                         .WaitRequest()
                         .Send(ResponseHead("text/plain") + "abc")
                         .Pause(50)
                         .Send("defg")
                         .Pause(50)
                         .Send(bulk),
                     412),
              0);
    ASSERT_TRUE(WaitReceiverEnd(rig.req, 3000));
    std::vector<Delivery> all = rig.log.All();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[0].data, "abc");
    EXPECT_EQ(all[1].data, "defg");
    EXPECT_TRUE(rig.log.Joined() == "abcdefg" + bulk);
    for (const Delivery& d : all) {
        EXPECT_EQ(d.nFirstArg, 412);
        EXPECT_EQ(d.pUserData, &rig.log);
        EXPECT_EQ(d.type, "text/plain");
        EXPECT_LE(d.data.size(), static_cast<size_t>(kHttpRecvBufSize));
    }
}

struct RawTypeRow {
    const char* name;
    std::string headType; // Content-Type of the response, none when empty
    std::string delivered;
};

TEST(Raw, ContentTypeOfTheResponseInEveryDelivery) {
    const std::string longType = "video/" + std::string(100, 'v');
    const RawTypeRow rows[] = {
        {"plain", "video/mp2t", "video/mp2t"},
        {"none", "", ""},
        {"longer than the record holds", longType, longType.substr(0, 67)},
        {"multipart without a boundary", "multipart/mixed", "multipart/mixed"},
    };
    for (const RawTypeRow& r : rows) {
        Rig rig;
        ASSERT_EQ(rig.Go(CTestScript()
                             .WaitRequest()
                             .Send(ResponseHead(r.headType) + "x")
                             .Pause(20)
                             .Send("y")),
                  0)
            << r.name;
        ASSERT_TRUE(WaitReceiverEnd(rig.req, 3000)) << r.name;
        EXPECT_EQ(rig.log.Joined(), "xy") << r.name;
        for (const Delivery& d : rig.log.All()) {
            EXPECT_EQ(d.type, r.delivered) << r.name;
            EXPECT_TRUE(d.bTypeEnded) << r.name;
        }
    }
}

TEST(Raw, ChunkedFramingIsHandedOnAsItCame) {
    const std::string framed = Chunked("hello world", {5});
    Rig rig;
    ASSERT_EQ(rig.Go(CTestScript().WaitRequest().Send(
                  ResponseHead("text/plain", "Transfer-Encoding: chunked\r\n") + framed)),
              0);
    ASSERT_TRUE(WaitReceiverEnd(rig.req, 3000));
    EXPECT_EQ(rig.log.Joined(), framed);
}

TEST(Raw, WithoutACallbackNoReceiverStartsAndRequestsFollowEachOther) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX-N: ";
    CTestServer server;
    server.Add(CTestScript()
                   .WaitRequest()
                   .Send(head + "1\r\n\r\n")
                   .WaitRequest()
                   .Send(head + "2\r\n\r\n")
                   .WaitRequest()
                   .Send(head + "3\r\n\r\n"));
    ASSERT_TRUE(server.Start());
    CHttpRequest req;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(ExchangeAndReceive(req, server), 0) << i;
        EXPECT_FALSE(req.GetReceiver().HasThread()) << i;
        EXPECT_EQ(*req.GetRecvParser().GetStatusCode(), 200);
    }
    ASSERT_TRUE(server.WaitDone(3000));
    EXPECT_EQ(server.Requests(0).size(), 3u);
}

// ---------------------------------------------------------------- starting

TEST(Receiver, ANewRequestBesideARunningReceiverIsRefused) {
    Rig rig;
    ASSERT_EQ(
        rig.Go(
            CTestScript().WaitRequest().Send(ResponseHead("text/plain") + "x").WaitPeerClose(5000)),
        0);
    ASSERT_TRUE(rig.log.WaitCount(1, 2000));
    Records recs = LoggedBy([&] {
        EXPECT_EQ(rig.req.SendMsg(kTestRequest, sizeof(kTestRequest) - 1), HTTP_ERR_SOCKET);
        EXPECT_EQ(rig.req.RecvHead(100), -1);
        EXPECT_EQ(rig.req.StartRecvThread(), -1);
    });
    EXPECT_EQ(recs, (Records{Rec("SendMsg Return -1, receiver still running"),
                             Rec("RecvHead Return -1, receiver still running"),
                             RecvRec("StartRecvThread Return -1, receiver still running")}));
    EXPECT_TRUE(rig.req.GetReceiver().HasThread());
    // nothing was sent beside the receiver
    EXPECT_EQ(rig.server.Requests(0).size(), 1u);
    EXPECT_EQ(rig.req.Close(), 0);
}

// A receiver that ended on its own (here: the stream went quiet) is joined
// when the next request starts, and that request runs normally.
TEST(Receiver, AnEndedReceiverIsJoinedByTheNextRequest) {
    Rig rig;
    rig.req.GetReceiver().SetStreamTimeOut(150);
    ASSERT_EQ(rig.Go(CTestScript()
                         .WaitRequest()
                         .Send(ResponseHead(MultipartType("fr")) +
                               MultipartBody("fr", {TestPart{"one", "a/b", true, "", ""}}))
                         .WaitRequest()
                         .Send(ResponseHead("text/plain") + "raw")
                         .WaitPeerClose(5000)),
              0);
    ASSERT_TRUE(WaitReceiverEnd(rig.req, 3000));
    EXPECT_TRUE(rig.req.GetReceiver().HasThread());
    Records recs = LoggedBy([&] { EXPECT_EQ(ExchangeAndReceive(rig.req, rig.server), 0); });
    EXPECT_EQ(recs, Records{});
    ASSERT_TRUE(rig.log.WaitCount(2, 2000));
    EXPECT_EQ(rig.log.At(0).data, "one");
    EXPECT_EQ(rig.log.At(0).nFirstArg, 0);
    EXPECT_EQ(rig.log.At(1).data, "raw");
    EXPECT_EQ(rig.log.At(1).nFirstArg, 37);
    EXPECT_EQ(rig.server.Requests(0).size(), 2u);
}

} // namespace
