// Part of test_tls: the TLS client when something takes long or is cut short
// (stalled handshakes, time-outs, a waker, shutdown() from another thread,
// a peer that does not read), small and large reads, many connections at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "oxr.h"
#include "oxr_tls.h"
#include "tls_test_kit.h"

namespace {

#define REQUIRE_PEERS() ASSERT_TRUE(Peers().ok) << Peers().error

// ---------------------------------------------------------------- handshake

TEST(TlsHandshakeWait, StalledPeerTimesOut) {
    REQUIRE_PEERS();
    TcpLink link(Peers().Port("stall"));
    ASSERT_GE(link.Socket(), 0);
    TlsConn c;
    int64_t t0 = OXR_TickMs();
    c.nResult = OXR_TlsConnect(link.Socket(), "localhost", 1, nullptr, 400, nullptr, &c.pTls);
    int64_t nTook = OXR_TickMs() - t0;
    EXPECT_EQ(c.nResult, OXR_TLS_E_TIMEOUT) << OXR_TlsResultText(c.nResult);
    EXPECT_EQ(c.pTls, nullptr);
    EXPECT_GE(nTook, 390);
    EXPECT_LT(nTook, 400 + 150);
}

// Wakes a waker as a closing session does (and shuts the socket down, which
// a poll() needs), or only shuts the socket down, after nMs; notes when.
struct Trigger {
    std::atomic<int64_t> tFired{0};
    std::thread th;
    void Wake(OXR_WAKER* pWaker, int nSocket, int nMs) {
        th = std::thread([this, pWaker, nSocket, nMs] {
            OXR_Sleep(nMs);
            tFired = OXR_TickMs();
            OXR_WakerWake(pWaker);
            OXR_ShutdownSocket(nSocket);
        });
    }
    void Shutdown(int nSocket, int nMs) {
        th = std::thread([this, nSocket, nMs] {
            OXR_Sleep(nMs);
            tFired = OXR_TickMs();
            OXR_ShutdownSocket(nSocket);
        });
    }
    ~Trigger() {
        if (th.joinable()) {
            th.join();
        }
    }
};

TEST(TlsHandshakeWait, AWakeEndsIt) {
    REQUIRE_PEERS();
    TcpLink link(Peers().Port("stall"));
    ASSERT_GE(link.Socket(), 0);
    OXR_WAKER* pWaker = OXR_WakerCreate();
    ASSERT_NE(pWaker, nullptr);
    OXR_WakerWatch(pWaker, link.Socket());
    TlsConn c;
    Trigger trigger;
    trigger.Wake(pWaker, link.Socket(), 300);
    c.nResult = OXR_TlsConnect(link.Socket(), "localhost", 1, nullptr, 10000, pWaker, &c.pTls);
    int64_t tEnd = OXR_TickMs();
    trigger.th.join();
    EXPECT_EQ(c.nResult, OXR_TLS_E_STOPPED) << OXR_TlsResultText(c.nResult);
    EXPECT_LT(tEnd - trigger.tFired, 150);
    OXR_WakerWatch(pWaker, -1);
    OXR_WakerFree(pWaker);
}

// On POSIX a shutdown alone ends the handshake's poll(); Winsock's waits
// do not notice it, which is what the waker is for there (AWakeEndsIt).
#if !defined(_WIN32)
TEST(TlsHandshakeWait, ShutdownFromAnotherThreadEndsIt) {
    REQUIRE_PEERS();
    TcpLink link(Peers().Port("stall"));
    ASSERT_GE(link.Socket(), 0);
    TlsConn c;
    Trigger trigger;
    trigger.Shutdown(link.Socket(), 300);
    c.nResult = OXR_TlsConnect(link.Socket(), "localhost", 1, nullptr, 10000, nullptr, &c.pTls);
    int64_t tEnd = OXR_TickMs();
    trigger.th.join();
    EXPECT_EQ(c.nResult, OXR_TLS_E_PROTOCOL) << OXR_TlsResultText(c.nResult);
    EXPECT_LT(tEnd - trigger.tFired, 150);
}
#endif

// ---------------------------------------------------------------- receiving

TEST(TlsReceive, ShutdownWakesTheReceiveLoop) {
    REQUIRE_PEERS();
    TcpLink link(Peers().Port("noread"));
    ASSERT_GE(link.Socket(), 0);
    TlsConn c;
    c.nResult = OXR_TlsConnect(link.Socket(), "localhost", 0, nullptr, 5000, nullptr, &c.pTls);
    ASSERT_EQ(c.nResult, OXR_TLS_OK) << OXR_TlsResultText(c.nResult);
    Trigger trigger;
    trigger.Shutdown(link.Socket(), 300);
    // On POSIX each wait is far longer than the bound below, so only the
    // shutdown itself can end it in time. Winsock (and wine) does not wake a
    // select() when another thread shuts the socket down, so there the loop
    // waits in short slices, as the runtime's receivers do.
#if defined(_WIN32)
    const int nSliceMs = 50;
#else
    const int nSliceMs = 2000;
#endif
    int r = OXR_TLS_WOULD_BLOCK;
    int64_t tGiveUp = OXR_TickMs() + 10000;
    char buf[4096];
    while (r == OXR_TLS_WOULD_BLOCK && OXR_TickMs() < tGiveUp) {
        r = OXR_TlsRecv(c.pTls, buf, sizeof(buf));
        if (r == OXR_TLS_WOULD_BLOCK && OXR_TlsPending(c.pTls) == 0) {
            OXR_WaitReadable(link.Socket(), nSliceMs);
        }
    }
    int64_t tEnd = OXR_TickMs();
    trigger.th.join();
    EXPECT_LE(r, 0);
    EXPECT_NE(r, OXR_TLS_WOULD_BLOCK);
    EXPECT_LT(tEnd - trigger.tFired, 100);
}

TEST(TlsReceive, SmallReadsKeepTheRestPending) {
    REQUIRE_PEERS();
    const size_t nSize = static_cast<size_t>(std::stoul(Peers().Get("small_size")));
    TcpLink link(Peers().Port("trusted"));
    ASSERT_GE(link.Socket(), 0);
    TlsConn c;
    c.nResult = OXR_TlsConnect(link.Socket(), "localhost", 0, nullptr, 5000, nullptr, &c.pTls);
    ASSERT_EQ(c.nResult, OXR_TLS_OK);
    std::string head, body;
    RecvStats st;
    EXPECT_EQ(HttpGet(c.pTls, link.Socket(), "/small.bin", &head, &body, 7, &st), 0);
    EXPECT_EQ(PatternMismatch(body, nSize), std::string::npos) << body.size() << " bytes";
    EXPECT_GT(st.nMaxPending, 7) << "a record holds more than a 7-byte read";
    EXPECT_FALSE(st.bBlockedPending) << "OXR_TlsRecv would block with data pending";
}

TEST(TlsReceive, LargeFile) {
    REQUIRE_PEERS();
    const size_t nSize = static_cast<size_t>(std::stoul(Peers().Get("large_size")));
    TcpLink link(Peers().Port("tls12"));
    ASSERT_GE(link.Socket(), 0);
    TlsConn c;
    c.nResult = OXR_TlsConnect(link.Socket(), "localhost", 0, nullptr, 5000, nullptr, &c.pTls);
    ASSERT_EQ(c.nResult, OXR_TLS_OK);
    std::string head, body;
    int64_t t0 = OXR_TickMs();
    EXPECT_EQ(HttpGet(c.pTls, link.Socket(), "/large.bin", &head, &body), 0);
    int64_t nMs = OXR_TickMs() - t0;
    EXPECT_EQ(PatternMismatch(body, nSize), std::string::npos) << body.size() << " bytes";
    std::printf("  %zu bytes from nginx (TLS 1.2, AES-128-GCM) in %lld ms: %.0f MB/s\n",
                body.size(), static_cast<long long>(nMs),
                nMs > 0 ? body.size() / 1e3 / static_cast<double>(nMs) : 0.0);
}

// ---------------------------------------------------------------- sending

TEST(TlsSend, LargeRequestArrivesWhole) {
    REQUIRE_PEERS();
    TcpLink link(Peers().Port("sink"));
    ASSERT_GE(link.Socket(), 0);
    TlsConn c;
    c.nResult = OXR_TlsConnect(link.Socket(), "localhost", 0, nullptr, 5000, nullptr, &c.pTls);
    ASSERT_EQ(c.nResult, OXR_TLS_OK);
    const size_t nSize = 3 * 1024 * 1024 + 17;
    std::string data = std::to_string(nSize) + "\n";
    for (size_t i = 0; i < nSize; ++i) {
        data += static_cast<char>(PatternByte(i));
    }
    EXPECT_EQ(OXR_TlsSend(c.pTls, data.data(), static_cast<int>(data.size()), 5000, nullptr),
              static_cast<int>(data.size()));
    std::string answer;
    EXPECT_EQ(RecvAll(c.pTls, link.Socket(), &answer, 10000), 0);
    EXPECT_EQ(answer, std::to_string(nSize) + " ok\n");
}

TEST(TlsSend, PeerNotReadingTimesOut) {
    REQUIRE_PEERS();
    TcpLink link(Peers().Port("noread"));
    ASSERT_GE(link.Socket(), 0);
    TlsConn c;
    c.nResult = OXR_TlsConnect(link.Socket(), "localhost", 0, nullptr, 5000, nullptr, &c.pTls);
    ASSERT_EQ(c.nResult, OXR_TLS_OK);
    std::vector<char> data(64 * 1024 * 1024, 'x');
    int64_t t0 = OXR_TickMs();
    int r = OXR_TlsSend(c.pTls, data.data(), static_cast<int>(data.size()), 300, nullptr);
    int64_t nTook = OXR_TickMs() - t0;
    EXPECT_EQ(r, OXR_TLS_E_TIMEOUT);
    EXPECT_GE(nTook, 290);
    EXPECT_LT(nTook, 10000);
}

TEST(TlsSend, AWakeEndsAWaitingSend) {
    REQUIRE_PEERS();
    TcpLink link(Peers().Port("noread"));
    ASSERT_GE(link.Socket(), 0);
    OXR_WAKER* pWaker = OXR_WakerCreate();
    ASSERT_NE(pWaker, nullptr);
    OXR_WakerWatch(pWaker, link.Socket());
    TlsConn c;
    c.nResult = OXR_TlsConnect(link.Socket(), "localhost", 0, nullptr, 5000, pWaker, &c.pTls);
    ASSERT_EQ(c.nResult, OXR_TLS_OK);
    std::vector<char> data(64 * 1024 * 1024, 'y');
    Trigger trigger;
    trigger.Wake(pWaker, link.Socket(), 1000);
    int r = OXR_TlsSend(c.pTls, data.data(), static_cast<int>(data.size()), -1, pWaker);
    int64_t tEnd = OXR_TickMs();
    trigger.th.join();
    EXPECT_EQ(r, OXR_TLS_E_STOPPED);
    EXPECT_LT(tEnd - trigger.tFired, 150);
    OXR_TlsFree(c.pTls);
    c.pTls = nullptr;
    OXR_WakerWatch(pWaker, -1);
    OXR_WakerFree(pWaker);
}

// ---------------------------------------------------------------- threads

TEST(TlsThreads, ConnectionsOnSeveralThreadsAtOnce) {
    REQUIRE_PEERS();
    const size_t nSize = static_cast<size_t>(std::stoul(Peers().Get("small_size")));
    unsigned char pin[32];
    ASSERT_TRUE(Peers().Fingerprint("trusted", pin));
    const int nThreads = 6, nEach = 3;
    std::atomic<int> nGood{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < nThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int k = 0; k < nEach; ++k) {
                // alternately from the TLS 1.2 server and the 1.2-or-1.3 one
                TcpLink link(Peers().Port((i + k) % 2 ? "trusted" : "tls12"));
                OXR_TLS* pTls = nullptr;
                if (OXR_TlsConnect(link.Socket(), "localhost", 1, pin, 5000, nullptr, &pTls) != 0) {
                    continue;
                }
                std::string head, body;
                if (HttpGet(pTls, link.Socket(), "/small.bin", &head, &body, 16384 + i) == 0 &&
                    PatternMismatch(body, nSize) == std::string::npos) {
                    ++nGood;
                }
                OXR_TlsFree(pTls);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(nGood.load(), nThreads * nEach);
}

} // namespace
