// The command line of oxr-http.
#ifndef OXR_CLI_OPTIONS_H
#define OXR_CLI_OPTIONS_H

#include <string>
#include <utility>
#include <vector>

// One URL of the command line and the -o file that goes with it.
struct RequestTarget {
    std::string url;
    std::string outputFile; // empty: standard output (or --parts)
};

struct ClientOptions {
    std::vector<RequestTarget> targets; // in command-line order, at least one
    std::string methodName = "GET";
    int nMethod = 1; // HTTP_METHOD_*
    bool bMethodGiven = false;
    std::vector<std::pair<std::string, std::string>> headers; // -H, in order
    std::string credentials;                                  // -u user:password
    bool bHasCredentials = false;
    std::string data; // -d
    bool bHasData = false;
    std::string dataFile; // --data-file
    int nConnectTimeoutMs = 5000;
    int nTimeoutMs = 10000; // response head, and silence that ends a stream
    std::vector<std::string> showHeaders{"Content-Type", "Content-Length"};
    bool bShowHeadersGiven = false;
    std::string partsDir;    // --parts
    long nMaxParts = 0;      // 0: no limit
    double dDurationSec = 0; // 0: no limit
    long nRepeat = 1;        // --repeat: rounds over the URLs
    int nIntervalMs = 0;     // --interval: from one round's start to the next's
    bool bSilent = false;
    bool bVerbose = false;
    bool bInsecure = false;  // -k: https without certificate checks
    std::string pin;         // --pin: SHA-256 fingerprint the certificate must have
    bool bTlsLegacy = false; // --tls-legacy: TLS 1.0 and 1.1 too, for old devices
    int nReconnectMs = 0;    // --reconnect: longest pause before a dropped stream is made again
    bool bFollow = false;    // -L: follow redirects
    int nMaxRedirs = 50;     // --max-redirs: at most this many with -L (curl's default)
    bool bHelp = false;
    bool bVersion = false;

    bool HasBody() const { return bHasData || !dataFile.empty(); }
};

// Parses the arguments after the program name. False with a message for a
// bad command line.
bool ParseClientOptions(const std::vector<std::string>& args, ClientOptions* pOptions,
                        std::string* pError);

// HTTP_METHOD_* for a method name (any case), or -2 when the library has none.
int MethodNumber(const std::string& name);

const char* ClientUsage();

#endif
