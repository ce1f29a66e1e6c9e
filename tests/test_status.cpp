#include <gtest/gtest.h>

#include <string>

#include "http_log.h"
#include "http_status.h"
#include "stderr_capture.h"

namespace {

class StatusTable : public ::testing::Test {
protected:
    void SetUp() override { g_cHttpLog.SetLevel(2); }
    void TearDown() override { g_cHttpLog.SetLevel(-1); }
};

TEST_F(StatusTable, ByPosition) {
    EXPECT_STREQ(GetStatusDesc(0), "100 Continue");
    EXPECT_STREQ(GetStatusDesc(15), "307 Temproary Redirect");
    EXPECT_STREQ(GetStatusDesc(39), "505 HTTP Version Not Supported");
    for (int nBad : {-1, 40}) {
        StderrCapture cap;
        EXPECT_EQ(GetStatusDesc(nBad), nullptr);
        std::string log = cap.Finish();
        EXPECT_NE(log.find("GetStatusDesc Return -1, IN Param is Out of Area\n"),
                  std::string::npos);
    }
}

struct CodeRow {
    const char* code;
    int position;
    int errNo;           // last error number afterwards
    const char* logTail; // expected record, or nullptr for none
};

TEST_F(StatusTable, ByCode) {
    const CodeRow rows[] = {
        {"200", 2, 0, nullptr},
        {"307", 15, 0, nullptr},
        {"505", 39, 0, nullptr},
        {"306", 40, 0, nullptr}, // no row for 306
        {"2x0", 40, 0, nullptr}, // letters are well formed, just unknown
        {"600", 40, -13, "IN Param is Out of Area\n"},
        {"099", 40, -13, "IN Param is Out of Area\n"},
        {"20", 40, -13, "IN Param is Invalid\n"},
        {"2000", 40, -13, "IN Param is Invalid\n"},
        {nullptr, 40, -13, "IN Param is Invalid\n"},
    };
    for (const CodeRow& r : rows) {
        int nErrNo = 0;
        StderrCapture cap;
        EXPECT_EQ(GetStatusDesc(r.code, &nErrNo), r.position) << (r.code ? r.code : "null");
        std::string log = cap.Finish();
        EXPECT_EQ(nErrNo, r.errNo);
        if (r.logTail == nullptr) {
            EXPECT_EQ(log, "");
        } else {
            EXPECT_NE(log.find(std::string("GetStatusDesc Return -1, ") + r.logTail),
                      std::string::npos)
                << log;
        }
    }
}

TEST_F(StatusTable, EveryRowFindsItself) {
    for (int i = 0; i < kHttpStatusCount; ++i) {
        std::string code = std::string(GetStatusDesc(i)).substr(0, 3);
        EXPECT_EQ(GetStatusDesc(code.c_str()), i) << code;
    }
}

} // namespace
