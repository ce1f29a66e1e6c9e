// The library as an application loads it: by name at run time, with the
// thirteen functions and the four added beside them found under their plain,
// undecorated names.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "oxr_http.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

const char* const kExports[] = {
    "OXR_HTTP_ClientInit",    "OXR_HTTP_ClientFini",    "OXR_HTTP_GetErrNo",
    "OXR_HTTP_SetLog",        "OXR_HTTP_Open",          "OXR_HTTP_OpenEx",
    "OXR_HTTP_SendRequest",   "OXR_HTTP_AddHeader",     "OXR_HTTP_RemoveHeader",
    "OXR_HTTP_GetInfoByType", "OXR_HTTP_GetInfoByName", "OXR_HTTP_GetContent",
    "OXR_HTTP_Close",         "OXR_HTTP_GetStatus",     "OXR_HTTP_GetStreamState",
    "OXR_HTTP_SetOption",     "OXR_HTTP_GetOption",
};

TEST(Exports, AllByPlainName) {
#if defined(_WIN32)
    HMODULE h = LoadLibraryA("oxrhttp.dll");
    ASSERT_NE(h, nullptr);
    for (const char* name : kExports) {
        EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(h, name)), nullptr) << name;
    }
    typedef int(__stdcall * GetErrNoFn)(int);
    GetErrNoFn pfn = reinterpret_cast<GetErrNoFn>(
        reinterpret_cast<void*>(GetProcAddress(h, "OXR_HTTP_GetErrNo")));
    ASSERT_NE(pfn, nullptr);
    EXPECT_LE(pfn(-1), 0);
    FreeLibrary(h);
#else
    void* h = dlopen("liboxrhttp.so.1", RTLD_NOW);
    ASSERT_NE(h, nullptr) << dlerror();
    for (const char* name : kExports) {
        EXPECT_NE(dlsym(h, name), nullptr) << name;
    }
    // internal names stay inside the library
    EXPECT_EQ(dlsym(h, "OXR_Recv"), nullptr);
    EXPECT_EQ(dlsym(h, "g_nLastErrNo"), nullptr);
    dlclose(h);
#endif
}

#if defined(_M_IX86) || defined(__i386__)
TEST(Exports, DataRecordIs76BytesOn32Bit) {
    EXPECT_EQ(sizeof(OXR_HTTP_DATA), 76u);
}
#endif

TEST(Frame, InitAndFiniAreIndependentOfSessions) {
    EXPECT_EQ(OXR_HTTP_ClientInit(), 0);
    OXR_HTTP_SetLog(-1);
    EXPECT_EQ(OXR_HTTP_ClientFini(), 0);
    OXR_HTTP_SetLog(-1); // works after Fini too
    EXPECT_EQ(OXR_HTTP_ClientInit(), 0);
}

#if defined(_WIN32)
const char kLogDir[] = "c:\\httplog";
#else
const char kLogDir[] = "/tmp/httplog";
#endif

std::set<std::string> LogFiles() {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(kLogDir, ec)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

// Level 3 creates the day's file at once, named after the local time.
TEST(Frame, DailyLogFileAppearsAtOnceInTheLogDirectory) {
    std::set<std::string> before = LogFiles();
    time_t t0 = time(nullptr);
    OXR_HTTP_SetLog(HTTP_LOG_STDOUT);
    time_t t1 = time(nullptr);
    std::set<std::string> after = LogFiles();
    OXR_HTTP_SetLog(-1);
    std::set<std::string> expected;
    for (time_t t = t0; t <= t1; ++t) {
        char name[64];
        struct tm lt = *localtime(&t);
        strftime(name, sizeof(name), "%Y%m%d%H%M%S_1.0.0.20091030.log", &lt);
        expected.insert(name);
    }
    std::string created;
    for (const std::string& n : after) {
        if (before.count(n) == 0) {
            created = n;
        }
    }
    EXPECT_EQ(expected.count(created), 1u) << "new file: '" << created << "'";
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(kLogDir) / created, ec);
}

} // namespace
