// The runtime layer on its own: loopback sockets, time-outs, threads, search.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "oxr.h"
#include "test_net.h"

namespace {

struct Pair {
    int nListen = -1;
    int nClient = -1;
    int nServer = -1;
    uint16_t wPort = 0;
    ~Pair() {
        OXR_CloseSocket(nClient, 0);
        OXR_CloseSocket(nServer, 0);
        OXR_CloseSocket(nListen, 0);
    }
};

// A connected loopback pair: the client non-blocking, as the library keeps
// its sockets; the accepted side blocking.
void Connect(Pair& p, const char* pszAddr = "127.0.0.1") {
    p.nListen = TestListen(pszAddr, 0, &p.wPort);
    ASSERT_GE(p.nListen, 0);
    OXR_HOSTBUF buf;
    OXR_HOSTENT* h = OXR_ResolveHost(pszAddr, &buf);
    ASSERT_NE(h, nullptr);
    OXR_SOCKADDR addr;
    if (h->h_addrtype == OXR_AF_INET) {
        uint32_t n;
        std::memcpy(&n, h->h_addr_list[0], 4);
        OXR_MakeAddr4ByInt(n, p.wPort, &addr);
    } else {
        OXR_MakeAddr6(h->h_addr_list[0], p.wPort, &addr);
    }
    p.nClient = OXR_CreateSocket(h->h_addrtype, OXR_SOCK_STREAM, 0);
    ASSERT_GE(p.nClient, 0);
    int r = OXR_ConnectStart(p.nClient, &addr);
    if (r == OXR_E_WOULDBLOCK) {
        ASSERT_GT(OXR_WaitWritable(p.nClient, 2000), 0);
        r = OXR_ConnectResult(p.nClient);
    }
    ASSERT_EQ(r, 0);
    p.nServer = TestAccept(p.nListen, 2000);
    ASSERT_GE(p.nServer, 0);
}

struct ResolveRow {
    std::string name;
    int nFamily; // 0: refused
    int nLength;
};

TEST(RuntimeResolve, NumericLocalAndRefusedNames) {
    // A label longer than 63 characters is refused without asking any server.
    const ResolveRow rows[] = {
        {"127.0.0.1", OXR_AF_INET, 4},
        {"::1", OXR_AF_INET6, 16},
        {"[::1]", OXR_AF_INET6, 16},
        {"localhost", OXR_AF_INET, 4}, // its IPv4 address is preferred
        {std::string(70, 'a') + ".invalid", 0, 0},
        {"", 0, 0},
    };
    for (const ResolveRow& r : rows) {
        OXR_HOSTBUF buf;
        OXR_HOSTENT* h = OXR_ResolveHost(r.name.c_str(), &buf);
        if (r.nFamily == 0) {
            EXPECT_EQ(h, nullptr) << r.name;
            continue;
        }
        ASSERT_NE(h, nullptr) << r.name;
        EXPECT_EQ(h->h_addrtype, r.nFamily) << r.name;
        EXPECT_EQ(h->h_length, r.nLength) << r.name;
    }
}

TEST(RuntimeResolve, IntoTheCallersBuffer) {
    OXR_HOSTBUF a;
    OXR_HOSTBUF b;
    OXR_HOSTENT* pa = OXR_ResolveHost("127.0.0.1", &a);
    OXR_HOSTENT* pb = OXR_ResolveHost("::1", &b);
    ASSERT_EQ(pa, &a.entry);
    ASSERT_EQ(pb, &b.entry);
    // each answer stays in its own buffer
    EXPECT_EQ(pa->h_addrtype, OXR_AF_INET);
    EXPECT_EQ(pb->h_addrtype, OXR_AF_INET6);
    EXPECT_EQ(std::memcmp(pa->h_addr_list[0], "\x7f\x00\x00\x01", 4), 0);
    EXPECT_EQ(OXR_ResolveHost(nullptr, &a), nullptr);
}

TEST(RuntimeSocket, ConnectRefusedOnLoopback) {
    uint16_t wPort = 0;
    int nListen = TestListen("127.0.0.1", 0, &wPort);
    ASSERT_GE(nListen, 0);
    OXR_CloseSocket(nListen, 0); // the port is now closed
    const unsigned char loopback[4] = {127, 0, 0, 1};
    uint32_t nAddr;
    std::memcpy(&nAddr, loopback, 4);
    OXR_SOCKADDR addr;
    OXR_MakeAddr4ByInt(nAddr, wPort, &addr);
    int s = OXR_CreateSocket(OXR_AF_INET, OXR_SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    int r = OXR_ConnectStart(s, &addr);
    if (r == OXR_E_WOULDBLOCK) {
        EXPECT_GT(OXR_WaitWritable(s, 2000), 0);
        r = OXR_ConnectResult(s);
    }
    EXPECT_EQ(r, -1);
    OXR_CloseSocket(s, 0);
}

// A non-blocking receive never waits: it says so, and the wait for data is
// the caller's, bounded.
TEST(RuntimeSocket, NonBlockingReceiveAndBoundedWait) {
    Pair p;
    Connect(p);
    char buf[16];
    EXPECT_EQ(OXR_Recv(p.nClient, buf, sizeof(buf)), OXR_E_WOULDBLOCK);
    int64_t t0 = OXR_TickMs();
    EXPECT_EQ(OXR_WaitReadable(p.nClient, 200), 0);
    int64_t dt = OXR_TickMs() - t0;
    EXPECT_GE(dt, 150);
    EXPECT_LT(dt, 5000);
    ASSERT_EQ(OXR_Sendn(p.nServer, "abcde", 5, 0), 5);
    EXPECT_GT(OXR_WaitReadable(p.nClient, 2000), 0);
    EXPECT_EQ(OXR_Recv(p.nClient, buf, sizeof(buf)), 5);
    OXR_CloseSocket(p.nServer, 0);
    p.nServer = -1;
    EXPECT_GT(OXR_WaitReadable(p.nClient, 2000), 0);
    EXPECT_EQ(OXR_Recv(p.nClient, buf, sizeof(buf)), 0);
}

TEST(RuntimeSocket, SendToClosedPeerFailsWithoutSignal) {
    Pair p;
    Connect(p);
    OXR_CloseSocket(p.nServer, 0);
    p.nServer = -1;
    std::string big(65536, 'x');
    int r = 0;
    for (int i = 0; i < 200 && r >= 0; ++i) {
        r = OXR_Sendn(p.nClient, big.data(), static_cast<int>(big.size()), 0);
        OXR_Sleep(5);
    }
    EXPECT_LT(r, 0);
}

TEST(RuntimeSocket, ShutdownWakesBlockedReceive) {
#if defined(_WIN32)
    GTEST_SKIP() << "Winsock does not wake a blocked receive on shutdown; receivers wait in slices";
#endif
    Pair p;
    Connect(p);
    OXR_SetNonBlocking(p.nClient, 0);
    struct Ctx {
        int nSocket;
        std::atomic<int> nResult{99};
    } ctx;
    ctx.nSocket = p.nClient;
    OXR_THREAD h = OXR_Thread_Create(
        [](void* arg) -> int {
            Ctx* c = static_cast<Ctx*>(arg);
            char buf[8];
            c->nResult = OXR_Recv(c->nSocket, buf, sizeof(buf));
            return 0;
        },
        &ctx, 0, 0, 0, 0);
    ASSERT_NE(h, nullptr);
    OXR_Sleep(100);
    OXR_ShutdownSocket(p.nClient);
    EXPECT_EQ(OXR_Thread_Wait(h), 0);
    EXPECT_LE(ctx.nResult.load(), 0);
}

TEST(RuntimeSocket, Ipv6Loopback) {
    Pair p;
    Connect(p, "::1");
    ASSERT_EQ(OXR_Sendn(p.nClient, "v6", 2, 0), 2);
    char buf[2];
    EXPECT_EQ(TestRecvn(p.nServer, buf, 2, 1000), 2);
}

TEST(RuntimeThread, IsCurrentOnlyOnItsOwnThread) {
    struct Ctx {
        OXR_THREAD h = nullptr;
        std::atomic<int> nSeen{-1};
        std::atomic<int> bReady{0};
    } ctx;
    ctx.h = OXR_Thread_Create(
        [](void* arg) -> int {
            Ctx* c = static_cast<Ctx*>(arg);
            while (!c->bReady) {
                OXR_Sleep(1);
            }
            c->nSeen = OXR_Thread_IsCurrent(c->h);
            return 0;
        },
        &ctx, 0, 0, 0, 0);
    ASSERT_NE(ctx.h, nullptr);
    EXPECT_FALSE(OXR_Thread_IsCurrent(ctx.h));
    ctx.bReady = 1;
    OXR_THREAD h = ctx.h;
    EXPECT_EQ(OXR_Thread_Wait(h), 0);
    EXPECT_EQ(ctx.nSeen.load(), 1);
}

#ifndef _WIN32
// A pool thread is free for the next task by the time its last one is seen
// done: the process's end joins it then, rather than losing it as busy.
TEST(RuntimeThread, FinishedTaskFreesItsThreadAtOnce) {
    std::atomic<std::thread::id> seen{};
    std::thread::id first;
    for (int i = 0; i < 200; ++i) {
        OXR_THREAD h = OXR_Thread_Create(
            [](void* arg) -> int {
                static_cast<std::atomic<std::thread::id>*>(arg)->store(std::this_thread::get_id());
                return 0;
            },
            &seen, 0, 0, 0, 0);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(OXR_Thread_Wait(h), 0);
        if (i == 0) {
            first = seen.load();
        }
        ASSERT_EQ(seen.load(), first) << "task " << i << " started a new thread";
    }
}
#endif

TEST(RuntimeMutex, LockExcludesOtherThreads) {
    struct Ctx {
        OXR_MUTEX m;
        long nCount = 0;
    } ctx;
    OXR_MutexCreate(&ctx.m, 0);
    auto work = [](void* arg) -> int {
        Ctx* c = static_cast<Ctx*>(arg);
        for (int i = 0; i < 20000; ++i) {
            OXR_MutexLock(&c->m);
            ++c->nCount;
            OXR_MutexUnlock(&c->m);
        }
        return 0;
    };
    OXR_THREAD a = OXR_Thread_Create(work, &ctx, 0, 0, 0, 0);
    OXR_THREAD b = OXR_Thread_Create(work, &ctx, 0, 0, 0, 0);
    OXR_Thread_Wait(a);
    OXR_Thread_Wait(b);
    EXPECT_EQ(ctx.nCount, 40000);
    OXR_MutexDestroy(&ctx.m);
}

struct SearchRow {
    const char* text;
    const char* pattern;
    int expected; // offset, or -1
};

TEST(RuntimeString, CaseInsensitiveSearchAndCompare) {
    const SearchRow rows[] = {
        {"Content-Type: x", "content-type", 0},
        {"a\r\ncontent-LENGTH: 5", "Content-Length", 3},
        {"abc", "abcd", -1},
        {"abc", "", 0},
        {"", "a", -1},
        {"xxBoUnDaRy", "boundary", 2},
    };
    for (const SearchRow& r : rows) {
        const char* pEnd = r.text + std::strlen(r.text);
        const char* p = OXR_Memcasemem(r.text, pEnd, r.pattern, std::strlen(r.pattern));
        EXPECT_EQ(p == nullptr ? -1 : static_cast<int>(p - r.text), r.expected) << r.text;
    }
    EXPECT_EQ(OXR_Strcasecmp("Content-Type", "CONTENT-TYPE"), 0);
    EXPECT_NE(OXR_Strcasecmp("Content-Type", "Content-Typ"), 0);
    EXPECT_NE(OXR_Strcasecmp("a", "b"), 0);
    EXPECT_EQ(OXR_Strcasecmp("", ""), 0);
    // exact-case search stays exact
    EXPECT_EQ(OXR_Strstr("Boundary", "boundary"), nullptr);
}

TEST(RuntimeString, BoundedSearchIgnoresZeroBytesAndEnd) {
    const char data[] = {'a', '\0', 'b', '\r', '\n', '\r', '\n', 'z'};
    const char* end = data + sizeof(data);
    EXPECT_EQ(OXR_Memmem(data, end, "\r\n\r\n", 4), data + 3);
    // the needle straddles the end of the range: not found
    EXPECT_EQ(OXR_Memmem(data, data + 6, "\r\n\r\n", 4), nullptr);
    EXPECT_EQ(OXR_Memmem(data, end, "\0b", 2), data + 1);
    EXPECT_EQ(OXR_Memcasemem(data, end, "Z", 1), data + 7);
    EXPECT_EQ(OXR_Memmem(data, data, "a", 1), nullptr);
}

} // namespace
