// The codec's request side: method names and the request message.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "fail_alloc.h"
#include "http_parse.h"
#include "oxr_http.h"

namespace {

const char kDefaultBlock[] =
    "User-Agent: HTTP_USER_AGENT\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*.*;q=0.8\r\n"
    "Accept-Language: ZH-cn;zh;q=0.5\r\n"
    "Accept-Charset: gb2312,utf8;q=0.7,*;q=0.7\r\n";

const char kGetRoot[] =
    "GET / HTTP/1.1\r\n"
    "HOST: 192.168.0.64\r\n"
    "User-Agent: HTTP_USER_AGENT\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*.*;q=0.8\r\n"
    "Accept-Language: ZH-cn;zh;q=0.5\r\n"
    "Accept-Charset: gb2312,utf8;q=0.7,*;q=0.7\r\n"
    "\r\n";

// A codec as the session leaves it after opening http://<host>/ with GET.
void Open(CHttpParser& p, int nMethod = 1, const char* pszUri = "/",
          const char* pszHost = "192.168.0.64") {
    p.SetHost(pszHost);
    p.SetRequestLine(nMethod, pszUri);
}

// The message as bytes; "<null>" when FormatMsg failed.
std::string Format(CHttpParser& p, const char* pBody, int nBodyLen, int* pnLen = nullptr) {
    int nLen = -7;
    const char* pMsg = p.FormatMsg(&nLen, pBody, nBodyLen);
    if (pnLen != nullptr) {
        *pnLen = nLen;
    }
    return pMsg != nullptr ? std::string(pMsg, static_cast<size_t>(nLen)) : "<null>";
}

TEST(RequestFormatter, GetRootByteForByte) {
    static_assert(sizeof(kDefaultBlock) - 1 == 178, "the default block is 178 bytes");
    CHttpParser p;
    Open(p);
    int nLen = 0;
    EXPECT_EQ(Format(p, nullptr, 0, &nLen), kGetRoot);
    EXPECT_EQ(nLen, static_cast<int>(sizeof(kGetRoot) - 1));
    EXPECT_EQ(p.GetMsgSize(), nLen);
}

TEST(RequestFormatter, BodyFollowsTheHeadExactly) {
    const char body[] = {'a', '\0', 'b', '\xff'};
    CHttpParser p;
    Open(p, 2);
    int nLen = 0;
    std::string msg = Format(p, body, 4, &nLen);
    std::string head = std::string("POST") + (kGetRoot + 3);
    EXPECT_EQ(msg, head + std::string(body, 4));
    EXPECT_EQ(nLen, static_cast<int>(head.size()) + 4);
}

TEST(RequestFormatter, BufferIsReusedAndGrowsToTheExactSize) {
    const std::string big(200, 'B');
    const int nHead = static_cast<int>(sizeof(kGetRoot) - 1);
    CHttpParser p;
    Open(p);
    int nLen = 0;
    Format(p, big.data(), 100, &nLen);
    const char* pFirst = p.GetMsg();
    EXPECT_EQ(p.GetMsgSize(), nHead + 100);

    EXPECT_EQ(Format(p, "xyz", 3, &nLen), kGetRoot + std::string("xyz"));
    EXPECT_EQ(p.GetMsg(), pFirst);
    EXPECT_EQ(p.GetMsgSize(), nHead + 100);
    // The whole buffer is zeroed before each message: no stale body bytes.
    EXPECT_EQ(std::string(p.GetMsg() + nLen, static_cast<size_t>(p.GetMsgSize() - nLen)),
              std::string(static_cast<size_t>(p.GetMsgSize() - nLen), '\0'));

    EXPECT_EQ(Format(p, big.data(), 200, &nLen), kGetRoot + big);
    EXPECT_EQ(p.GetMsgSize(), nHead + 200);
}

struct MethodRow {
    int nMethod;
    const char* name;
};

TEST(RequestFormatter, MethodNames) {
    const MethodRow rows[] = {
        {-1, "INVALID"},      {0, "UNKNOWN"},       {1, "GET"},     {2, "POST"},
        {3, "HEAD"},          {4, "OPTIONS"},       {5, "PUT"},     {6, "DELETE"},
        {7, "TRACE"},         {8, "CONNECT"},       {9, "INVALID"}, {-2, "INVALID"},
        {INT_MAX, "INVALID"}, {INT_MIN, "INVALID"},
    };
    for (const MethodRow& r : rows) {
        EXPECT_STREQ(CHttpParser::GetMethodName(r.nMethod), r.name) << r.nMethod;
        CHttpParser p;
        Open(p, r.nMethod, "/x");
        std::string line = std::string(r.name) + " /x HTTP/1.1\r\n";
        EXPECT_EQ(Format(p, nullptr, 0).substr(0, line.size()), line) << r.nMethod;
    }
}

TEST(RequestFormatter, FreshCodecSendsInvalid) {
    CHttpParser p;
    EXPECT_EQ(p.GetMethod(), -1);
    EXPECT_EQ(Format(p, nullptr, 0).substr(0, 30), "INVALID  HTTP/1.1\r\nHOST: \r\nUse");
}

TEST(RequestFormatter, HeadersInOrderOfFirstAddition) {
    CHttpParser p;
    Open(p, 1, "/a?b=c", "cam");
    p.AddHeader("A", "1");
    p.AddHeader("B", "2");
    p.AddHeader("Accept", "*/*");
    p.AddHeader("a", "9");
    p.RemoveHeader("b");
    std::string expected = std::string("GET /a?b=c HTTP/1.1\r\nHOST: cam\r\n") + kDefaultBlock +
                           "A: 9\r\nAccept: */*\r\n\r\n";
    EXPECT_EQ(Format(p, nullptr, 0), expected);
}

TEST(RequestFormatter, HeadLimitIs16383Characters) {
    CHttpParser p;
    Open(p, 1, "/", "h");
    const int nBase = static_cast<int>(Format(p, nullptr, 0).size());
    // One header "X: <value>\r\n" adds 5 characters besides the value.
    const size_t nFits = static_cast<size_t>(kHttpWorkAreaSize - 1 - nBase - 5);
    EXPECT_EQ(p.AddHeader("X", std::string(nFits, 'v').c_str()), 0);
    EXPECT_TRUE(p.HeadFits());
    int nLen = -1;
    EXPECT_EQ(Format(p, "b", 1, &nLen).size(), static_cast<size_t>(kHttpWorkAreaSize));
    EXPECT_EQ(nLen, kHttpWorkAreaSize); // 16383 of head, one of body

    // one line over the limit is refused when it is added
    EXPECT_EQ(p.AddHeader("X", std::string(nFits + 1, 'v').c_str()), HTTP_ERR_BAD_PARAM);
    // lines that fit one by one but not together fail the request
    EXPECT_EQ(p.AddHeader("Y", ""), 0);
    EXPECT_FALSE(p.HeadFits());
    EXPECT_EQ(Format(p, nullptr, 0, &nLen), "<null>");
    EXPECT_EQ(nLen, 0);
    p.RemoveHeader("X");
    EXPECT_TRUE(p.HeadFits());
    EXPECT_EQ(Format(p, nullptr, 0, &nLen).size(), static_cast<size_t>(nBase) + 5);
}

struct BodyRow {
    const char* body;
    int nLen;
    bool ok;
};

TEST(RequestFormatter, BodyArgumentsAreChecked) {
    const BodyRow rows[] = {
        {nullptr, 0, true}, {"", 0, true},           {"abc", 3, true},      {nullptr, 5, false},
        {"abc", -1, false}, {"abc", INT_MIN, false}, {"a", INT_MAX, false}, // head plus body would
                                                                            // not fit an int
    };
    for (const BodyRow& r : rows) {
        CHttpParser p;
        Open(p);
        int nLen = -7;
        std::string msg = Format(p, r.body, r.nLen, &nLen);
        EXPECT_EQ(msg != "<null>", r.ok) << r.nLen;
        EXPECT_EQ(nLen, r.ok ? static_cast<int>(sizeof(kGetRoot) - 1) + r.nLen : 0) << r.nLen;
    }
    CHttpParser p;
    Open(p);
    EXPECT_EQ(p.FormatMsg(nullptr, nullptr, 0), nullptr);
}

TEST(RequestFormatter, UriAndHostCopiesAreBounded) {
    const std::string longText(600, 'u');
    CHttpParser p;
    p.SetRequestLine(3, longText.c_str());
    p.SetHost(longText.c_str());
    EXPECT_EQ(std::string(p.GetUri()), longText.substr(0, 511));
    EXPECT_EQ(std::string(p.GetHost()), longText.substr(0, 511));
    EXPECT_EQ(p.GetMethod(), 3);
    p.SetRequestLine(2, nullptr);
    p.SetHost(nullptr);
    EXPECT_STREQ(p.GetUri(), "");
    EXPECT_STREQ(p.GetHost(), "");
    p.SetRequestLine(1, "/b");
    EXPECT_STREQ(p.GetUri(), "/b");
}

TEST(RequestFormatter, OutOfMemoryGivesNullAndTheNextCallRetries) {
    CHttpParser p;
    Open(p);
    int nLen = -7;
    FailNothrowNewAfter(0);
    EXPECT_EQ(Format(p, nullptr, 0, &nLen), "<null>");
    ResetNothrowNew();
    EXPECT_EQ(nLen, 0);
    EXPECT_EQ(p.GetMsg(), nullptr);

    EXPECT_EQ(Format(p, nullptr, 0, &nLen), kGetRoot);
    // Growing fails: the old buffer is gone and the next call allocates anew.
    FailNothrowNewAfter(0);
    EXPECT_EQ(Format(p, "0123456789", 10, &nLen), "<null>");
    ResetNothrowNew();
    EXPECT_EQ(p.GetMsg(), nullptr);
    EXPECT_EQ(Format(p, "0123456789", 10, &nLen), kGetRoot + std::string("0123456789"));
}

} // namespace
