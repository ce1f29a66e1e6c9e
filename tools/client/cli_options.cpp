#include "cli_options.h"

#include <cctype>
#include <cstdlib>

#include "oxr_http.h"

namespace {

std::string Upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

bool ParseMs(const std::string& text, int* pValue) {
    char* pEnd = nullptr;
    const long v = std::strtol(text.c_str(), &pEnd, 10);
    if (text.empty() || *pEnd != '\0' || v < 1 || v > 24L * 3600 * 1000) {
        return false;
    }
    *pValue = static_cast<int>(v);
    return true;
}

bool ParseCount(const std::string& text, long nMin, long nMax, long* pValue) {
    char* pEnd = nullptr;
    const long v = std::strtol(text.c_str(), &pEnd, 10);
    if (text.empty() || *pEnd != '\0' || v < nMin || v > nMax) {
        return false;
    }
    *pValue = v;
    return true;
}

bool ParseHeader(const std::string& text, std::pair<std::string, std::string>* pHeader) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 ||
        text.find_first_of("\r\n") != std::string::npos) {
        return false;
    }
    const std::string name = text.substr(0, colon);
    if (name.find_first_of(" \t") != std::string::npos) {
        return false;
    }
    const size_t v = text.find_first_not_of(" \t", colon + 1);
    pHeader->first = name;
    pHeader->second = v == std::string::npos ? std::string() : text.substr(v);
    return true;
}

// Options that take a value, by every name they answer to.
bool TakesValue(const std::string& name) {
    static const char* const kNames[] = {
        "-X",       "--request",  "-H",          "--header",          "-u",         "--user",
        "-d",       "--data",     "--data-file", "--connect-timeout", "--timeout",  "--show-header",
        "-o",       "--output",   "--parts",     "--max-parts",       "--duration", "--pin",
        "--repeat", "--interval", "--reconnect", "--max-redirs"};
    for (const char* n : kNames) {
        if (name == n) {
            return true;
        }
    }
    return false;
}

bool Apply(const std::string& name, const std::string& value, ClientOptions* o,
           std::string* pError) {
    if (name == "-X" || name == "--request") {
        o->nMethod = MethodNumber(value);
        if (o->nMethod == -2) {
            *pError =
                "unknown method '" + value + "' (GET POST HEAD OPTIONS PUT DELETE TRACE CONNECT)";
            return false;
        }
        o->methodName = Upper(value);
        o->bMethodGiven = true;
    } else if (name == "-H" || name == "--header") {
        std::pair<std::string, std::string> header;
        if (!ParseHeader(value, &header)) {
            *pError = "bad header '" + value + "' (want 'Name: value')";
            return false;
        }
        o->headers.push_back(header);
    } else if (name == "-u" || name == "--user") {
        if (value.find(':') == std::string::npos) {
            *pError = "-u wants user:password";
            return false;
        }
        o->credentials = value;
        o->bHasCredentials = true;
    } else if (name == "-d" || name == "--data") {
        o->data = value;
        o->bHasData = true;
    } else if (name == "--data-file") {
        o->dataFile = value;
    } else if (name == "--connect-timeout" || name == "--timeout") {
        if (!ParseMs(value, name == "--timeout" ? &o->nTimeoutMs : &o->nConnectTimeoutMs)) {
            *pError = name + " wants milliseconds (1 to 86400000)";
            return false;
        }
    } else if (name == "--show-header") {
        if (!o->bShowHeadersGiven) {
            o->showHeaders.clear();
            o->bShowHeadersGiven = true;
        }
        if (value.empty()) {
            *pError = "--show-header wants a header name";
            return false;
        }
        o->showHeaders.push_back(value);
    } else if (name == "--reconnect") {
        if (!ParseMs(value, &o->nReconnectMs)) {
            *pError = "--reconnect wants milliseconds (1 to 86400000)";
            return false;
        }
    } else if (name == "--max-redirs") {
        long n = 0;
        if (!ParseCount(value, 0, 1000, &n)) {
            *pError = "--max-redirs wants a number from 0 to 1000";
            return false;
        }
        o->nMaxRedirs = static_cast<int>(n);
    } else if (name == "--pin") {
        o->pin = value;
    } else if (name == "--parts") {
        o->partsDir = value;
    } else if (name == "--max-parts") {
        if (!ParseCount(value, 1, 100000000, &o->nMaxParts)) {
            *pError = "--max-parts wants a positive number";
            return false;
        }
    } else if (name == "--repeat") {
        if (!ParseCount(value, 1, 1000000, &o->nRepeat)) {
            *pError = "--repeat wants a number from 1 to 1000000";
            return false;
        }
    } else if (name == "--interval") {
        long nMs = 0;
        if (!ParseCount(value, 0, 24L * 3600 * 1000, &nMs)) {
            *pError = "--interval wants milliseconds (0 to 86400000)";
            return false;
        }
        o->nIntervalMs = static_cast<int>(nMs);
    } else if (name == "--duration") {
        char* pEnd = nullptr;
        o->dDurationSec = std::strtod(value.c_str(), &pEnd);
        if (value.empty() || *pEnd != '\0' || !(o->dDurationSec > 0) || o->dDurationSec > 86400) {
            *pError = "--duration wants seconds (above 0, at most 86400)";
            return false;
        }
    }
    return true;
}

} // namespace

int MethodNumber(const std::string& name) {
    static const char* const kNames[] = {"GET", "POST",   "HEAD",  "OPTIONS",
                                         "PUT", "DELETE", "TRACE", "CONNECT"};
    static const int kNumbers[] = {HTTP_METHOD_GET,     HTTP_METHOD_POST,   HTTP_METHOD_HEAD,
                                   HTTP_METHOD_OPTIONS, HTTP_METHOD_PUT,    HTTP_METHOD_DELETE,
                                   HTTP_METHOD_TRACE,   HTTP_METHOD_CONNECT};
    const std::string upper = Upper(name);
    for (size_t i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) {
        if (upper == kNames[i]) {
            return kNumbers[i];
        }
    }
    return -2;
}

bool ParseClientOptions(const std::vector<std::string>& args, ClientOptions* o,
                        std::string* pError) {
    bool bOptionsEnded = false;
    std::vector<std::string> outputs; // -o, in order: the n-th goes with the n-th URL
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (bOptionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            o->targets.push_back(RequestTarget{arg, ""});
            continue;
        }
        if (arg == "--") {
            bOptionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            o->bHelp = true;
            continue;
        }
        if (arg == "--version") {
            o->bVersion = true;
            continue;
        }
        if (arg == "-s" || arg == "--silent") {
            o->bSilent = true;
            continue;
        }
        if (arg == "-v" || arg == "--verbose") {
            o->bVerbose = true;
            continue;
        }
        if (arg == "-k" || arg == "--insecure") {
            o->bInsecure = true;
            continue;
        }
        if (arg == "--tls-legacy") {
            o->bTlsLegacy = true;
            continue;
        }
        if (arg == "-L" || arg == "--location") {
            o->bFollow = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        } else if (TakesValue(arg)) {
            if (i + 1 >= args.size()) {
                *pError = arg + " wants a value";
                return false;
            }
            value = args[++i];
        }
        if (!TakesValue(name)) {
            *pError = "unknown option " + arg;
            return false;
        }
        if (name == "-o" || name == "--output") {
            outputs.push_back(value);
            continue;
        }
        if (!Apply(name, value, o, pError)) {
            return false;
        }
    }
    if (o->bHelp || o->bVersion) {
        return true;
    }
    if (o->targets.empty()) {
        *pError = "no URL given";
        return false;
    }
    if (outputs.size() > o->targets.size()) {
        *pError = "more -o than URLs (" + std::to_string(outputs.size()) + " and " +
                  std::to_string(o->targets.size()) + "): the n-th -o goes with the n-th URL";
        return false;
    }
    for (size_t i = 0; i < outputs.size(); ++i) {
        o->targets[i].outputFile = outputs[i];
    }
    if (o->bHasData && !o->dataFile.empty()) {
        *pError = "-d and --data-file exclude each other";
        return false;
    }
    if (o->HasBody() && !o->bMethodGiven) {
        o->nMethod = HTTP_METHOD_POST;
        o->methodName = "POST";
    }
    return true;
}

const char* ClientUsage() {
    return "usage: oxr-http [options] URL [[-o FILE] URL ...]\n"
           "Sends HTTP requests with oxrhttp and saves what comes back: a body,\n"
           "or the parts of a multipart stream (MJPEG video, events).\n"
           "\n"
           "  -X, --request METHOD      GET POST HEAD OPTIONS PUT DELETE TRACE CONNECT\n"
           "                            (default GET; POST with -d or --data-file)\n"
           "  -H, --header 'Name: value'  add a request header (repeatable)\n"
           "  -u, --user USER:PASSWORD  Basic authorization, or Digest when the device\n"
           "                            asks for it\n"
           "  -d, --data DATA           request body; Content-Length is computed\n"
           "      --data-file FILE      request body from a file\n"
           "      --connect-timeout MS  connect time-out (default 5000)\n"
           "      --timeout MS          wait at most MS for the response head, and end a\n"
           "                            stream after MS without data (default 10000;\n"
           "                            with --reconnect, the stream is made again)\n"
           "      --show-header NAME    print a response header (repeatable; default\n"
           "                            Content-Type and Content-Length)\n"
           "  -o, --output FILE         write the body to FILE (default: standard output);\n"
           "                            the n-th -o goes with the n-th URL, as with curl;\n"
           "                            with --repeat, FILE-0001.EXT, FILE-0002.EXT, ...\n"
           "      --parts DIR           write each part to DIR/000001.EXT, ... with an\n"
           "                            extension from its type, and DIR/index.tsv; a\n"
           "                            raw body is one part; numbered on across requests\n"
           "      --max-parts N         stop a stream after N parts\n"
           "      --duration SECONDS    stop a stream after SECONDS\n"
           "      --repeat N            send the requests N times (polling): round after\n"
           "                            round, each URL once per round in order\n"
           "      --interval MS         start each round MS after the previous one started\n"
           "                            (default 0: at once)\n"
           "      --reconnect MAX_MS    a multipart stream that drops (the device closed,\n"
           "                            --timeout without data, broken framing) is made\n"
           "                            again, with pauses from 250 ms doubling up to\n"
           "                            MAX_MS, until --max-parts, --duration or its end\n"
           "  -L, --location            follow redirects (301 302 303 307 308);\n"
           "                            credentials go along only to the same host,\n"
           "                            never from https to http\n"
           "      --max-redirs N        with -L, follow at most N (default 50)\n"
           "  -k, --insecure            https: do not check the certificate\n"
           "      --pin SHA256          https: accept only the certificate with this\n"
           "                            fingerprint (hex, colons allowed)\n"
           "      --tls-legacy          https: also TLS 1.0 and 1.1, at OpenSSL security\n"
           "                            level 0, for old devices\n"
           "  -s, --silent              no live status line and no summary\n"
           "  -v, --verbose             the library's log on standard error (a request\n"
           "                            without body shows one 'AddHeader ... IN Param is\n"
           "                            Invalid' record: it has no Content-Length), the\n"
           "                            authorization scheme used, whether each request\n"
           "                            reused its connection, its status (with -L the\n"
           "                            last answer's), and the connections made\n"
           "  -h, --help                this text;  --version  the version\n"
           "\n"
           "A body ends where its framing says (Content-Length, the last chunk), a stream\n"
           "when the library reports its end (the device closed, the closing delimiter,\n"
           "a broken stream), or after --timeout without data; with --reconnect a\n"
           "multipart stream ends only by a limit or its closing delimiter. A redirect\n"
           "(3xx) is an answer like any other (exit code 0) unless -L follows it.\n"
           "Connections are kept alive: requests to the same URL share one session,\n"
           "and its connection while the device keeps it open. Several requests stop\n"
           "at the first that fails; its exit code is oxr-http's.\n";
}
