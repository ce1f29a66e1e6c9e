// Closing a transport whose receiver runs: prompt from every state, no
// callback after Close returned, and the descriptor closed only after the
// receiver is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "delivery_log.h"
#include "http_request.h"
#include "request_harness.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

// Close tests report the transport's handle as 5.
struct Rig : ReceiverRig {
    int Go(const CTestScript& script) { return ReceiverRig::Go(script, 5); }
};

std::string Frames(int n) {
    std::vector<TestPart> parts;
    for (int i = 0; i < n; ++i) {
        TestPart p;
        p.body = "frame " + std::to_string(i);
        parts.push_back(p);
    }
    return MultipartBody("fr", parts);
}

struct CloseRow {
    const char* name;
    std::string head;
    std::string stream; // sent after the head, before the server goes quiet
    size_t nBefore;     // deliveries to wait for before closing
};

// Close from a receiver that waits for data, in every mode and place.
TEST(Close, PromptFromEveryWaitingState) {
    const std::string multi = ResponseHead(MultipartType("fr"));
    const CloseRow rows[] = {
        {"raw, waiting for bytes", ResponseHead("text/plain"), "", 0},
        {"raw, after some bytes", ResponseHead("text/plain"), "abc", 1},
        {"multipart, seeking the first part head", multi, "", 0},
        {"multipart, inside a part head", multi, "--fr\r\nContent-Length: 5\r\n", 0},
        {"multipart, inside a sized body", multi,
         "--fr\r\nContent-Length: 50000\r\n\r\n" + std::string(20000, 'b'), 0},
        {"multipart, inside a lengthless body", multi, "--fr\r\n\r\n" + std::string(30000, 'o'), 0},
        {"multipart, between parts", multi, Frames(2), 2},
        {"multipart chunked, inside a chunk",
         ResponseHead(MultipartType("fr"), "Transfer-Encoding: chunked\r\n"),
         "400\r\n--fr\r\nContent-Length: 900\r\n\r\nxyz", 0},
    };
    for (const CloseRow& r : rows) {
        Rig rig;
        ASSERT_EQ(
            rig.Go(CTestScript().WaitRequest().Send(r.head + r.stream).Mark(1).WaitPeerClose(5000)),
            0)
            << r.name;
        ASSERT_TRUE(rig.server.WaitMark(1, 2000)) << r.name;
        ASSERT_TRUE(rig.log.WaitCount(r.nBefore, 2000)) << r.name;
        OXR_Sleep(30); // let the receiver settle into its wait
        const int64_t t0 = OXR_TickMs();
        EXPECT_EQ(rig.req.Close(), 0) << r.name;
        EXPECT_LT(OXR_TickMs() - t0, 500) << r.name;
        EXPECT_TRUE(rig.req.GetReceiver().Ended()) << r.name;
        EXPECT_FALSE(rig.req.GetReceiver().HasThread()) << r.name;
        EXPECT_FALSE(rig.req.IsConnected()) << r.name;
        // incomplete data never reaches the callback
        EXPECT_EQ(rig.log.Count(), r.nBefore) << r.name;
        ASSERT_TRUE(rig.server.WaitDone(3000)) << r.name;
        EXPECT_TRUE(rig.server.PeerClosed(0)) << r.name;
    }
}

// Close while a callback runs: it waits for that callback, delivers nothing
// more (not even parts already held), and nothing runs after it returned.
TEST(Close, WaitsForARunningCallbackAndStopsDeliveries) {
    const char* const modes[] = {"multipart", "raw"};
    for (const char* mode : modes) {
        const bool bMulti = std::string(mode) == "multipart";
        Rig rig;
        rig.log.OnDelivery([](const Delivery&) { OXR_Sleep(200); });
        // many parts in one send: the receiver holds several when Close comes
        const std::string stream =
            bMulti ? ResponseHead(MultipartType("fr")) + Frames(200) : ResponseHead("text/plain");
        CTestScript script;
        script.WaitRequest().Send(stream);
        if (!bMulti) {
            script.Send("first").Pause(20).SendPieces(std::string(5000, 'r'), 10, 1);
        }
        ASSERT_EQ(rig.Go(script.WaitPeerClose(5000)), 0) << mode;
        ASSERT_TRUE(rig.log.WaitCount(1, 2000)) << mode;
        ASSERT_EQ(rig.log.InCallback(), 1) << mode;
        const int64_t t0 = OXR_TickMs();
        EXPECT_EQ(rig.req.Close(), 0) << mode;
        const int64_t nTook = OXR_TickMs() - t0;
        EXPECT_LT(nTook, 1000) << mode;
        EXPECT_EQ(rig.log.InCallback(), 0) << mode;
        const size_t nAtReturn = rig.log.Count();
        EXPECT_EQ(nAtReturn, 1u) << mode;
        OXR_Sleep(250);
        EXPECT_EQ(rig.log.Count(), nAtReturn) << mode;
    }
}

// The destructor runs the same steps: a live receiver is stopped and joined.
TEST(Close, DestroyingATransportStopsItsReceiver) {
    CTestServer server;
    CDeliveryLog log;
    server.Add(CTestScript()
                   .WaitRequest()
                   .Send(ResponseHead(MultipartType("fr")) + Frames(1))
                   .WaitPeerClose(5000));
    ASSERT_TRUE(server.Start());
    const int64_t t0 = OXR_TickMs();
    {
        CHttpRequest req;
        req.SetDataCallback(1, CDeliveryLog::Callback, &log);
        ASSERT_EQ(ExchangeAndReceive(req, server), 0);
        ASSERT_TRUE(log.WaitCount(1, 2000));
    }
    EXPECT_LT(OXR_TickMs() - t0, 1000);
    ASSERT_TRUE(server.WaitDone(3000));
    EXPECT_TRUE(server.PeerClosed(0));
    EXPECT_EQ(log.Count(), 1u);
}

// Sessions come and go while others stream: a closed session's descriptor
// is only released after its receiver is gone, so a neighbour that gets the
// same number never has its bytes read by a stale receiver.
TEST(Close, NeighboursKeepTheirStreamsWhenOthersClose) {
    const int kRounds = 20;
    CTestServer server;
    server.Add(CTestScript()
                   .WaitRequest()
                   .Send(ResponseHead("text/plain"))
                   .SendPieces(std::string(20000, 'k'), 100, 5)
                   .WaitPeerClose(5000));
    for (int i = 0; i < kRounds; ++i) {
        server.Add(
            CTestScript().WaitRequest().Send(ResponseHead("text/plain") + "s").WaitPeerClose(5000));
    }
    ASSERT_TRUE(server.Start());
    CDeliveryLog keeper;
    CHttpRequest keep;
    keep.SetDataCallback(0, CDeliveryLog::Callback, &keeper);
    ASSERT_EQ(ExchangeAndReceive(keep, server), 0);
    for (int i = 0; i < kRounds; ++i) {
        CDeliveryLog log;
        CHttpRequest req;
        req.SetDataCallback(1, CDeliveryLog::Callback, &log);
        ASSERT_EQ(ExchangeAndReceive(req, server), 0);
        ASSERT_TRUE(log.WaitCount(1, 2000));
        EXPECT_EQ(req.Close(), 0);
        EXPECT_EQ(log.Joined(), "s");
    }
    EXPECT_TRUE(keeper.WaitCount(1, 2000));
    int64_t tEnd = OXR_TickMs() + 5000;
    while (keeper.Joined().size() < 20000 && OXR_TickMs() < tEnd) {
        OXR_Sleep(5);
    }
    EXPECT_EQ(keeper.Joined(), std::string(20000, 'k'));
}

} // namespace
