// Exit codes of oxr-http, one per kind of outcome, so scripts can tell
// failures apart without reading messages.
#ifndef OXR_CLI_EXIT_CODES_H
#define OXR_CLI_EXIT_CODES_H

enum ExitCode {
    kExitOk = 0,
    kExitFailure = 1,      // anything not listed below (socket layer, header refused, ...)
    kExitUsage = 2,        // bad command line
    kExitBadUrl = 3,       // the library could not split the URL (error -8)
    kExitConnect = 4,      // no connection, or sending failed (errors -9, -10)
    kExitTimeout = 5,      // no response head within --timeout
    kExitRefused = 6,      // a refused status (400 and above) or a malformed status line
    kExitEndedEarly = 7,   // the stream went quiet before --max-parts / --duration / Content-Length
    kExitLocalIo = 8,      // cannot read --data-file or write the output
    kExitNoHead = 9,       // the connection closed before a complete response head
    kExitInterrupted = 130 // SIGINT or SIGTERM; what arrived is kept
};

// One line per code for --help.
const char* ExitCodeHelp();

#endif
