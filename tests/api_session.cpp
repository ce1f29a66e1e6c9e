// Sessions through the public interface only, against the loopback test
// server: opening, headers, requests, response headers, error numbers,
// closing, and the exact bytes that reach the device.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "oxr.h"
#include "oxr_http.h"
#include "stderr_capture.h"
#include "stream_builder.h"
#include "test_server.h"

namespace {

const char kDefaultBlock[] =
    "User-Agent: HTTP_USER_AGENT\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*.*;q=0.8\r\n"
    "Accept-Language: ZH-cn;zh;q=0.5\r\n"
    "Accept-Charset: gb2312,utf8;q=0.7,*;q=0.7\r\n";

const std::string kOkResponse = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                "X-Twice: first\r\nX-Twice: second\r\nContent-Length: 2\r\n\r\nok";

// One connection that answers one request and then waits for the close.
CTestScript OneExchange(const std::string& response = kOkResponse) {
    CTestScript s;
    s.WaitRequest().Send(response).WaitPeerClose(10000);
    return s;
}

// A loopback device playing one script, and a session opened on it.
class Device {
public:
    explicit Device(const CTestScript& script = OneExchange()) {
        m_srv.Add(script);
        m_bStarted = m_srv.Start();
    }
    // The handle, or -1 (also when the device could not start).
    int Open(const char* pszPath = "/", int nMethod = HTTP_METHOD_GET,
             const char* pszCredentials = nullptr) {
        if (!m_bStarted) {
            return -1;
        }
        return OXR_HTTP_Open(m_srv.Url(pszPath).c_str(), nMethod, pszCredentials, 0, 2000);
    }
    // The exact bytes of the one request the device received; call after
    // closing the session.
    std::string OnlyRequest() {
        std::vector<std::string> reqs;
        if (m_srv.WaitDone(5000)) {
            reqs = m_srv.Requests(0);
        }
        if (reqs.size() != 1) {
            ADD_FAILURE() << "the device received " << reqs.size() << " requests";
            return std::string();
        }
        return reqs[0];
    }

private:
    CTestServer m_srv;
    bool m_bStarted = false;
};

// Runs a call with the log on the standard error stream and returns the log.
template <typename F> std::string Logged(F call) {
    OXR_HTTP_SetLog(HTTP_LOG_DEBUG);
    StderrCapture cap;
    call();
    std::string text = cap.Finish();
    OXR_HTTP_SetLog(-1);
    return text;
}

bool Has(const std::string& text, const char* pszPart) {
    return text.find(pszPart) != std::string::npos;
}

// Must stay the first test of the program: nothing has failed yet.
TEST(ApiErrNo, ZeroBeforeAnyFailure) {
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), 0);
}

TEST(ApiHandles, UnregisteredHandlesFailWithTheirValues) {
    for (int nHandle : {-5, -1, 999, 1000, 123456}) {
        std::string log = Logged([&] {
            EXPECT_EQ(OXR_HTTP_SendRequest(nHandle, "0", nullptr, 0, 100), -1);
            EXPECT_EQ(OXR_HTTP_AddHeader(nHandle, "A", "b"), -1);
            EXPECT_EQ(OXR_HTTP_RemoveHeader(nHandle, "A"), -1);
            EXPECT_EQ(OXR_HTTP_GetInfoByType(nHandle, 0, 0, 0), -1);
            EXPECT_EQ(OXR_HTTP_GetInfoByName(nHandle, "A"), nullptr);
            EXPECT_EQ(OXR_HTTP_GetContent(nHandle, 0), -1);
            EXPECT_EQ(OXR_HTTP_Close(nHandle), -1);
        });
        EXPECT_EQ(OXR_HTTP_GetErrNo(nHandle), HTTP_ERR_NO_SESSION);
        size_t nRecords = 0;
        for (size_t p = log.find("Get HttpSession return NULL, Func Return -1\n");
             p != std::string::npos;
             p = log.find("Get HttpSession return NULL, Func Return -1\n", p + 1)) {
            ++nRecords;
        }
        EXPECT_EQ(nRecords, 7u) << log;
        EXPECT_EQ(log.rfind("HTTP_LOG_DEBUG ", 0), 0u);
    }
}

TEST(ApiOpen, BadUrlFailsWithoutConnecting) {
    std::string log = Logged([] { EXPECT_EQ(OXR_HTTP_Open("http://", 1, nullptr, 0, 1000), -1); });
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_BAD_URL);
    EXPECT_TRUE(Has(log, "CHttpSession Open Return -1, ParseUrl URL Error\n")) << log;
    EXPECT_TRUE(Has(log, "Create HttpSession return NULL, Func Return -1\n")) << log;
}

TEST(ApiOpen, UnresolvableHostAndRefusedConnection) {
    std::string sHost(70, 'h'); // a label the resolver refuses without asking anyone
    EXPECT_EQ(OXR_HTTP_Open(("http://" + sHost + ".invalid/").c_str(), 1, nullptr, 0, 1000), -1);
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_CONNECT);

    CTestServer srv;
    ASSERT_TRUE(srv.Start(100));
    uint16_t wPort = srv.Port();
    srv.Stop(); // nothing listens there any more
    OXR_HTTP_SetLog(-1);
    std::string url = "http://127.0.0.1:" + std::to_string(wPort) + "/";
    EXPECT_EQ(OXR_HTTP_Open(url.c_str(), 1, nullptr, 0, 2000), -1);
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_CONNECT);
}

TEST(ApiRequest, ExactBytesWithCredentialsHeaderAndBody) {
    Device dev;
    int h = dev.Open("/cgi-bin/ptz.cgi?move=left", HTTP_METHOD_POST, "admin:12345");
    ASSERT_GE(h, 0);
    EXPECT_EQ(OXR_HTTP_AddHeader(h, "X-Camera", "front door"), 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "5", "hello", 5, 2000), 0);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    EXPECT_EQ(dev.OnlyRequest(), std::string("POST /cgi-bin/ptz.cgi?move=left HTTP/1.1\r\n"
                                             "HOST: 127.0.0.1\r\n") +
                                     kDefaultBlock +
                                     "Authorization: Basic YWRtaW46MTIzNDU=\r\n"
                                     "X-Camera: front door\r\n"
                                     "Content-Length: 5\r\n"
                                     "\r\n"
                                     "hello");
}

TEST(ApiRequest, ResponseHeadersByName) {
    Device dev;
    int h = dev.Open();
    ASSERT_GE(h, 0);
    EXPECT_EQ(OXR_HTTP_GetInfoByName(h, "Content-Type"), nullptr); // nothing received yet
    ASSERT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    const char* pszType = OXR_HTTP_GetInfoByName(h, "content-type");
    ASSERT_NE(pszType, nullptr);
    EXPECT_STREQ(pszType, "text/plain");
    EXPECT_STREQ(OXR_HTTP_GetInfoByName(h, "X-TWICE"), "first");
    EXPECT_EQ(OXR_HTTP_GetInfoByName(h, "X-Absent"), nullptr);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
}

TEST(ApiRequest, RefusedStatusAndSessionErrNo) {
    Device dev(OneExchange("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
    int h = dev.Open("/missing", HTTP_METHOD_GET, nullptr);
    ASSERT_GE(h, 0);
    EXPECT_NE(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    EXPECT_EQ(OXR_HTTP_GetErrNo(h), 0); // the session's own number is untouched
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
}

TEST(ApiRequest, NullContentLengthIsRefusedButRequestGoesOn) {
    Device dev;
    int h = dev.Open();
    ASSERT_GE(h, 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 2000), 0);
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_BAD_PARAM);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    const std::string req = dev.OnlyRequest();
    EXPECT_FALSE(Has(req, "Content-Length"));
}

struct RefusedHeaderRow {
    const char* why;
    const char* name;
    std::string value;
};

// What could never be sent as a header line is refused when it is added (-5),
// and so is a request whose headers fit one by one but not together; the
// session goes on.
TEST(ApiRequest, HeadersThatCannotBeSentAreRefused) {
    const RefusedHeaderRow rows[] = {
        {"line break in the value", "X-A", "1\r\nX-Forged: 1"},
        {"empty name", "", "v"},
        {"colon in the name", "X-Forged:", "v"},
        {"blank in the name", "X Forged", "v"},
        {"tab in the name", "X\tForged", "v"},
        {"control character in the name", "X\x01", "v"},
        {"1 MiB value", "X-Big", std::string(1 << 20, 'v')},
    };
    Device dev;
    int h = dev.Open();
    ASSERT_GE(h, 0);
    for (const RefusedHeaderRow& r : rows) {
        OXR_HTTP_GetStatus(-1, nullptr, 0); // leaves -11, so each row's -5 is its own
        EXPECT_EQ(OXR_HTTP_AddHeader(h, r.name, r.value.c_str()), -1) << r.why;
        EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_BAD_PARAM) << r.why;
    }
    const std::string sPart(4000, 'p');
    const char* const kParts[] = {"X-P1", "X-P2", "X-P3", "X-P4", "X-P5"};
    for (const char* pszName : kParts) {
        EXPECT_EQ(OXR_HTTP_AddHeader(h, pszName, sPart.c_str()), 0);
    }
    OXR_HTTP_GetStatus(-1, nullptr, 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), -1);
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_BAD_PARAM);
    for (const char* pszName : kParts) {
        EXPECT_EQ(OXR_HTTP_RemoveHeader(h, pszName), 0);
    }
    EXPECT_EQ(OXR_HTTP_AddHeader(h, "X-B", "2"), 0);
    EXPECT_EQ(OXR_HTTP_RemoveHeader(h, "X-Never"), 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    const std::string req = dev.OnlyRequest();
    EXPECT_FALSE(Has(req, "Forged"));
    EXPECT_FALSE(Has(req, "X-P1"));
    EXPECT_TRUE(Has(req, "\r\nX-B: 2\r\n"));
}

struct CredentialRow {
    const char* credentials;
    const char* expectedLine; // nullptr: no Authorization line at all
};

TEST(ApiRequest, BasicAuthorizationValues) {
    const CredentialRow rows[] = {
        {"user:pass", "Authorization: Basic dXNlcjpwYXNz\r\n"},
        {"", "Authorization: Basic \r\n"},
        {nullptr, nullptr},
    };
    for (const CredentialRow& r : rows) {
        Device dev;
        int h = dev.Open("/", HTTP_METHOD_GET, r.credentials);
        ASSERT_GE(h, 0);
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
        const std::string req = dev.OnlyRequest();
        if (r.expectedLine == nullptr) {
            EXPECT_FALSE(Has(req, "Authorization"));
        } else {
            EXPECT_TRUE(Has(req, r.expectedLine)) << req;
        }
    }
}

TEST(ApiRequest, LongCredentialsAreSentWhole) {
    std::string sCred(200, 'u');
    sCred += ":secret";
    Device dev;
    int h = dev.Open("/", HTTP_METHOD_GET, sCred.c_str());
    ASSERT_GE(h, 0);
    EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, 2000), 0);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    const std::string req = dev.OnlyRequest();
    size_t nAt = req.find("Authorization: Basic ");
    ASSERT_NE(nAt, std::string::npos);
    size_t nEnd = req.find("\r\n", nAt);
    std::string sValue = req.substr(nAt + 21, nEnd - nAt - 21);
    EXPECT_EQ(sValue.size(), 4 * ((sCred.size() + 2) / 3)); // the whole text, encoded
    EXPECT_EQ(sValue.substr(0, 8), "dXV1dXV1");
}

TEST(ApiRequest, DeviceThatStopsReadingFailsTheSendInTime) {
    CTestScript script;
    script.Pause(20000).WaitPeerClose(1000); // never reads during the request
    Device dev(script);
    int h = dev.Open("/upload", HTTP_METHOD_PUT);
    ASSERT_GE(h, 0);
    std::string body(16 << 20, 'x');
    std::string length = std::to_string(body.size());
    int64_t t0 = OXR_TickMs();
    EXPECT_NE(
        OXR_HTTP_SendRequest(h, length.c_str(), body.data(), static_cast<int>(body.size()), 300),
        0);
    EXPECT_LT(OXR_TickMs() - t0, 5000);
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_SOCKET);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
}

struct TimeOutRow {
    int nOpenMs;  // connect time-out of OXR_HTTP_Open
    int nSendMs;  // head time-out of OXR_HTTP_SendRequest
    int nDelayMs; // the device answers this long after the request
    int nResult;
};

// Below 0 a time-out means no limit; 0 means no wait at all.
TEST(ApiRequest, TimeOutsOfZeroAndBelow) {
    const TimeOutRow rows[] = {
        {-1, -1, 300, 0},
        {2000, 0, 300, -1},
        {2000, 1000, 100, 0},
        {2000, 100, 600, -1},
    };
    for (const TimeOutRow& r : rows) {
        CTestServer srv;
        srv.Add(
            CTestScript().WaitRequest().Pause(r.nDelayMs).Send(kOkResponse).WaitPeerClose(5000));
        ASSERT_TRUE(srv.Start());
        int h = OXR_HTTP_Open(srv.Url("/").c_str(), HTTP_METHOD_GET, nullptr, 0, r.nOpenMs);
        ASSERT_GE(h, 0) << r.nOpenMs;
        EXPECT_EQ(OXR_HTTP_SendRequest(h, "0", nullptr, 0, r.nSendMs), r.nResult)
            << r.nSendMs << " " << r.nDelayMs;
        EXPECT_EQ(OXR_HTTP_Close(h), 0);
    }
}

TEST(ApiSession, InfoByTypeContentAndDoubleClose) {
    Device dev;
    int h = dev.Open();
    ASSERT_GE(h, 0);
    EXPECT_EQ(OXR_HTTP_GetErrNo(h), 0);
    int nLast = OXR_HTTP_GetErrNo(-1);
    EXPECT_EQ(OXR_HTTP_GetInfoByType(h, 1, 2, 3), -1);
    EXPECT_EQ(OXR_HTTP_GetErrNo(h), HTTP_ERR_INFO_TYPE);
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), nLast); // the last error number is left alone
    EXPECT_EQ(OXR_HTTP_GetContent(h, 0), 0);
    EXPECT_EQ(OXR_HTTP_ClientFini(), 0); // sessions stay registered
    EXPECT_EQ(OXR_HTTP_ClientInit(), 0);
    EXPECT_EQ(OXR_HTTP_GetErrNo(h), HTTP_ERR_INFO_TYPE);
    EXPECT_EQ(OXR_HTTP_Close(h), 0);
    EXPECT_EQ(OXR_HTTP_Close(h), -1);
    EXPECT_EQ(OXR_HTTP_GetErrNo(-1), HTTP_ERR_NO_SESSION);
}

} // namespace
