// The byte-level pieces of multipart splitting: the boundary parameter, the
// head of a part and the delimiter that ends a body of unknown length.
#include <gtest/gtest.h>

#include <string>

#include "http_part.h"

namespace {

struct BoundaryRow {
    std::string value; // response Content-Type value
    std::string boundary;
};

TEST(Boundary, TakenFromTheContentTypeValue) {
    const std::string b71(71, 'b');
    const BoundaryRow rows[] = {
        {"multipart/x-mixed-replace;boundary=myboundary", "myboundary"},
        {"multipart/x-mixed-replace; boundary=fr", "fr"},
        {"multipart/x-mixed-replace; boundary=   fr", "fr"},
        {"multipart/x-mixed-replace; boundary=\"fr\"", "fr"},
        {"multipart/x-mixed-replace; boundary= \"fr\"; x=1", "fr"},
        {"multipart/x-mixed-replace; boundary=\"fr; x\"", "fr; x"},
        {"multipart/x-mixed-replace; boundary=\"fr", "fr"},
        {"multipart/x-mixed-replace; boundary=fr; x=1", "fr"},
        {"multipart/x-mixed-replace; boundary=fr x=1", "fr"},
        {"multipart/x-mixed-replace; boundary = fr", "fr"},
        {"multipart/x-mixed-replace; boundary=--myboundary", "--myboundary"},
        {"multipart/mixed; x-boundary-style=1; boundary=fr", "fr"},
        {"multipart/mixed;boundary=" + b71 + "cut", b71},
        {"multipart/mixed;boundary=\"" + b71 + "cut\"", b71},
        // no usable boundary: the response is raw
        {"multipart/x-mixed-replace; boundary", ""},
        {"multipart/x-mixed-replace; boundary; charset=x", ""},
        {"multipart/x-mixed-replace; boundary=", ""},
        {"multipart/x-mixed-replace; boundary=\"\"", ""},
        {"multipart/x-mixed-replace; Boundary=fr", ""},
        {"image/jpeg", ""},
        {"", ""},
    };
    for (const BoundaryRow& r : rows) {
        char out[kHttpBoundaryMax + 1];
        int n = HttpGetBoundary(r.value.c_str(), out);
        EXPECT_EQ(std::string(out), r.boundary) << r.value;
        EXPECT_EQ(n, static_cast<int>(r.boundary.size())) << r.value;
    }
}

struct PartHeadRow {
    std::string head; // delimiter line to the empty line
    int nLength;
    int bHasType;
    std::string type;
};

TEST(PartHead, LengthAndTypeFromTheHeadLines) {
    const std::string t300(300, 't');
    const PartHeadRow rows[] = {
        {"--fr\r\nContent-Type: image/jpeg\r\nContent-Length: 1234\r\n\r\n", 1234, 1, "image/jpeg"},
        {"--fr\r\ncontent-length:5\r\nCONTENT-TYPE:text/plain\r\n\r\n", 5, 1, "text/plain"},
        {"--fr\r\nContent-Length: 0\r\n\r\n", 0, 0, ""},
        {"--fr\r\nContent-Length :  +17 \r\n\r\n", 17, 0, ""},
        {"--fr\r\nContent-Length: 12abc\r\n\r\n", 12, 0, ""},
        {"--fr\r\nContent-Length: -1\r\n\r\n", -1, 0, ""},
        {"--fr\r\nContent-Length: \r\n\r\n", -1, 0, ""},
        {"--fr\r\nContent-Length: 99999999999\r\n\r\n", -1, 0, ""},
        {"--fr\r\nContent-Type: image/jpeg\r\n\r\n", -1, 1, "image/jpeg"},
        {"--fr\r\n\r\n", -1, 0, ""},
        {"--fr\r\nContent-Type:\t image/png  \r\n\r\n", -1, 1, "image/png  "},
        {"--fr\r\nContent-Type:\r\nContent-Length: 3\r\n\r\n", 3, 1, ""},
        // only whole names at the start of a line count; the first line of each wins
        {"--fr\r\nX-Content-Length: 9\r\nContent-Lengthy: 8\r\nContent-Length: 7\r\n"
         "Content-Length: 6\r\n\r\n",
         7, 0, ""},
        {"--fr\r\n  Content-Length: 4\r\n\r\n", 4, 0, ""},
        {"--fr\r\nContent-Type: " + t300 + "\r\n\r\n", -1, 1, std::string(255, 't')},
        // lines ending in LF alone, or in a mix of both
        {"--fr\nContent-Type: text/x\nContent-Length: 8\n\n", 8, 1, "text/x"},
        {"--fr\r\nContent-Length: 9\nContent-Type: a/b\r\n\n", 9, 1, "a/b"},
        // the delimiter line itself is not a head line
        {"Content-Length: 3\r\n\r\n", -1, 0, ""},
    };
    for (const PartHeadRow& r : rows) {
        HttpPartHead head;
        HttpParsePartHead(r.head.data(), r.head.data() + r.head.size(), &head);
        EXPECT_EQ(head.nLength, r.nLength) << r.head;
        EXPECT_EQ(head.bHasType, r.bHasType) << r.head;
        EXPECT_EQ(std::string(head.szType), r.type) << r.head;
    }
}

struct DelimiterRow {
    const char* name;
    std::string body; // from the body start to the end of the bytes held
    std::string boundary;
    int nBodyLen; // -1: no delimiter yet
    int nLine;    // offset of the delimiter line
};

TEST(Delimiter, EndsABodyOfUnknownLength) {
    const DelimiterRow rows[] = {
        {"CR LF before the line", "abc\r\n--fr\r\n", "fr", 3, 5},
        {"LF before the line", "abc\n--fr\r\n", "fr", 3, 4},
        {"empty body with CR LF", "\r\n--fr\r\n", "fr", 0, 2},
        {"empty body, line at once", "--fr\r\n", "fr", 0, 0},
        {"closing delimiter", "abc\r\n--fr--\r\n", "fr", 3, 5},
        {"boundary that starts with dashes", "abc\r\n--myb\r\n", "--myb", 3, 5},
        {"extra dashes", "abc\r\n----fr\r\n", "fr", 3, 5},
        {"not at a line start", "abc--fr\r\n", "fr", -1, 0},
        {"without dashes", "abc\r\nfr\r\n", "fr", -1, 0},
        {"one dash", "abc\r\n-fr\r\n", "fr", -1, 0},
        {"zero bytes before", std::string("a\0\r\n\0b\r\n--fr\r\n", 14), "fr", 6, 8},
        {"a longer boundary is no delimiter", "abc\r\n--frx\r\n--fr \r\n", "fr", 10, 12},
        {"boundary at the end: not yet", "abc\r\n--fr", "fr", -1, 0},
        {"first of two", "a\r\n--fr\r\nb\r\n--fr", "fr", 1, 3},
        {"boundary split at the end", "abc\r\n--f", "fr", -1, 0},
    };
    for (const DelimiterRow& r : rows) {
        const char* pBody = r.body.data();
        const char* pLine = nullptr;
        const char* pEnd = HttpFindDelimiter(pBody, pBody, pBody + r.body.size(), r.boundary.data(),
                                             static_cast<int>(r.boundary.size()), &pLine);
        EXPECT_EQ(pEnd == nullptr ? -1 : static_cast<int>(pEnd - pBody), r.nBodyLen) << r.name;
        if (pEnd != nullptr) {
            EXPECT_EQ(static_cast<int>(pLine - pBody), r.nLine) << r.name;
        }
    }
}

TEST(Delimiter, OnlyOccurrencesFromTheScanStartAreTried) {
    const std::string body = "x\r\n--fr\r\ny\r\n--fr\r\n";
    const char* p = body.data();
    const char* pLine = nullptr;
    // the scan starts past the first boundary: the second line is found, and
    // its look back for the line start still reads the bytes before the scan start
    const char* pEnd = HttpFindDelimiter(p, p + 6, p + body.size(), "fr", 2, &pLine);
    ASSERT_NE(pEnd, nullptr);
    EXPECT_EQ(pEnd - p, 10);
    EXPECT_EQ(pLine - p, 12);
}

} // namespace
