// A small HTTPS exchange with libssl for checking the demo camera's TLS side:
// it does not verify the certificate, it reports what the camera presented.
#ifndef OXR_TOOLS_TEST_TLS_FETCH_H
#define OXR_TOOLS_TEST_TLS_FETCH_H

#include <cstdint>
#include <string>

#include "raw_http.h"

struct TlsFetch {
    bool bHandshake = false;
    std::string error;
    std::string protocol;    // "TLSv1.2", "TLSv1.3"
    std::string fingerprint; // SHA-256 of the peer certificate, "AB:CD:..."
    std::string subjectCn;
    bool bSanIp4 = false;       // subjectAltName covers 127.0.0.1
    bool bSanIp6 = false;       // ... ::1
    bool bSanLocalhost = false; // ... localhost
    long long nValiditySec = 0; // notAfter - notBefore
    RawResponse response;
    bool bCloseNotify = false; // the server ended with a TLS close_notify, not a bare close
};

// Connects to 127.0.0.1:port with exactly TLS version nVersion
// (TLS1_2_VERSION or TLS1_3_VERSION), sends GET target with "Connection:
// close" and reads until the server closes or nLimitMs pass.
TlsFetch TlsGet(uint16_t wPort, const std::string& target, int nVersion, int nLimitMs = 5000);

#endif
