// oxr-demo-camera: an HTTP server on loopback that behaves like a network
// camera, for trying out and testing oxr-http and the library.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#include "camera_context.h"
#include "camera_options.h"
#include "camera_server.h"

namespace {

std::atomic<bool> g_bSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnSignal(int) {
    g_bSignalled = true;
}

} // namespace

int main(int argc, char** argv) {
    CameraOptions options;
    std::string error;
    if (!ParseCameraOptions(argc - 1, argv + 1, &options, &error)) {
        std::fprintf(stderr, "oxr-demo-camera: %s\n%s", error.c_str(), CameraUsage());
        return 2;
    }
    if (options.bHelp) {
        std::fputs(CameraUsage(), stdout);
        return 0;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    CameraContext ctx(options);
    CameraServer server(ctx);
    if (!server.Listen(&error)) {
        std::fprintf(stderr, "oxr-demo-camera: %s\n", error.c_str());
        return 1;
    }
    const bool bV6 = options.bindAddress.find(':') != std::string::npos;
    std::printf("oxr-demo-camera listening on %s://%s%s%s:%u/ (stops after %d s)\n",
                options.bTls ? "https" : "http", bV6 ? "[" : "", options.bindAddress.c_str(),
                bV6 ? "]" : "", server.Port(), options.nRunTimeSec);
    if (options.bTls) {
        // The same text as `openssl x509 -noout -fingerprint -sha256` prints, for pinning.
        std::printf("oxr-demo-camera certificate sha256 Fingerprint=%s\n",
                    server.CertificateFingerprint().c_str());
    }
    std::fflush(stdout);
    server.Run(g_bSignalled);
    if (!options.bQuiet) {
        std::fprintf(
            stderr, "oxr-demo-camera: stopped after %lld ms, %u requests on %u connections\n",
            static_cast<long long>(ctx.UptimeMs()), ctx.nRequests.load(), ctx.nConnections.load());
    }
    return 0;
}
