// The codec's header lists and its response head parser.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fail_alloc.h"
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

TEST(HeaderList, EmptyValueAndEveryTokenCharacterAreAccepted) {
    CHttpParser p;
    EXPECT_EQ(p.AddHeader("N", ""), 0);
    EXPECT_EQ(p.AddHeader("!#$%&'*+-.^_`|~09azAZ", "v"), 0);
    EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"N", ""}, {"!#$%&'*+-.^_`|~09azAZ", "v"}}));
}

struct BadHeaderRow {
    const char* name;
    const char* value;
    const std::string& record;
};

// Null texts, names that are not tokens, values that would break out of
// their line, and lines that could never fit a request head.
TEST(HeaderList, RefusesWhatCannotBeSentWithoutTouchingTheList) {
    const std::string kTooLarge = std::string("HTTP_LOG_DEBUG ") + kSrc +
                                  "AddHeader Return -1, header larger than a request head";
    // "GET / HTTP/1.1\r\n", "HOST: h\r\n", the fixed lines, the empty line;
    // then "X: value\r\n".
    const size_t nLargest = kHttpRequestHeadMax - (16 + 9 + 178 + 2) - 5;
    const std::string sTooLarge(nLargest + 1, 'v');
    const std::string sMiB(1 << 20, 'v');
    const BadHeaderRow rows[] = {
        {nullptr, "v", kInvalid},
        {"X-Old", nullptr, kInvalid},
        {nullptr, nullptr, kInvalid},
        {"X\r\nEvil: 1", "v", kInvalid},
        {"X-Old", "new\r\nX: y", kInvalid},
        {"X-Old", "new\n", kInvalid},
        {"X-Old\r", "v", kInvalid},
        {"X-Old", "\rnew", kInvalid},
        {"\n", "", kInvalid},
        {"", "v", kInvalid},
        {"X:Evil", "v", kInvalid},
        {"X Old", "v", kInvalid},
        {"X-Old ", "v", kInvalid},
        {"X\tOld", "v", kInvalid},
        {"X\x01", "v", kInvalid},
        {"X\x7f", "v", kInvalid},
        {"X\xc3\xa4", "v", kInvalid},
        {"X(1)", "v", kInvalid},
        {"X", sTooLarge.c_str(), kTooLarge},
        {"X", sMiB.c_str(), kTooLarge},
    };
    for (const BadHeaderRow& r : rows) {
        CHttpParser p;
        p.SetRequestLine(HTTP_METHOD_GET, "/");
        p.SetHost("h");
        ASSERT_EQ(p.AddHeader("X-Old", "old"), 0);
        int nResult = 0;
        Records log = LoggedBy([&] { nResult = p.AddHeader(r.name, r.value); });
        EXPECT_EQ(nResult, HTTP_ERR_BAD_PARAM) << (r.name ? r.name : "(null)");
        EXPECT_EQ(log, Records{r.record});
        EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"X-Old", "old"}}));
    }
    CHttpParser p;
    p.SetRequestLine(HTTP_METHOD_GET, "/");
    p.SetHost("h");
    EXPECT_EQ(p.AddHeader("X", std::string(nLargest, 'v').c_str()), 0);
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
    Records log = LoggedBy([&] { nResult = p.RemoveHeader("absent"); });
    EXPECT_EQ(nResult, 0);
    EXPECT_EQ(log, Records{kMiss});
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
        int nResult = 0;
        Records log = LoggedBy([&] {
            FailNothrowNewAfter(n);
            nResult = p.AddHeader("New", "2");
            ResetNothrowNew();
        });
        EXPECT_EQ(nResult, HTTP_ERR_NO_MEMORY) << n;
        EXPECT_EQ(log, (Records{kMiss, kAddNoMemory}));
        EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"Keep", "1"}}));
    }
}

TEST(HeaderList, OutOfMemoryWhileReplacingKeepsTheOldValue) {
    CHttpParser p;
    ASSERT_EQ(p.AddHeader("Keep", "old"), 0);
    int nResult = 0;
    Records log = LoggedBy([&] {
        FailNothrowNewAfter(0);
        nResult = p.AddHeader("KEEP", "new");
        ResetNothrowNew();
    });
    EXPECT_EQ(nResult, HTTP_ERR_NO_MEMORY);
    EXPECT_EQ(log, Records{kAddNoMemory});
    EXPECT_EQ(Dump(p.GetRequestHeaders()), (Fields{{"Keep", "old"}}));
}

// ---------------------------------------------------------------- response parser

std::string Repeat(char c, size_t n) {
    return std::string(n, c);
}

// A literal with its zero bytes, without the terminating one.
template <size_t N> std::string Bytes(const char (&s)[N]) {
    return std::string(s, N - 1);
}

std::string Parsed(const std::string& head, CHttpParser& p, Records* pLog) {
    int nResult = 99;
    *pLog = LoggedBy([&] { nResult = p.ParseMsg(head.data(), static_cast<int>(head.size())); });
    return std::to_string(nResult);
}

struct AcceptedRow {
    std::string head;
    int status;
    const char* version;
    const char* reason;
    Fields fields;
    const char* after; // the bytes behind the cursor
};

// clang-format off
const AcceptedRow kAccepted[] = {
    {"HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\n\r\n", 200, "HTTP/1.1", "OK", {{"A", "1"}, {"B", "2"}}, ""},
    {"HTTP/1.1 200 OK\r\n\r\nBODY",              200, "HTTP/1.1", "OK", {}, "BODY"},
    // the empty line ends the head even right behind the status line
    {"HTTP/1.1 200 OK\r\n\r\nA: 1\r\n\r\n",      200, "HTTP/1.1", "OK", {}, "A: 1\r\n\r\n"},
    {"HTTP/1.1 100 Continue\r\n\r\n",            100, "HTTP/1.1", "Continue", {}, ""},
    {"HTTP/1.1 204 No Content\r\n\r\n",          204, "HTTP/1.1", "No Content", {}, ""},
    {"HTTP/1.0 302 Found\r\nLocation: /x\r\n\r\n", 302, "HTTP/1.0", "Found", {{"Location", "/x"}}, ""},
    // a blank after the code: empty reason
    {"HTTP/1.1 200 \r\nA: 1\r\n\r\n",            200, "HTTP/1.1", "", {{"A", "1"}}, ""},
    // no blank after the code: the reason comes from the first header line
    {"HTTP/1.1 200\r\nA: x y\r\nB: 2\r\n\r\n",   200, "HTTP/1.1", "x y", {{"B", "2"}}, ""},
    // lines ending in LF alone, or in a mix of both
    {"HTTP/1.1 200 OK\nA: 1\nB: 2\n\nBODY",      200, "HTTP/1.1", "OK", {{"A", "1"}, {"B", "2"}}, "BODY"},
    {"HTTP/1.1 200 OK\r\nA: 1\nB: 2\r\n\n",       200, "HTTP/1.1", "OK", {{"A", "1"}, {"B", "2"}}, ""},
    {"HTTP/1.1 200 OK\nA: 1\r\n\r\n",            200, "HTTP/1.1", "OK", {{"A", "1"}}, ""},
    {"HTTP/1.1 204 No Content\n\n",             204, "HTTP/1.1", "No Content", {}, ""},
    {"HTTP/1.1 200 OK\nA: x\ry\n\n",            200, "HTTP/1.1", "OK", {{"A", "x\ry"}}, ""},
    {"HTTP/1.1 200 OK\r\nA:direct\r\nB:   three  \r\nC : x\r\nD:\t tab\r\nE:   \r\n\r\n", 200, "HTTP/1.1", "OK",
     {{"A", "direct"}, {"B", "three  "}, {"C ", "x"}, {"D", "\t tab"}, {"E", ""}}, ""},
    {"HTTP/1.1 200 OK\r\nno colon\r\nA: 1\r\n\r\n", 200, "HTTP/1.1", "OK", {{"A", "1"}}, ""},
    // folded lines are ordinary lines
    {"HTTP/1.1 200 OK\r\nA: 1\r\n  cont: x\r\n\tno colon\r\n\r\n", 200, "HTTP/1.1", "OK",
     {{"A", "1"}, {"  cont", "x"}}, ""},
    {"HTTP/1.1 200 OK\r\nA: 1\r\nA: 2\r\n\r\n",  200, "HTTP/1.1", "OK", {{"A", "1"}, {"A", "2"}}, ""},
    // no empty line: the fields so far are kept, the cursor stays put
    {"HTTP/1.1 200 OK\r\nA: 1\r\nB: 2",          200, "HTTP/1.1", "OK", {{"A", "1"}}, "A: 1\r\nB: 2"},
    {"HTTP/1.1 200 OK",                          200, "HTTP/1.1", "", {}, ""},
    {"\r\n \tHTTP/1.0 200 OK\r\n\r\n",           200, "HTTP/1.0", "OK", {}, ""},
    // zero bytes are ordinary bytes for the scans; texts end at them
    {Bytes("HTTP/1.1 200 OK\r\nA: x\0y\r\nB: 2\r\n\r\n"), 200, "HTTP/1.1", "OK", {{"A", "x"}, {"B", "2"}}, ""},
    {Repeat('V', 31) + " 200 OK\r\n\r\n",        200, "VVVVVVVVVVVVVVVVVVVVVVVVVVVVVVV", "OK", {}, ""},
};

struct RefusedRow {
    std::string head;
    int status;
    const char* version;
    int result;      // -1 for a refused status, or the error number
    const char* log; // the record's message, or nullptr for none
    const char* reason;
};

const char kBadCode[] = "ParseStartLine Return -1, parse status code error";

const RefusedRow kRefused[] = {
    {"HTTP/1.1 404 Not Found\r\nA: 1\r\n\r\n", 404, "HTTP/1.1", -1, nullptr, "Not Found"},
    {"HTTP/1.0 503 Busy\r\n\r\n",            503, "HTTP/1.0", -1, nullptr, "Busy"},
    {"HTTP/1.1 401 Unauthorized\nA: 1\n\n",   401, "HTTP/1.1", -1, nullptr, "Unauthorized"},
    {"HTTP/1.1 999 Odd\r\n\r\n",              999, "HTTP/1.1", -1, nullptr, "Odd"},
    {"",                                     0,   "", HTTP_ERR_STATUS, "ParseStartLine Return -1, parse http version error", ""},
    {"HTTP/1.1",                             0,   "", HTTP_ERR_STATUS, "ParseStartLine Return -1, parse http version error", ""},
    {Repeat('V', 32) + " 200 OK\r\n\r\n",    0,   "", HTTP_ERR_STATUS, "ParseStartLine Return -1, parse http version error", ""},
    {"HTTP/1.1 200",                         0,   "HTTP/1.1", HTTP_ERR_STATUS, "ParseStartLine Return -1, parse status code error", ""},
    // a status is exactly three digits, then a blank or the line's end
    {"HTTP/1.1 -1 X\r\n\r\n",              0,   "HTTP/1.1", HTTP_ERR_STATUS, kBadCode, ""},
    {"HTTP/1.1 +20 X\r\n\r\n",             0,   "HTTP/1.1", HTTP_ERR_STATUS, kBadCode, ""},
    {"HTTP/1.1 2AB X\r\n\r\n",             0,   "HTTP/1.1", HTTP_ERR_STATUS, kBadCode, ""},
    {"HTTP/1.1 0 X\r\n\r\n",               0,   "HTTP/1.1", HTTP_ERR_STATUS, kBadCode, ""},
    {"HTTP/1.1 2 OK\r\n\r\n",              0,   "HTTP/1.1", HTTP_ERR_STATUS, kBadCode, ""},
    {"HTTP/1.1 2000 OK\r\n\r\n",           0,   "HTTP/1.1", HTTP_ERR_STATUS, kBadCode, ""},
    {"HTTP/1.1 200\tOK\r\n\r\n",           0,   "HTTP/1.1", HTTP_ERR_STATUS, kBadCode, ""},
    {"HTTP/1.1 abc x\r\nA: 1\r\n\r\n",       0,   "HTTP/1.1", HTTP_ERR_STATUS, kBadCode, ""},
    {"HTTP/1.1 \xff" "00 x\r\n\r\n",         0,   "HTTP/1.1", HTTP_ERR_STATUS, kBadCode, ""},
    {"HTTP/1.1  ",                           0,   "HTTP/1.1", HTTP_ERR_STATUS, kBadCode, ""},
};
// clang-format on

TEST(ResponseParser, Accepted) {
    for (const AcceptedRow& r : kAccepted) {
        SCOPED_TRACE(r.head);
        CHttpParser p;
        Records log;
        EXPECT_EQ(Parsed(r.head, p, &log), "0");
        EXPECT_EQ(log, Records{});
        EXPECT_EQ(*p.GetStatusCode(), r.status);
        EXPECT_STREQ(p.GetVersion(), r.version);
        EXPECT_STREQ(p.GetReason(), r.reason);
        EXPECT_EQ(Dump(p.GetResponseHeaders()), r.fields);
        ASSERT_NE(p.GetCursor(), nullptr);
        EXPECT_EQ(std::string(p.GetCursor(), p.GetHead() + p.GetHeadLen()), r.after);
    }
}

// A refused head keeps its status line; no header field is stored.
TEST(ResponseParser, Refused) {
    for (const RefusedRow& r : kRefused) {
        SCOPED_TRACE(r.head);
        CHttpParser p;
        Records log;
        EXPECT_EQ(Parsed(r.head, p, &log), std::to_string(r.result));
        EXPECT_EQ(log, r.log != nullptr ? Records{std::string("HTTP_LOG_DEBUG ") + kSrc + r.log}
                                        : Records{});
        EXPECT_EQ(*p.GetStatusCode(), r.status);
        EXPECT_STREQ(p.GetVersion(), r.version);
        EXPECT_STREQ(p.GetReason(), r.reason);
        EXPECT_TRUE(p.GetResponseHeaders().empty());
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
    EXPECT_EQ(p.ParseMsg(text, 12), HTTP_ERR_STATUS); // "HTTP/1.1 200": no second blank
    EXPECT_EQ(p.ParseMsg(text, 21), 0);               // up to "A: 1" without its CR LF
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
}

TEST(ResponseParser, NullHeadIsAnEmptyHead) {
    CHttpParser p;
    EXPECT_EQ(p.ParseMsg(nullptr, 10), HTTP_ERR_STATUS);
    EXPECT_EQ(p.ParseMsg("HTTP/1.1 200 OK\r\n", -4), HTTP_ERR_STATUS);
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
        int nResult = 0;
        Records log = LoggedBy([&] {
            FailNothrowNewAfter(r.nSkip);
            nResult = p.ParseMsg(head.data(), static_cast<int>(head.size()));
            ResetNothrowNew();
        });
        EXPECT_EQ(nResult, HTTP_ERR_NO_MEMORY) << r.nSkip;
        EXPECT_EQ(log, Records{std::string("HTTP_LOG_OFF ") + kSrc + r.log});
        EXPECT_EQ(Dump(p.GetResponseHeaders()), r.kept);
    }
    // After a failed copy the codec parses again as usual.
    CHttpParser p;
    FailNothrowNewAfter(0);
    EXPECT_EQ(p.ParseMsg(head.data(), static_cast<int>(head.size())), HTTP_ERR_NO_MEMORY);
    ResetNothrowNew();
    EXPECT_EQ(p.ParseMsg(head.data(), static_cast<int>(head.size())), 0);
    EXPECT_STREQ(p.GetResponseHeader("b"), "2");
}

} // namespace
