// Handles shared by threads that call everything at once, Close included:
// each call completes on the live session or fails with -11, nothing
// touches freed memory (run under ASan, TSan and wine).
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "oxr.h"
#include "oxr_http.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

const int kSlots = 3;
const int kThreads = 6;
const int kRunMs = 3000;       // the storm lasts this long at least
const int kMinCalls = 1000;    // and until this many calls were made
const int kLongestMs = 30000;  // a slow host (wine) gets this long for them
const int kConnections = 3000; // more than the threads can open in the run

int OXR_HTTP_CALLBACK Count(int, void* pUser, OXR_HTTP_DATA*) {
    ++*static_cast<std::atomic<int>*>(pUser);
    return 0;
}

TEST(ApiRace, ThreadsCallEverythingOnSharedHandlesWhileOthersCloseThem) {
    CTestServer srv;
    const std::string answer = ResponseHead(MultipartType("fr")) +
                               MultipartBody("fr", {TestPart{"x", "a/b", true, "", ""}});
    for (int i = 0; i < kConnections; ++i) {
        srv.Add(CTestScript().WaitRequest(2000).Send(answer).WaitPeerClose(2000));
    }
    ASSERT_TRUE(srv.Start(60000));
    const std::string url = srv.Url("/video");
    std::atomic<int> slots[kSlots];
    for (std::atomic<int>& s : slots) {
        s = -1;
    }
    std::atomic<int> nParts{0};
    std::atomic<int> nBadResults{0};
    std::atomic<int> nCalls{0};
    const int64_t tStart = OXR_TickMs();
    auto stormGoesOn = [&] {
        const int64_t tNow = OXR_TickMs();
        return tNow < tStart + kLongestMs && (tNow < tStart + kRunMs || nCalls.load() < kMinCalls);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rnd(static_cast<unsigned>(t) * 7919u + 1u);
            while (stormGoesOn()) {
                std::atomic<int>& slot = slots[rnd() % kSlots];
                int h = slot.load();
                ++nCalls;
                if (h < 0) {
                    int hNew = OXR_HTTP_OpenEx(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 2000,
                                               Count, &nParts);
                    int nEmpty = -1;
                    if (hNew >= 0 && !slot.compare_exchange_strong(nEmpty, hNew)) {
                        OXR_HTTP_Close(hNew); // another thread filled the slot first
                    }
                    continue;
                }
                // Each result is either the live session's or -1 (no session).
                int r = 0;
                switch (rnd() % 7) {
                case 0:
                    r = OXR_HTTP_AddHeader(h, "X-Thread", std::to_string(t).c_str());
                    break;
                case 1:
                    r = OXR_HTTP_GetInfoByName(h, "Content-Type") == nullptr ? -1 : 0;
                    break;
                case 2:
                    r = OXR_HTTP_SendRequest(h, "0", nullptr, 0, 1000);
                    break;
                case 3:
                    r = OXR_HTTP_GetStreamState(h, nullptr, nullptr) >= 0 ? 0 : -1;
                    break;
                case 4:
                    r = OXR_HTTP_RemoveHeader(h, "X-Thread");
                    break;
                case 5:
                    r = OXR_HTTP_GetStatus(h, nullptr, 0) >= 0 ? 0 : -1;
                    break;
                default: {
                    // Sometimes taken out of the slot first, sometimes closed
                    // while others may still hold the handle.
                    if (rnd() % 2 == 0) {
                        int nOld = h;
                        slot.compare_exchange_strong(nOld, -1);
                    }
                    r = OXR_HTTP_Close(h);
                    if (r == 0) {
                        int nOld = h;
                        slot.compare_exchange_strong(nOld, -1);
                    }
                    break;
                }
                }
                nBadResults += (r != 0 && r != -1) ? 1 : 0;
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    for (std::atomic<int>& s : slots) {
        if (s >= 0) {
            OXR_HTTP_Close(s);
        }
    }
    EXPECT_EQ(nBadResults.load(), 0);
    EXPECT_GE(nCalls.load(), kMinCalls);
    // New sessions open, stream and close as before after the storm.
    srv.Stop();
    CTestServer after;
    after.Add(CTestScript().WaitRequest().Send(answer).WaitPeerClose(2000));
    ASSERT_TRUE(after.Start());
    std::atomic<int> nAfter{0};
    int h =
        OXR_HTTP_OpenEx(after.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000, Count, &nAfter);
    ASSERT_GE(h, 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    for (int i = 0; i < 400 && nAfter == 0; ++i) {
        OXR_Sleep(5);
    }
    EXPECT_EQ(nAfter.load(), 1);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
}

} // namespace
