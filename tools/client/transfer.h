// One request of oxr-http on a session of the run, from sending it to the
// summary of what came back.
#ifndef OXR_CLI_TRANSFER_H
#define OXR_CLI_TRANSFER_H

#include <atomic>
#include <string>

#include "cli_options.h"
#include "delivery_sink.h"
#include "session_pool.h"

struct TransferJob {
    std::string url;
    std::string outputFile; // this request's -o file (numbered with --repeat); "" for none
    const std::string* pBody = nullptr; // the request body of -d or --data-file
};

// Sends the request on url's session of the pool, follows the answer into
// the sink, prints the summary and returns the exit code. A session whose
// answer was not read to its end (a stream stopped by a limit, a failure)
// is dropped from the pool; one that can carry the next request stays.
// `interrupted` is raised by the signal handler.
int RunTransfer(const ClientOptions& options, const TransferJob& job, SessionPool& pool,
                DeliverySink& sink, const std::atomic<bool>& interrupted);

#endif
