// The demo camera's TLS side (--tls): its certificate, generated at start or
// loaded from PEM files, and the handshake that turns an accepted socket
// into a TLS connection (TLS 1.2 and 1.3).
#ifndef OXR_DEMO_TLS_SERVER_H
#define OXR_DEMO_TLS_SERVER_H

#include <memory>
#include <string>

#include <openssl/ssl.h>

#include "camera_options.h"
#include "connection.h"

class TlsServer {
public:
    TlsServer() = default;
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    // Loads options.certFile and options.keyFile, or makes a self-signed
    // certificate when they are empty. False with a reason.
    bool Init(const CameraOptions& options, std::string* pError);
    // SHA-256 fingerprint of the certificate served ("AB:CD:...").
    const std::string& Fingerprint() const { return m_fingerprint; }

    // Runs the server handshake on an accepted socket within its time-outs,
    // on the thread that will serve the connection. Null with a reason.
    std::unique_ptr<Connection> Accept(int nSocket, std::string* pError);

private:
    SSL_CTX* m_pCtx = nullptr;
    std::string m_fingerprint;
};

#endif
