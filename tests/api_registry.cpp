// Handle bookkeeping through the public interface: a thousand sessions, the
// order in which handles come back, and failed opens that must not leak.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "oxr.h"
#include "test_net.h"
#include "oxr_http.h"
#include "stderr_capture.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace {

// A thousand sessions on a loopback server hold two thousand descriptors.
bool RaiseDescriptorLimit() {
#if !defined(_WIN32)
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 4096) {
        lim.rlim_cur = lim.rlim_max < 4096 ? lim.rlim_max : 4096;
        return setrlimit(RLIMIT_NOFILE, &lim) == 0;
    }
#endif
    return true;
}

const bool g_bLimitRaised = RaiseDescriptorLimit();

// Accepts every connection and holds it until destroyed; a thousand sessions
// need a thousand live connections but no conversation.
class AcceptSink {
public:
    AcceptSink() {
        m_nListen = TestListen("127.0.0.1", 0, &m_wPort);
        if (m_nListen >= 0) {
            m_hThread = OXR_Thread_Create(Proc, this, 0, 0, 0, 0);
        }
    }
    ~AcceptSink() {
        m_bStop = 1;
        if (m_hThread != nullptr) {
            OXR_Thread_Wait(m_hThread);
        }
        for (int s : m_sockets) {
            OXR_CloseSocket(s, 0);
        }
        OXR_CloseSocket(m_nListen, 0);
    }
    bool Ok() const { return m_nListen >= 0 && m_hThread != nullptr; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_wPort) + "/"; }

private:
    static int Proc(void* pArg) {
        AcceptSink* self = static_cast<AcceptSink*>(pArg);
        // Bounded: the sink lives at most two minutes.
        for (int i = 0; i < 120000 / 20 && !self->m_bStop; ++i) {
            int s;
            while ((s = TestAccept(self->m_nListen, 20)) >= 0) {
                self->m_sockets.push_back(s); // only this thread touches the list until joined
            }
        }
        return 0;
    }

    int m_nListen = -1;
    uint16_t m_wPort = 0;
    OXR_THREAD m_hThread = nullptr;
    std::atomic<int> m_bStop{0};
    std::vector<int> m_sockets;
};

// A loopback port where nothing listens.
std::string RefusingUrl() {
    uint16_t wPort = 0;
    int s = TestListen("127.0.0.1", 0, &wPort);
    OXR_CloseSocket(s, 0);
    return "http://127.0.0.1:" + std::to_string(wPort) + "/";
}

TEST(ApiRegistry, ThousandSessionsThenFullThenReuse) {
    ASSERT_TRUE(g_bLimitRaised);
    AcceptSink sink;
    ASSERT_TRUE(sink.Ok());
    std::string url = sink.Url();
    std::vector<int> handles;
    for (int i = 0; i < 1000; ++i) {
        int h = OXR_HTTP_Open(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000);
        ASSERT_GE(h, 0) << "open " << i << " failed with " << OXR_HTTP_GetErrNo(-1);
        handles.push_back(h);
    }
    std::set<int> unique(handles.begin(), handles.end());
    ASSERT_EQ(unique.size(), 1000u);
    EXPECT_EQ(*unique.begin(), 0);
    EXPECT_EQ(*unique.rbegin(), 999);

    OXR_HTTP_SetLog(HTTP_LOG_DEBUG);
    StderrCapture cap;
    EXPECT_EQ(OXR_HTTP_Open(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000), -1);
    std::string log = cap.Finish();
    OXR_HTTP_SetLog(-1);
    EXPECT_NE(log.find("Create HttpSession return NULL, Index Pool Is Empty\n"), std::string::npos);
    EXPECT_NE(log.find("Create HttpSession return NULL, Func Return -1\n"), std::string::npos);

    int nFreed = handles[417];
    EXPECT_EQ(OXR_HTTP_Close(nFreed), 0);
    int h = OXR_HTTP_Open(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000);
    EXPECT_EQ(h, nFreed);
    handles[417] = h;
    for (int x : handles) {
        EXPECT_EQ(OXR_HTTP_Close(x), 0);
    }
}

TEST(ApiRegistry, FailedOpensGiveTheirHandlesBack) {
    std::string refused = RefusingUrl();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(OXR_HTTP_Open(refused.c_str(), HTTP_METHOD_GET, nullptr, 0, 2000), -1);
        ASSERT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_CONNECT);
    }
    AcceptSink sink;
    ASSERT_TRUE(sink.Ok());
    std::string url = sink.Url();
    std::vector<int> handles;
    for (int i = 0; i < 1000; ++i) {
        int h = OXR_HTTP_Open(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000);
        ASSERT_GE(h, 0) << "open " << i;
        handles.push_back(h);
    }
    for (int x : handles) {
        EXPECT_EQ(OXR_HTTP_Close(x), 0);
    }
}

TEST(ApiRegistry, ClosedHandleGoesToTheBackOfThePool) {
    AcceptSink sink;
    ASSERT_TRUE(sink.Ok());
    std::string url = sink.Url();
    int a = OXR_HTTP_Open(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000);
    int b = OXR_HTTP_Open(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_EQ(OXR_HTTP_Close(a), 0);
    // a is reused only after every other free handle: of the next 999 opens
    // (all free handles) it is the last.
    std::vector<int> more;
    for (int i = 0; i < 999; ++i) {
        int h = OXR_HTTP_Open(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000);
        ASSERT_GE(h, 0);
        more.push_back(h);
    }
    EXPECT_EQ(std::count(more.begin(), more.end(), a), 1);
    EXPECT_EQ(more.back(), a); // the last free handle is the one given back
    for (int x : more) {
        OXR_HTTP_Close(x);
    }
    OXR_HTTP_Close(b);
}

} // namespace
