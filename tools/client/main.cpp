// oxr-http: a command-line HTTP client built on the public interface of
// oxrhttp, for fetching pictures, streams and command answers from cameras.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_options.h"
#include "exit_codes.h"
#include "request_series.h"

#ifndef OXR_HTTP_TOOL_VERSION
#define OXR_HTTP_TOOL_VERSION "unknown"
#endif

namespace {

std::atomic<bool> g_bInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnSignal(int) {
    g_bInterrupted = true;
}

} // namespace

int main(int argc, char** argv) {
    ClientOptions options;
    std::string error;
    if (!ParseClientOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
        std::fprintf(stderr, "oxr-http: %s\n(oxr-http --help tells more)\n", error.c_str());
        return kExitUsage;
    }
    if (options.bHelp) {
        std::printf("%s\n%s", ClientUsage(), ExitCodeHelp());
        return kExitOk;
    }
    if (options.bVersion) {
        std::printf("oxr-http %s\n", OXR_HTTP_TOOL_VERSION);
        return kExitOk;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    return RunRequests(options, g_bInterrupted);
}
