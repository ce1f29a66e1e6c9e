#include "exit_codes.h"

const char* ExitCodeHelp() {
    return "exit codes:\n"
           "  0  done          1  other failure        2  bad command line\n"
           "  3  bad URL       4  cannot connect       5  time-out (no response head)\n"
           "  6  refused (status 400 or above, or a malformed status line)\n"
           "  7  stream ended early (before --max-parts, --duration or Content-Length)\n"
           "  8  local file error                      130  interrupted\n"
           "  9  the connection closed before a complete response head\n";
}
