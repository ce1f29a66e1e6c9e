// The log sink: filtering, record format, targets and the daily file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http_log.h"
#include "oxr.h"
#include "stderr_capture.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::atomic<long long> g_tNow{0};
time_t FakeNow() {
    return static_cast<time_t>(g_tNow.load());
}

// A local time stamp as the records print it.
std::string Stamp(time_t t) {
    struct tm lt;
    OXR_LocalTime(t, &lt);
    char buf[32];
    snprintf(buf, sizeof(buf), "%04d%02d%02d%02d%02d%02d", lt.tm_year + 1900, lt.tm_mon + 1,
             lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
    return buf;
}

// Calendar time of a local wall-clock moment.
time_t Local(int y, int mo, int d, int h, int mi, int s) {
    struct tm lt;
    std::memset(&lt, 0, sizeof(lt));
    lt.tm_year = y - 1900;
    lt.tm_mon = mo - 1;
    lt.tm_mday = d;
    lt.tm_hour = h;
    lt.tm_min = mi;
    lt.tm_sec = s;
    lt.tm_isdst = -1;
    return mktime(&lt);
}

class LogSink : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = MakeTempDir("log");
        m_log.SetDirectory(m_dir.c_str());
        m_log.SetClock(FakeNow);
        g_tNow = Local(2024, 1, 31, 23, 59, 59);
    }
    void TearDown() override {
        m_log.SetLevel(-1);
        RemoveTree(m_dir);
    }
    int Files() {
        int n = 0;
        ListDir(m_dir, &n);
        return n;
    }
    std::string OnlyFile() {
        int n = 0;
        std::string names = ListDir(m_dir, &n);
        return n == 1 ? names.substr(0, names.size() - 1) : std::string();
    }
    int Write(int nLevel, const char* pszMsg) {
        return m_log.WriteLog(nLevel, "Http/src/http_client.cpp", 89, "%s", pszMsg);
    }

    std::string m_dir;
    CHttpLog m_log;
};

TEST_F(LogSink, NothingBeforeTheLevelIsSet) {
    StderrCapture cap;
    EXPECT_EQ(Write(0, "x\n"), -1);
    EXPECT_EQ(Write(2, "y\n"), -1);
    EXPECT_EQ(cap.Finish(), "");
    EXPECT_EQ(Files(), 0);
}

TEST_F(LogSink, DebugRecordFormatOnStandardError) {
    m_log.SetLevel(2);
    StderrCapture cap;
    EXPECT_EQ(Write(2, "Get HttpSession return NULL, Func Return -1\n"), 0);
    EXPECT_EQ(cap.Finish(), "HTTP_LOG_DEBUG 20240131235959 Http/src/http_client.cpp:89"
                            "Get HttpSession return NULL, Func Return -1\n");
}

struct FilterRow {
    int nLevel;
    bool bLevel0;
    bool bLevel2;
};

TEST_F(LogSink, LevelsFilterRecords) {
    const FilterRow rows[] = {
        {0, true, false}, {1, true, false}, {2, true, true}, {4, true, true}, {-2, false, false}};
    for (const FilterRow& r : rows) {
        m_log.SetLevel(r.nLevel);
        StderrCapture cap;
        Write(0, "zero\n");
        Write(2, "two\n");
        std::string out = cap.Finish();
        EXPECT_EQ(out.find("HTTP_LOG_OFF ") == 0 && out.find("zero\n") != std::string::npos,
                  r.bLevel0)
            << r.nLevel << ": " << out;
        EXPECT_EQ(out.find("HTTP_LOG_DEBUG ") != std::string::npos, r.bLevel2) << r.nLevel;
        m_log.SetLevel(-1);
    }
}

TEST_F(LogSink, RecordsNameTheirRealSourceLine) {
    g_cHttpLog.SetLevel(2);
    StderrCapture cap;
    int nLine = __LINE__ + 1;
    HTTP_LOG(2, "hello\n");
    std::string out = cap.Finish();
    g_cHttpLog.SetLevel(-1);
    EXPECT_NE(out.find(" tests/test_log.cpp:" + std::to_string(nLine) + "hello\n"),
              std::string::npos)
        << out;
}

TEST_F(LogSink, DailyFileCreatedAtOnce) {
    m_log.SetLevel(3);
    EXPECT_EQ(OnlyFile(), "20240131235959_1.0.0.20091030.log");
    EXPECT_EQ(ReadFile(m_dir + "/" + OnlyFile()), "");
    StderrCapture cap;
    Write(2, "to file\n");
    Write(0, "also\n");
    EXPECT_EQ(cap.Finish(), "");
    m_log.SetLevel(-1); // closes the file
    EXPECT_EQ(ReadFile(m_dir + "/" + OnlyFile()),
              "HTTP_LOG_DEBUG 20240131235959 Http/src/http_client.cpp:89to file\n"
              "HTTP_LOG_OFF 20240131235959 Http/src/http_client.cpp:89also\n");
}

TEST_F(LogSink, DailyFileReplacedAfterTheDay) {
    g_tNow = Local(2024, 3, 1, 15, 45, 1);
    m_log.SetLevel(3);
    time_t tMidnight = Local(2024, 3, 1, 0, 0, 0);
    g_tNow = tMidnight + 86400; // 00:00:00 next day: still the old file
    Write(2, "a\n");
    EXPECT_EQ(Files(), 1);
    g_tNow = tMidnight + 86401;
    Write(2, "b\n");
    EXPECT_EQ(Files(), 2);
    m_log.SetLevel(-1);
    std::string sNew = m_dir + "/" + Stamp(tMidnight + 86401) + "_1.0.0.20091030.log";
    EXPECT_NE(ReadFile(sNew).find("b\n"), std::string::npos);
    EXPECT_NE(ReadFile(m_dir + "/20240301154501_1.0.0.20091030.log").find("a\n"),
              std::string::npos);
}

#if !defined(_WIN32)
// The day mark is midnight counted as standard time, so while daylight saving
// time is in effect the file is replaced from 01:00:01 local clock time.
TEST_F(LogSink, DaylightSavingShiftsReplacementByAnHour) {
    const char* pszOld = getenv("TZ");
    std::string sOld = pszOld != nullptr ? pszOld : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    g_tNow = Local(2024, 7, 1, 10, 0, 0);
    m_log.SetLevel(3);
    g_tNow = Local(2024, 7, 2, 1, 0, 0);
    Write(2, "old day\n");
    int nBefore = Files();
    g_tNow = Local(2024, 7, 2, 1, 0, 1);
    Write(2, "new day\n");
    int nAfter = Files();
    if (pszOld != nullptr) {
        setenv("TZ", sOld.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_EQ(nBefore, 1);
    EXPECT_EQ(nAfter, 2);
}
#endif

TEST_F(LogSink, FileThenDebugSwitchesToStandardErrorNextDay) {
    g_tNow = Local(2024, 3, 1, 10, 0, 0);
    m_log.SetLevel(3);
    m_log.SetLevel(2);
    StderrCapture cap;
    Write(2, "still file\n");
    g_tNow = Local(2024, 3, 2, 10, 0, 0);
    Write(2, "now stderr\n");
    std::string out = cap.Finish();
    EXPECT_EQ(out.find("still file"), std::string::npos);
    EXPECT_NE(out.find("now stderr\n"), std::string::npos);
    EXPECT_NE(ReadFile(m_dir + "/" + OnlyFile()).find("still file\n"), std::string::npos);
}

TEST_F(LogSink, DebugThenFileOpensFileAtNextRecord) {
    m_log.SetLevel(2);
    m_log.SetLevel(3);
    EXPECT_EQ(Files(), 0);
    StderrCapture cap;
    Write(2, "into file\n");
    EXPECT_EQ(cap.Finish(), "");
    EXPECT_EQ(Files(), 1);
}

TEST_F(LogSink, OffThenOnChoosesTargetAtOnce) {
    m_log.SetLevel(3);
    m_log.SetLevel(-1);
    m_log.SetLevel(2);
    StderrCapture cap;
    EXPECT_EQ(Write(2, "back\n"), 0);
    EXPECT_NE(cap.Finish().find("back\n"), std::string::npos);
}

TEST_F(LogSink, OffBeforeEverEnabledOnlyStoresLevel) {
    m_log.SetLevel(-1);
    EXPECT_EQ(m_log.GetLevel(), -1);
    EXPECT_EQ(Files(), 0);
}

TEST_F(LogSink, UnwritableDirectoryDropsRecords) {
    std::string sFile = m_dir + "/plain-file";
    FILE* f = fopen(sFile.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    m_log.SetDirectory(sFile.c_str()); // a file, not a directory
    m_log.SetLevel(3);
    StderrCapture cap;
    EXPECT_EQ(Write(2, "lost\n"), -1);
    EXPECT_EQ(cap.Finish(), "");
}

// Whatever holds the file's name (the file of another process that started
// in the same second, something planted there) is never opened: the
// records go to the next name, and what was there keeps its bytes.
TEST_F(LogSink, ATakenNameIsNeverOpened) {
    enum Taker { kFile, kOtherSink, kLink };
    std::vector<Taker> takers = {kFile, kOtherSink};
#if !defined(_WIN32)
    takers.push_back(kLink);
#endif
    const std::string sName = "20240131235959_1.0.0.20091030.log";
    const std::string sNext = "20240131235959_1.0.0.20091030_2.log";
    for (Taker t : takers) {
        SCOPED_TRACE(t);
        const std::string dir = m_dir + "/" + std::to_string(t);
        const std::string target = m_dir + "/target" + std::to_string(t);
        fs::create_directory(dir);
        WriteFile(t == kLink ? target : dir + "/" + sName, "keep");
        CHttpLog other;
        if (t == kLink) {
            fs::create_symlink(target, dir + "/" + sName);
        } else if (t == kOtherSink) {
            fs::remove(dir + "/" + sName);
            other.SetDirectory(dir.c_str());
            other.SetClock(FakeNow);
            other.SetLevel(3);
        }
        m_log.SetDirectory(dir.c_str());
        m_log.SetLevel(3);
        Write(2, "ours\n");
        other.WriteLog(2, "x.cpp", 1, "%s", "theirs\n");
        m_log.SetLevel(-1);
        other.SetLevel(-1);
        EXPECT_EQ(ReadFile(dir + "/" + sNext),
                  "HTTP_LOG_DEBUG 20240131235959 Http/src/http_client.cpp:89ours\n");
        EXPECT_EQ(ReadFile(t == kLink ? target : dir + "/" + sName),
                  t == kOtherSink ? "HTTP_LOG_DEBUG 20240131235959 x.cpp:1theirs\n" : "keep");
    }
}

#if !defined(_WIN32)
enum DirState { kMissing, kMode, kLinkToOwn, kForeign };

struct DirRow {
    const char* name;
    DirState eState;
    fs::perms mode; // kMode
    bool bUsed;
};

// The directory is made for the user alone, and one that others could put
// files into (or that is not a directory of the user's) is not used: one
// line on the standard error stream says so and the records are dropped.
TEST_F(LogSink, TheDirectoryIsTheUsersAlone) {
    const fs::perms kRwx = fs::perms::owner_all;
    std::vector<DirRow> rows = {
        {"missing: made with mode 0700", kMissing, fs::perms::none, true},
        {"mode 0755", kMode,
         kRwx | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
             fs::perms::others_exec,
         true},
        {"group-writable", kMode, kRwx | fs::perms::group_all, false},
        {"world-writable", kMode, kRwx | fs::perms::others_all, false},
        {"world-writable with the sticky bit", kMode, fs::perms::all | fs::perms::sticky_bit, true},
        {"a symbolic link to a directory of the user's", kLinkToOwn, fs::perms::none, false},
    };
    if (geteuid() == 0) {
        rows.push_back({"another user's", kForeign, fs::perms::none, false});
    }
    int nRow = 0;
    for (const DirRow& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string dir = m_dir + "/" + std::to_string(nRow++);
        const std::string own = dir + "-own";
        if (r.eState == kLinkToOwn) {
            fs::create_directory(own);
            fs::create_symlink(own, dir);
        } else if (r.eState != kMissing) {
            fs::create_directory(dir);
            fs::permissions(dir, r.mode);
            if (r.eState == kForeign) {
                ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
            }
        }
        m_log.SetDirectory(dir.c_str());
        StderrCapture cap;
        m_log.SetLevel(3);
        EXPECT_EQ(Write(2, "record\n"), r.bUsed ? 0 : -1);
        m_log.SetLevel(-1);
        const std::string err = cap.Finish();
        int nFiles = 0;
        const std::string name = ListDir(r.eState == kLinkToOwn ? own : dir, &nFiles);
        EXPECT_EQ(nFiles, r.bUsed ? 1 : 0);
        EXPECT_EQ(err, r.bUsed ? ""
                               : "oxrhttp: no log file: " + dir +
                                     " is not the user's own, or others may write to it\n");
        if (r.bUsed) {
            const std::string file = dir + "/" + name.substr(0, name.size() - 1);
            EXPECT_NE(ReadFile(file).find("record\n"), std::string::npos);
            EXPECT_EQ(fs::status(file).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write);
        }
        if (r.eState == kMissing) {
            EXPECT_EQ(fs::status(dir).permissions(), kRwx);
        }
    }
}
#endif

TEST_F(LogSink, ConcurrentRecordsStayWhole) {
    m_log.SetLevel(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < 200; ++i) {
                Write(2, "whole record\n");
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    m_log.SetLevel(-1);
    std::string text = ReadFile(m_dir + "/" + OnlyFile());
    const std::string line =
        "HTTP_LOG_DEBUG 20240131235959 Http/src/http_client.cpp:89whole record\n";
    size_t nLines = 0;
    for (size_t pos = 0; pos < text.size(); pos += line.size(), ++nLines) {
        ASSERT_EQ(text.compare(pos, line.size(), line), 0) << "at " << pos;
    }
    EXPECT_EQ(nLines, 800u);
}

} // namespace
