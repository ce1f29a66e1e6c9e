// The codec's header lists and its response head parser.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fail_alloc.h"
#include "http_client.h"
#include "http_parse.h"
#include "log_records.h"
#include "oxr_http.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Fields;

Fields Dump(const HttpHeaderList& lst) {
    Fields f;
    for (const HttpHeader* p : lst) {
        f.emplace_back(p->pszName, p->pszValue);
    }
    return f;
}

const char kSrc[] = "Http/src/http_parse.cpp: ";
const std::string kMiss =
    std::string("HTTP_LOG_DEBUG ") + kSrc + "FindHeader Return NULL, cannot find header";
const std::string kInvalid =
    std::string("HTTP_LOG_DEBUG ") + kSrc + "AddHeader Return -1, IN Param is Invalid";
const std::string kAddNoMemory =
    std::string("HTTP_LOG_OFF ") + kSrc + "AddHeader Return -1, operation new Error";
const std::string kVersionError =
    std::string("HTTP_LOG_DEBUG ") + kSrc + "ParseStartLine Return -1, parse http version error";
const std::string kCodeError =
    std::string("HTTP_LOG_DEBUG ") + kSrc + "ParseStartLine Return -1, parse status code error";

typedef std::vector<std::string> Records;

// ---------------------------------------------------------------- header lists

TEST(HeaderList, ReplaceKeepsFirstSpellingAndPlace) {
    CHttpParser p;
    EXPECT_EQ(p.AddHeader("content-length", "5"), 0);
    EXPECT_EQ(p.AddHeader("X-A", "1"), 0);
    EXPECT_EQ(p.AddHeader("Content-Length", "10"), 0);
    EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"content-length", "10"}, {"X-A", "1"}}));
}

TEST(HeaderList, ReplacementStoresTheWholeNewValue) {
    const char* values[] = {"short", "a considerably longer value than before", "x", "", "yy"};
    CHttpParser p;
    for (const char* v : values) {
        EXPECT_EQ(p.AddHeader("Name", v), 0);
        EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"Name", v}}));
    }
}

TEST(HeaderList, EmptyNameAndValueAreTexts) {
    CHttpParser p;
    EXPECT_EQ(p.AddHeader("", "v"), 0);
    EXPECT_EQ(p.AddHeader("N", ""), 0);
    EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"", "v"}, {"N", ""}}));
}

struct BadHeaderRow {
    const char* name;
    const char* value;
};

// Null texts, and texts that would break out of their header line.
TEST(HeaderList, RefusesNullAndLineBreaksWithoutTouchingTheList) {
    const BadHeaderRow rows[] = {
        {nullptr, "v"},        {"X-Old", nullptr},       {nullptr, nullptr},
        {"X\r\nEvil: 1", "v"}, {"X-Old", "new\r\nX: y"}, {"X-Old", "new\n"},
        {"X-Old\r", "v"},      {"X-Old", "\rnew"},       {"\n", ""},
    };
    for (const BadHeaderRow& r : rows) {
        CHttpParser p;
        ASSERT_EQ(p.AddHeader("X-Old", "old"), 0);
        SetLastErrNo(0);
        int nResult = 0;
        Records log = LoggedBy([&] { nResult = p.AddHeader(r.name, r.value); });
        EXPECT_EQ(nResult, -1) << (r.name ? r.name : "(null)");
        EXPECT_EQ(g_nLastErrNo.load(), HTTP_ERR_BAD_PARAM);
        EXPECT_EQ(log, Records{kInvalid});
        EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"X-Old", "old"}}));
    }
}

TEST(HeaderList, AddingANewNameLogsTheMissAndSucceeds) {
    CHttpParser p;
    int nResult = -1;
    Records log = LoggedBy([&] { nResult = p.AddHeader("Accept", "*/*"); });
    EXPECT_EQ(nResult, 0);
    EXPECT_EQ(log, Records{kMiss});
    log = LoggedBy([&] { nResult = p.AddHeader("ACCEPT", "x"); });
    EXPECT_EQ(log, Records{});
}

TEST(HeaderList, RemoveTakesOutAndReAddAppends) {
    CHttpParser p;
    p.AddHeader("A", "1");
    p.AddHeader("B", "2");
    p.AddHeader("C", "3");
    int nResult = -1;
    SetLastErrNo(-9);
    Records log = LoggedBy([&] { nResult = p.RemoveHeader("absent"); });
    EXPECT_EQ(nResult, 0);
    EXPECT_EQ(log, Records{kMiss});
    EXPECT_EQ(g_nLastErrNo.load(), -9);
    EXPECT_EQ(p.RemoveHeader("a"), 0);
    EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"B", "2"}, {"C", "3"}}));
    EXPECT_EQ(p.AddHeader("A", "4"), 0);
    EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"B", "2"}, {"C", "3"}, {"A", "4"}}));
    p.ClearRequestHeaders();
    EXPECT_TRUE(p.GetRequestHeaders().empty());
    EXPECT_EQ(p.RemoveHeader(nullptr), 0);
}

TEST(HeaderList, LookupsOnAFreshCodecFindNothing) {
    CHttpParser p;
    const char* pValue = "unset";
    Records log = LoggedBy([&] { pValue = p.GetResponseHeader("Content-Type"); });
    EXPECT_EQ(pValue, nullptr);
    EXPECT_EQ(log, Records{kMiss});
    EXPECT_EQ(p.GetResponseHeader(nullptr), nullptr);
    HttpHeaderList empty;
    EXPECT_EQ(p.FindHeader("x", empty), nullptr);
}

// Allocation n (0: record, 1: name, 2: value) fails; nothing is added.
TEST(HeaderList, OutOfMemoryWhileAddingLeavesTheListAlone) {
    for (int n = 0; n < 3; ++n) {
        CHttpParser p;
        ASSERT_EQ(p.AddHeader("Keep", "1"), 0);
        SetLastErrNo(0);
        int nResult = 0;
        Records log = LoggedBy([&] {
            FailNothrowNewAfter(n);
            nResult = p.AddHeader("New", "2");
            ResetNothrowNew();
        });
        EXPECT_EQ(nResult, -1) << n;
        EXPECT_EQ(g_nLastErrNo.load(), HTTP_ERR_NO_MEMORY);
        EXPECT_EQ(log, (Records{kMiss, kAddNoMemory}));
        EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"Keep", "1"}}));
    }
}

TEST(HeaderList, OutOfMemoryWhileReplacingKeepsTheOldValue) {
    CHttpParser p;
    ASSERT_EQ(p.AddHeader("Keep", "old"), 0);
    SetLastErrNo(0);
    int nResult = 0;
    Records log = LoggedBy([&] {
        FailNothrowNewAfter(0);
        nResult = p.AddHeader("KEEP", "new");
        ResetNothrowNew();
    });
    EXPECT_EQ(nResult, -1);
    EXPECT_EQ(g_nLastErrNo.load(), HTTP_ERR_NO_MEMORY);
    EXPECT_EQ(log, Records{kAddNoMemory});
    EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"Keep", "old"}}));
}

// ---------------------------------------------------------------- response parser

const int kUnchanged = 1; // stands for "error number not touched"

struct HeadRow {
    std::string head;
    int result;
    int status;
    const char* version;
    const char* reason;
    Fields fields;
    int errNo;         // kUnchanged or the expected code
    const char* log;   // expected record message, or nullptr for none
    const char* after; // bytes behind the cursor on success, or nullptr when unset
};

std::string Repeat(char c, size_t n) {
    return std::string(n, c);
}

// A literal with its zero bytes, without the terminating one.
template <size_t N> std::string Bytes(const char (&s)[N]) {
    return std::string(s, N - 1);
}

const HeadRow kHeadRows[] = {
    {"HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\n\r\n",
     0,
     200,
     "HTTP/1.1",
     "OK",
     {{"A", "1"}, {"B", "2"}},
     kUnchanged,
     nullptr,
     ""},
    {"HTTP/1.1 200 OK\r\n\r\nBODY", 0, 200, "HTTP/1.1", "OK", {}, kUnchanged, nullptr, "BODY"},
    // the empty line ends the head even right behind the status line
    {"HTTP/1.1 200 OK\r\n\r\nA: 1\r\n\r\n",
     0,
     200,
     "HTTP/1.1",
     "OK",
     {},
     kUnchanged,
     nullptr,
     "A: 1\r\n\r\n"},
    {"HTTP/1.1 404 Not Found\r\nA: 1\r\n\r\n",
     -1,
     404,
     "HTTP/1.1",
     "",
     {},
     kUnchanged,
     nullptr,
     nullptr},
    {"HTTP/1.0 503 Busy\r\n\r\n", -1, 503, "HTTP/1.0", "", {}, kUnchanged, nullptr, nullptr},
    {"HTTP/1.1 100 Continue\r\n\r\n", 0, 100, "HTTP/1.1", "Continue", {}, kUnchanged, nullptr, ""},
    {"HTTP/1.1 204 No Content\r\n\r\n",
     0,
     204,
     "HTTP/1.1",
     "No Content",
     {},
     kUnchanged,
     nullptr,
     ""},
    {"HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n",
     0,
     302,
     "HTTP/1.1",
     "Found",
     {{"Location", "/x"}},
     kUnchanged,
     nullptr,
     ""},
    // a blank after the code: empty reason
    {"HTTP/1.1 200 \r\nA: 1\r\n\r\n",
     0,
     200,
     "HTTP/1.1",
     "",
     {{"A", "1"}},
     kUnchanged,
     nullptr,
     ""},
    // no blank after the code: the reason comes from the first header line
    {"HTTP/1.1 200\r\nA: x y\r\nB: 2\r\n\r\n",
     0,
     200,
     "HTTP/1.1",
     "x y",
     {{"B", "2"}},
     kUnchanged,
     nullptr,
     ""},
    // LF alone ends no line
    {"HTTP/1.1 200 OK\nA: 1\n\n", 0, 200, "HTTP/1.1", "", {}, kUnchanged, nullptr, ""},
    {"HTTP/1.1 200 OK\r\nA:direct\r\nB:   three  \r\nC : x\r\nD:\t tab\r\nE:   \r\n\r\n",
     0,
     200,
     "HTTP/1.1",
     "OK",
     {{"A", "direct"}, {"B", "three  "}, {"C ", "x"}, {"D", "\t tab"}, {"E", ""}},
     kUnchanged,
     nullptr,
     ""},
    {"HTTP/1.1 200 OK\r\nno colon here\r\nA: 1\r\n\r\n",
     0,
     200,
     "HTTP/1.1",
     "OK",
     {{"A", "1"}},
     kUnchanged,
     nullptr,
     ""},
    // folded lines are ordinary lines
    {"HTTP/1.1 200 OK\r\nA: 1\r\n  cont: x\r\n\tno colon\r\n\r\n",
     0,
     200,
     "HTTP/1.1",
     "OK",
     {{"A", "1"}, {"  cont", "x"}},
     kUnchanged,
     nullptr,
     ""},
    {"HTTP/1.1 200 OK\r\nA: 1\r\nA: 2\r\n\r\n",
     0,
     200,
     "HTTP/1.1",
     "OK",
     {{"A", "1"}, {"A", "2"}},
     kUnchanged,
     nullptr,
     ""},
    // the head ends without its empty line: fields so far are kept
    {"HTTP/1.1 200 OK\r\nA: 1\r\nB: 2",
     0,
     200,
     "HTTP/1.1",
     "OK",
     {{"A", "1"}},
     kUnchanged,
     nullptr,
     "A: 1\r\nB: 2"},
    {"HTTP/1.1 200 OK", 0, 200, "HTTP/1.1", "", {}, kUnchanged, nullptr, ""},
    {"\r\n \tHTTP/1.0 200 OK\r\n\r\n", 0, 200, "HTTP/1.0", "OK", {}, kUnchanged, nullptr, ""},
    // three characters whatever they are
    {"HTTP/1.1 2 OK\r\n\r\n", 0, 2, "HTTP/1.1", "OK", {}, kUnchanged, nullptr, ""},
    {"HTTP/1.1 abc x\r\n\r\n", -1, 0, "HTTP/1.1", "", {}, kUnchanged, nullptr, nullptr},
    {"HTTP/1.1 \xff"
     "00 x\r\n\r\n",
     -1,
     0,
     "HTTP/1.1",
     "",
     {},
     kUnchanged,
     nullptr,
     nullptr},
    // the second blank is the last byte: the code is read only up to it
    {"HTTP/1.1  ", 0, 0, "HTTP/1.1", "", {}, kUnchanged, nullptr, ""},
    // zero bytes are ordinary bytes for the scans; texts end at them
    {Bytes("HTTP/1.1 200 OK\r\nA: x\0y\r\nB: 2\r\n\r\n"),
     0,
     200,
     "HTTP/1.1",
     "OK",
     {{"A", "x"}, {"B", "2"}},
     kUnchanged,
     nullptr,
     ""},
    // failures of the status line
    {"",
     -1,
     0,
     "",
     "",
     {},
     HTTP_ERR_STATUS,
     "ParseStartLine Return -1, parse http version error",
     nullptr},
    {"HTTP/1.1",
     -1,
     0,
     "",
     "",
     {},
     HTTP_ERR_STATUS,
     "ParseStartLine Return -1, parse http version error",
     nullptr},
    {"HTTP/1.1 200",
     -1,
     0,
     "HTTP/1.1",
     "",
     {},
     HTTP_ERR_STATUS,
     "ParseStartLine Return -1, parse status code error",
     nullptr},
    // version token: 31 characters fit, 32 do not
    {Repeat('V', 31) + " 200 OK\r\n\r\n",
     0,
     200,
     "VVVVVVVVVVVVVVVVVVVVVVVVVVVVVVV",
     "OK",
     {},
     kUnchanged,
     nullptr,
     ""},
    {Repeat('V', 32) + " 200 OK\r\n\r\n",
     -1,
     0,
     "",
     "",
     {},
     HTTP_ERR_STATUS,
     "ParseStartLine Return -1, parse http version error",
     nullptr},
};

TEST(ResponseParser, Table) {
    int nRow = 0;
    for (const HeadRow& r : kHeadRows) {
        CHttpParser p;
        SetLastErrNo(kUnchanged);
        int nResult = 99;
        Records log =
            LoggedBy([&] { nResult = p.ParseMsg(r.head.data(), static_cast<int>(r.head.size())); });
        SCOPED_TRACE("row " + std::to_string(nRow++) + ": " + r.head);
        EXPECT_EQ(nResult, r.result);
        EXPECT_EQ(*p.GetStatusCode(), r.status);
        EXPECT_STREQ(p.GetVersion(), r.version);
        EXPECT_STREQ(p.GetReason(), r.reason);
        EXPECT_EQ(Dump(p.GetResponseHeaders()), r.fields);
        EXPECT_EQ(g_nLastErrNo.load(), r.errNo);
        // Only the record under test is counted; lookups log misses elsewhere.
        Records expected;
        if (r.log != nullptr) {
            expected.push_back(std::string("HTTP_LOG_DEBUG ") + kSrc + r.log);
        }
        EXPECT_EQ(log, expected);
        if (r.after != nullptr) {
            ASSERT_NE(p.GetCursor(), nullptr);
            const char* pEnd = p.GetHead() + p.GetHeadLen();
            EXPECT_EQ(std::string(p.GetCursor(), pEnd), r.after);
        }
    }
}

TEST(ResponseParser, ReasonPhraseIsCutAt255) {
    std::string reason = Repeat('r', 300);
    std::string head = "HTTP/1.1 200 " + reason + "\r\nA: 1\r\n\r\n";
    CHttpParser p;
    EXPECT_EQ(p.ParseMsg(head.data(), static_cast<int>(head.size())), 0);
    EXPECT_EQ(std::string(p.GetReason()), reason.substr(0, 255));
    EXPECT_EQ(Dump(p.GetResponseHeaders()), (Fields{{"A", "1"}}));
}

TEST(ResponseParser, ScansStopAtTheGivenLength) {
    // The bytes behind the given length would complete the head; they must
    // not be seen.
    const char text[] = "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n";
    CHttpParser p;
    EXPECT_EQ(p.ParseMsg(text, 13), 0); // "HTTP/1.1 200 "
    EXPECT_EQ(*p.GetStatusCode(), 200);
    EXPECT_EQ(p.ParseMsg(text, 12), -1); // "HTTP/1.1 200": no second blank
    EXPECT_EQ(p.ParseMsg(text, 21), 0);  // up to "A: 1" without its CR LF
    EXPECT_TRUE(p.GetResponseHeaders().empty());
}

TEST(ResponseParser, EachParseReplacesTheResponseFields) {
    const std::string first = "HTTP/1.1 200 OK\r\nX-A: 1\r\nShared: old\r\n\r\n";
    const std::string second = "HTTP/1.1 200 OK\r\nX-B: 2\r\nShared: new\r\n\r\n";
    const std::string refused = "HTTP/1.1 500 Oops\r\nX-C: 3\r\n\r\n";
    CHttpParser p;
    ASSERT_EQ(p.ParseMsg(first.data(), static_cast<int>(first.size())), 0);
    ASSERT_EQ(p.ParseMsg(second.data(), static_cast<int>(second.size())), 0);
    EXPECT_EQ(p.GetResponseHeader("X-A"), nullptr);
    EXPECT_STREQ(p.GetResponseHeader("shared"), "new");
    EXPECT_EQ(Dump(p.GetResponseHeaders()), (Fields{{"X-B", "2"}, {"Shared", "new"}}));
    EXPECT_EQ(p.ParseMsg(refused.data(), static_cast<int>(refused.size())), -1);
    EXPECT_TRUE(p.GetResponseHeaders().empty());
    EXPECT_EQ(p.GetCursor(), nullptr);
}

TEST(ResponseParser, NullHeadIsAnEmptyHead) {
    CHttpParser p;
    SetLastErrNo(0);
    EXPECT_EQ(p.ParseMsg(nullptr, 10), -1);
    EXPECT_EQ(g_nLastErrNo.load(), HTTP_ERR_STATUS);
    EXPECT_EQ(p.ParseMsg("HTTP/1.1 200 OK\r\n", -4), -1);
}

TEST(ResponseParser, LookupFindsTheFirstOfTwoFields) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: a\r\ncontent-type: b\r\n\r\n";
    CHttpParser p;
    ASSERT_EQ(p.ParseMsg(head.data(), static_cast<int>(head.size())), 0);
    EXPECT_STREQ(p.GetResponseHeader("CONTENT-TYPE"), "a");
}

struct ParseNoMemoryRow {
    int nSkip;       // successful non-throwing allocations before the failure
    const char* log; // record message
    Fields kept;     // fields parsed before the failure
};

// Allocations: the head copy, then record, name and value per field.
TEST(ResponseParser, OutOfMemoryFailsTheParse) {
    const ParseNoMemoryRow rows[] = {
        {0, "ParseMsg Return -1, operation new Error", {}},
        {1, "ParseHeaders Return -1, operation new Error", {}},
        {2, "ParseHeaders Return -1, operation new Error", {}},
        {3, "ParseHeaders Return -1, operation new Error", {}},
        {4, "ParseHeaders Return -1, operation new Error", {{"A", "1"}}},
    };
    const std::string head = "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\n\r\n";
    for (const ParseNoMemoryRow& r : rows) {
        CHttpParser p;
        SetLastErrNo(0);
        int nResult = 0;
        Records log = LoggedBy([&] {
            FailNothrowNewAfter(r.nSkip);
            nResult = p.ParseMsg(head.data(), static_cast<int>(head.size()));
            ResetNothrowNew();
        });
        EXPECT_EQ(nResult, -1) << r.nSkip;
        EXPECT_EQ(g_nLastErrNo.load(), HTTP_ERR_NO_MEMORY);
        EXPECT_EQ(log, Records{std::string("HTTP_LOG_OFF ") + kSrc + r.log});
        EXPECT_EQ(Dump(p.GetResponseHeaders()), r.kept);
    }
    // After a failed copy the codec parses again as usual.
    CHttpParser p;
    FailNothrowNewAfter(0);
    EXPECT_EQ(p.ParseMsg(head.data(), static_cast<int>(head.size())), -1);
    ResetNothrowNew();
    EXPECT_EQ(p.ParseMsg(head.data(), static_cast<int>(head.size())), 0);
    EXPECT_STREQ(p.GetResponseHeader("b"), "2");
}

} // namespace
