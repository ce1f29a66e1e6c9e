// Every request of one oxr-http command line: each URL once per round,
// --repeat rounds, --interval apart; the sessions they share, the output
// names of repeated requests, and the one exit code of the run.
#ifndef OXR_CLI_REQUEST_SERIES_H
#define OXR_CLI_REQUEST_SERIES_H

#include <atomic>

#include "cli_options.h"

// Runs the requests the options describe and returns the exit code: that of
// the first request that fails (the run stops there), else 0.
// `interrupted` is raised by the signal handler.
int RunRequests(const ClientOptions& options, const std::atomic<bool>& interrupted);

#endif
