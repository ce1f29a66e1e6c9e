// What the tests of oxr-http share: a demo camera for the whole suite (with
// its default keep-alive), a fresh directory per test to run oxr-http in,
// the exit codes it documents, and readers for what it saves.
#ifndef OXR_TOOLS_TEST_OXR_HTTP_TEST_H
#define OXR_TOOLS_TEST_OXR_HTTP_TEST_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "raw_http.h"

namespace fs = std::filesystem;

// The exit codes oxr-http documents in its --help.
enum {
    kOk = 0,
    kUsage = 2,
    kBadUrl = 3,
    kConnect = 4,
    kTimeout = 5,
    kRefused = 6,
    kEarly = 7,
    kLocalIo = 8,
    kNoHead = 9
};

constexpr int kLimitMs = 30000; // no run of oxr-http may take longer

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct IndexLine {
    long nPart;
    std::string file;
    long nBytes;
    std::string type;
};

inline std::vector<IndexLine> ReadIndex(const fs::path& dir) {
    std::vector<IndexLine> lines;
    std::istringstream in(ReadFile(dir / "index.tsv"));
    std::string line;
    std::getline(in, line); // column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        IndexLine l;
        std::string part, bytes, stamp;
        std::getline(fields, part, '\t');
        std::getline(fields, l.file, '\t');
        std::getline(fields, bytes, '\t');
        std::getline(fields, l.type, '\t');
        std::getline(fields, stamp, '\t');
        l.nPart = std::stol(part);
        l.nBytes = std::stol(bytes);
        lines.push_back(l);
    }
    return lines;
}

class OxrHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_pCamera = new BackgroundProcess();
        if (s_pCamera->Start(OXR_DEMO_CAMERA_BIN,
                             {"--port", "0", "--run-time", "300", "--fps", "25", "--quiet"},
                             5000)) {
            s_nPort = PortFromBanner(s_pCamera->FirstLine());
        }
    }
    static void TearDownTestSuite() {
        delete s_pCamera;
        s_pCamera = nullptr;
    }
    void SetUp() override {
        ASSERT_GT(s_nPort, 0) << "the demo camera did not start";
        m_dir = fs::temp_directory_path() /
                ("oxr-http-test-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    static std::string Url(const std::string& target) {
        return "http://127.0.0.1:" + std::to_string(s_nPort) + target;
    }
    ProcessResult Run(const std::vector<std::string>& args) {
        ProcessResult r = RunProcess(OXR_HTTP_BIN, args, kLimitMs, m_dir.string());
        EXPECT_FALSE(r.bTimedOut) << "oxr-http did not end by itself";
        return r;
    }

    // Connections the camera has accepted so far (its status answer, itself
    // one more connection).
    static int CameraConnections() {
        const RawResponse r = RawGet(static_cast<uint16_t>(s_nPort), "/cgi-bin/status");
        const size_t at = r.body.find("\nconnections=");
        return at == std::string::npos ? -1 : std::atoi(r.body.c_str() + at + 13);
    }

    static inline BackgroundProcess* s_pCamera = nullptr;
    static inline int s_nPort = 0;
    fs::path m_dir;
};

#endif
