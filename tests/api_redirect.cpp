// Redirects (HTTP_OPT_FOLLOW_REDIRECTS) and link-local IPv6 addresses with
// a zone, through the public interface.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "oxr.h"
#include "oxr_http.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

std::string Redirect(int nStatus, const std::string& location) {
    return "HTTP/1.1 " + std::to_string(nStatus) + " Moved\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\n\r\n";
}

std::string RequestLine(const std::string& request) {
    return request.substr(0, request.find("\r\n"));
}

std::string Body(const std::string& request) {
    const size_t at = request.find("\r\n\r\n");
    return at == std::string::npos ? "" : request.substr(at + 4);
}

struct HopRow {
    const char* name;
    int nMethod;
    std::string body;
    int nFollow;
    std::string location; // "@B": the second device as "localhost", "@C": as "127.0.0.1"
    int nStatus;          // of the redirect
    int nFinal;           // the status the application sees
    std::string line;     // request line of the second request, "" when none came
    bool bCredentials;    // it carried the Authorization
    std::string secondBody;
};

// Which redirects are followed, with what method, body and credentials;
// the application sees the final response.
TEST(ApiRedirect, WhatIsFollowedAndWhatGoesAlong) {
    const HopRow rows[] = {
        {"relative Location", HTTP_METHOD_GET, "", 5, "/next", 302, 200, "GET /next HTTP/1.1", true,
         ""},
        {"absolute, same host, another port", HTTP_METHOD_GET, "", 5, "@C/next?x=1#top", 301, 200,
         "GET /next?x=1 HTTP/1.1", true, ""},
        {"another host: no credentials", HTTP_METHOD_GET, "", 5, "@B/cam", 301, 200,
         "GET /cam HTTP/1.1", false, ""},
        {"303 after a POST: GET without body", HTTP_METHOD_POST, "a=1", 5, "/result", 303, 200,
         "GET /result HTTP/1.1", true, ""},
        {"302 after a POST: GET", HTTP_METHOD_POST, "a=1", 5, "/result", 302, 200,
         "GET /result HTTP/1.1", true, ""},
        {"307 after a POST: the same POST", HTTP_METHOD_POST, "a=1", 5, "/again", 307, 200,
         "POST /again HTTP/1.1", true, "a=1"},
        {"308 keeps the method", HTTP_METHOD_PUT, "b=2", 5, "/again", 308, 200,
         "PUT /again HTTP/1.1", true, "b=2"},
        {"another scheme is not followed", HTTP_METHOD_GET, "", 5, "ftp://127.0.0.1/x", 302, 302,
         "", false, ""},
        {"the option off", HTTP_METHOD_GET, "", 0, "/next", 302, 302, "", false, ""},
    };
    for (const HopRow& r : rows) {
        CTestServer a, b("127.0.0.1");
        b.Add(CTestScript().WaitRequest().Send(kOk).WaitPeerClose(2000));
        ASSERT_TRUE(b.Start());
        const std::string port = std::to_string(b.Port());
        std::string location = r.location;
        const bool bToB = location[0] == '@';
        if (bToB) {
            location = (location[1] == 'B' ? "http://localhost:" : "http://127.0.0.1:") + port +
                       location.substr(2);
        }
        CTestScript first;
        first.WaitRequest().Send(Redirect(r.nStatus, location));
        if (!r.line.empty() && !bToB) {
            first.WaitRequest().Send(kOk);
        }
        a.Add(first.WaitPeerClose(2000));
        a.Add(CTestScript().WaitRequest().Send(kOk).WaitPeerClose(2000));
        ASSERT_TRUE(a.Start());
        int h = OXR_HTTP_Open(a.Url("/start").c_str(), r.nMethod, "admin:demo", 0, 2000);
        ASSERT_GE(h, 0);
        ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_FOLLOW_REDIRECTS, r.nFollow, nullptr), 0);
        ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, 1, nullptr), 0);
        ASSERT_EQ(OXR_HTTP_AddHeader(h, "X-Client", "kept"), 0);
        const std::string length = std::to_string(r.body.size());
        EXPECT_EQ(OXR_HTTP_SendRequest(h, r.body.empty() ? nullptr : length.c_str(),
                                       r.body.empty() ? nullptr : r.body.data(),
                                       static_cast<int>(r.body.size()), 2000),
                  0)
            << r.name;
        EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), r.nFinal) << r.name;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        // Every request is in: each was read before its answer went out.
        std::vector<std::string> second = a.Requests(0);
        second.erase(second.begin());
        if (b.Accepted() > 0) {
            second = b.Requests(0);
        }
        if (r.line.empty()) {
            EXPECT_TRUE(second.empty()) << r.name;
            continue;
        }
        ASSERT_EQ(second.size(), 1u) << r.name;
        EXPECT_EQ(RequestLine(second[0]), r.line) << r.name;
        EXPECT_EQ(RequestField(second[0], "Authorization").empty(), !r.bCredentials) << r.name;
        EXPECT_EQ(RequestField(second[0], "X-Client"), "kept") << r.name;
        EXPECT_EQ(RequestField(second[0], "Content-Length").empty(), r.secondBody.empty())
            << r.name;
        EXPECT_EQ(Body(second[0]), r.secondBody) << r.name;
        EXPECT_EQ(a.Accepted() + b.Accepted(), b.Accepted() > 0 ? 2 : 1) << r.name; // reused
    }
}

// A device that redirects to itself is followed up to the limit; the last
// 3xx is then the answer. The next request starts from the session's URL.
TEST(ApiRedirect, ALoopStopsAtTheLimit) {
    CTestServer srv;
    CTestScript loop;
    for (int i = 0; i < 4; ++i) {
        loop.WaitRequest().Send(Redirect(302, "/again"));
    }
    loop.WaitRequest().Send(kOk).WaitPeerClose(2000);
    srv.Add(loop);
    ASSERT_TRUE(srv.Start());
    int h = OXR_HTTP_Open(srv.Url("/start").c_str(), HTTP_METHOD_GET, nullptr, 0, 2000);
    ASSERT_GE(h, 0);
    ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_KEEP_ALIVE, 1, nullptr), 0);
    ASSERT_EQ(OXR_HTTP_SetOption(h, HTTP_OPT_FOLLOW_REDIRECTS, 3, nullptr), 0);
    EXPECT_EQ(OXR_HTTP_GetOption(h, HTTP_OPT_FOLLOW_REDIRECTS), 3);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 2000), 0);
    EXPECT_EQ(OXR_HTTP_GetStatus(h, nullptr, 0), 302);
    EXPECT_STREQ(OXR_HTTP_GetInfoByName(h, "Location"), "/again");
    // the hops, for a program to show
    EXPECT_STREQ(OXR_HTTP_GetInfoByName(h, ":redirects"), "3");
    EXPECT_STREQ(OXR_HTTP_GetInfoByName(h, ":redirect-1"), "302 /again");
    EXPECT_STREQ(OXR_HTTP_GetInfoByName(h, ":redirect-3"), "302 /again");
    EXPECT_EQ(OXR_HTTP_GetInfoByName(h, ":redirect-4"), nullptr);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 2000), 0);
    EXPECT_STREQ(OXR_HTTP_GetInfoByName(h, ":redirects"), "0");
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    const std::vector<std::string> reqs = srv.Requests(0);
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(RequestLine(reqs[0]), "GET /start HTTP/1.1");
    EXPECT_EQ(RequestLine(reqs[3]), "GET /again HTTP/1.1");
    EXPECT_EQ(RequestLine(reqs[4]), "GET /start HTTP/1.1");
    EXPECT_EQ(srv.Accepted(), 1);
}

#if !defined(_WIN32)
// A link-local address picks its interface by the zone, written "%25eth0"
// (RFC 6874) or "%eth0"; the HOST line goes without it. The test makes an
// interface (a veth pair) in its own network namespace.
TEST(ApiRedirect, LinkLocalAddressesWithAZone) {
    if (std::system("ip link add oxrll0 type veth peer name oxrll1 2>/dev/null && "
                    "ip addr add fe80::1/64 dev oxrll0 nodad && ip link set oxrll0 up && "
                    "ip link set oxrll1 up") != 0) {
        GTEST_SKIP() << "no interface can be made here (ip, veth, CAP_NET_ADMIN)";
    }
    for (const char* pszZone : {"%25oxrll0", "%oxrll0"}) {
        CTestServer srv("::");
        srv.Add(CTestScript().WaitRequest().Send(kOk).WaitPeerClose(2000));
        ASSERT_TRUE(srv.Start());
        const std::string url =
            std::string("http://[fe80::1") + pszZone + "]:" + std::to_string(srv.Port()) + "/x";
        int h = OXR_HTTP_Open(url.c_str(), HTTP_METHOD_GET, nullptr, 0, 2000);
        ASSERT_GE(h, 0) << pszZone;
        EXPECT_EQ(OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 2000), 0) << pszZone;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        ASSERT_EQ(srv.Requests(0).size(), 1u) << pszZone;
        EXPECT_EQ(RequestField(srv.Requests(0)[0], "HOST"), "[fe80::1]") << pszZone;
    }
    EXPECT_EQ(std::system("ip link del oxrll0"), 0);
}
#endif

} // namespace
