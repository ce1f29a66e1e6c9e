// One request with the library, from opening the session to the summary.
#ifndef OXR_CLI_TRANSFER_H
#define OXR_CLI_TRANSFER_H

#include <atomic>

#include "cli_options.h"

// Runs the request the options describe and returns the exit code.
// `interrupted` is raised by the signal handler.
int RunTransfer(const ClientOptions& options, const std::atomic<bool>& interrupted);

#endif
