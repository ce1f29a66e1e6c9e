#include "stderr_capture.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#define getpid _getpid
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {
int g_nCounter = 0;

// Test programs run side by side: names of their files carry the process id,
// or two of them would write (and remove) the same file.
std::string Unique() {
    return std::to_string(getpid()) + "-" + std::to_string(++g_nCounter);
}
} // namespace

std::string MakeTempDir(const char* pszTag) {
    fs::path base = fs::temp_directory_path();
    for (int i = 0; i < 1000; ++i) {
        fs::path p = base / (std::string("oxrhttp-") + pszTag + "-" + Unique());
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            return p.string();
        }
    }
    return base.string();
}

void RemoveTree(const std::string& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

std::string ListDir(const std::string& dir, int* pnCount) {
    std::string names;
    int n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        names += e.path().filename().string() + "\n";
        ++n;
    }
    if (pnCount != nullptr) {
        *pnCount = n;
    }
    return names;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

StderrCapture::StderrCapture() : m_nSaved(-1), m_bDone(false) {
    m_path = (fs::temp_directory_path() / ("oxrhttp-stderr-" + Unique())).string();
    fflush(stderr);
    m_nSaved = dup(fileno(stderr));
    FILE* f = freopen(m_path.c_str(), "wb", stderr);
    (void)f;
}

StderrCapture::~StderrCapture() {
    Finish();
}

std::string StderrCapture::Finish() {
    if (!m_bDone) {
        m_bDone = true;
        fflush(stderr);
        dup2(m_nSaved, fileno(stderr));
        close(m_nSaved);
        m_text = ReadFile(m_path);
        std::error_code ec;
        fs::remove(m_path, ec);
    }
    return m_text;
}
