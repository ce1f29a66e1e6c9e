// Command line of the demo camera.
#ifndef OXR_DEMO_CAMERA_OPTIONS_H
#define OXR_DEMO_CAMERA_OPTIONS_H

#include <cstdint>
#include <string>

// The scheme of the protected paths (a request can ask for the other one).
enum class CameraAuth { kBasic, kDigest };

struct CameraOptions {
    std::string bindAddress = "127.0.0.1"; // loopback only: 127.0.0.0/8 or ::1
    uint16_t nPort = 0;                    // 0: the system picks one, printed at start
    int nFps = 10;                         // default frame rate of /video.mjpg
    int nRunTimeSec = 60;                  // the camera always stops after this
    int nKeepAliveMs = 5000; // an idle kept connection is closed after this (0: none is kept)
    int nWidth = 320;
    int nHeight = 240;
    int nQuality = 80;
    std::string credentials = "admin:demo"; // for the protected paths
    CameraAuth auth = CameraAuth::kBasic;   // with kDigest the snapshot is protected too
    unsigned nNonceUses = 0; // a Digest nonce goes stale after this many uses (0: never)
    bool bTls = false;       // HTTPS instead of HTTP
    std::string certFile;    // PEM certificate and key for TLS; empty: one
    std::string keyFile;     //   is generated at start
    bool bQuiet = false;     // no request log on stderr
    bool bHelp = false;
};

// Parses the arguments after the program name. False with a message on error.
bool ParseCameraOptions(int argc, const char* const* argv, CameraOptions* pOptions,
                        std::string* pError);
const char* CameraUsage();

#endif
