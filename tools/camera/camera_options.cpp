#include "camera_options.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool ParseInt(const char* pszText, long nMin, long nMax, long* pValue) {
    char* pEnd = nullptr;
    const long v = std::strtol(pszText, &pEnd, 10);
    if (pEnd == pszText || *pEnd != '\0' || v < nMin || v > nMax) {
        return false;
    }
    *pValue = v;
    return true;
}

bool IsLoopback(const std::string& address) {
    unsigned char raw[16];
    if (inet_pton(AF_INET, address.c_str(), raw) == 1) {
        return raw[0] == 127;
    }
    return address == "::1";
}

} // namespace

const char* CameraUsage() {
    return "usage: oxr-demo-camera [options]\n"
           "An HTTP server on loopback that behaves like a network camera.\n"
           "  --port N          port to listen on (0: any free port, printed at start)\n"
           "  --bind ADDR       loopback address to listen on (default 127.0.0.1)\n"
           "  --fps N           default frame rate of /video.mjpg, 1 to 60 (default 10)\n"
           "  --run-time S      stop after S seconds, 1 to 3600 (default 60)\n"
           "  --keep-alive MS   keep an HTTP/1.1 connection open after an answer with a length\n"
           "                    and close it after MS of silence, 0 to 60000 (default 5000;\n"
           "                    0: close after every answer)\n"
           "  --size WxH        picture size (default 320x240)\n"
           "  --quality N       JPEG quality 1 to 100 (default 80)\n"
           "  --credentials U:P user and password of the protected paths (default admin:demo)\n"
           "  --auth basic|digest  scheme of the protected paths (default basic); digest\n"
           "                    protects /snapshot.jpg too\n"
           "  --nonce-uses N    Digest nonces go stale after N accepted requests (default 0: "
           "never)\n"
           "  --tls             HTTPS (TLS 1.2 and 1.3) with a self-signed certificate made at\n"
           "                    start; its SHA-256 fingerprint is printed after the port line\n"
           "  --cert FILE --key FILE  serve this PEM certificate and key instead (implies --tls)\n"
           "  --quiet           no request log on stderr\n"
           "Paths: /snapshot.jpg  /video.mjpg[?fps=N&frames=N&auth=1]\n"
           "       /events[?interval=MS&count=N]  /cgi-bin/status  /cgi-bin/echo\n"
           "       /cgi-bin/info.json (chunked)  /cgi-bin/admin/reboot\n"
           "       /cgi-bin/admin/set?KEY=VALUE (authorization)\n"
           "       /status?code=NNN  /slow?ms=N  /cut\n"
           "Authorization (snapshot, video, admin commands): auth=1 the camera's scheme,\n"
           "       auth=digest or auth=basic for this request; Digest challenges by default\n"
           "       SHA-256 and MD5 with qop=auth, else algorithm=MD5|MD5-sess|SHA-256|\n"
           "       SHA-256-sess|none, qop=none|auth-int, userhash=1\n";
}

bool ParseCameraOptions(int argc, const char* const* argv, CameraOptions* pOptions,
                        std::string* pError) {
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            pOptions->bHelp = true;
            continue;
        }
        if (arg == "--quiet" || arg == "-q") {
            pOptions->bQuiet = true;
            continue;
        }
        if (arg == "--tls") {
            pOptions->bTls = true;
            continue;
        }
        if (i + 1 >= argc) {
            *pError = "unknown option or missing value: " + arg;
            return false;
        }
        const char* pszValue = argv[++i];
        long v = 0;
        if (arg == "--port" && ParseInt(pszValue, 0, 65535, &v)) {
            pOptions->nPort = static_cast<uint16_t>(v);
        } else if (arg == "--fps" && ParseInt(pszValue, 1, 60, &v)) {
            pOptions->nFps = static_cast<int>(v);
        } else if (arg == "--run-time" && ParseInt(pszValue, 1, 3600, &v)) {
            pOptions->nRunTimeSec = static_cast<int>(v);
        } else if (arg == "--keep-alive" && ParseInt(pszValue, 0, 60000, &v)) {
            pOptions->nKeepAliveMs = static_cast<int>(v);
        } else if (arg == "--quality" && ParseInt(pszValue, 1, 100, &v)) {
            pOptions->nQuality = static_cast<int>(v);
        } else if (arg == "--bind" && IsLoopback(pszValue)) {
            pOptions->bindAddress = pszValue;
        } else if (arg == "--credentials" && std::strchr(pszValue, ':') != nullptr) {
            pOptions->credentials = pszValue;
        } else if (arg == "--auth" &&
                   (std::strcmp(pszValue, "basic") == 0 || std::strcmp(pszValue, "digest") == 0)) {
            pOptions->auth = pszValue[0] == 'd' ? CameraAuth::kDigest : CameraAuth::kBasic;
        } else if (arg == "--nonce-uses" && ParseInt(pszValue, 0, 1000000, &v)) {
            pOptions->nNonceUses = static_cast<unsigned>(v);
        } else if ((arg == "--cert" || arg == "--key") && pszValue[0] != '\0') {
            (arg == "--cert" ? pOptions->certFile : pOptions->keyFile) = pszValue;
            pOptions->bTls = true;
        } else if (arg == "--size") {
            int w = 0;
            int h = 0;
            char extra = 0;
            if (std::sscanf(pszValue, "%dx%d%c", &w, &h, &extra) != 2 || w < 16 || h < 16 ||
                w > 1920 || h > 1080) {
                *pError = "--size wants WxH between 16x16 and 1920x1080";
                return false;
            }
            pOptions->nWidth = w;
            pOptions->nHeight = h;
        } else {
            *pError = "bad option or value: " + arg + " " + pszValue;
            return false;
        }
    }
    if (pOptions->certFile.empty() != pOptions->keyFile.empty()) {
        *pError = "--cert and --key go together";
        return false;
    }
    return true;
}
