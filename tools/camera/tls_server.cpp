#include "tls_server.h"

#include <chrono>
#include <climits>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <openssl/err.h>

#include "self_signed_cert.h"

namespace {

class TlsConnection : public Connection {
public:
    TlsConnection(SSL* pSsl, int nSocket) : m_pSsl(pSsl), m_nSocket(nSocket) {}
    ~TlsConnection() override { SSL_free(m_pSsl); } // the listener closes the socket
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    long Read(void* pData, size_t nLen) override {
        ERR_clear_error();
        const int n = SSL_read(m_pSsl, pData, static_cast<int>(nLen > INT_MAX ? INT_MAX : nLen));
        if (n > 0) {
            return n;
        }
        return SSL_get_error(m_pSsl, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }

    bool Write(const void* pData, size_t nLen) override {
        const char* p = static_cast<const char*>(pData);
        while (nLen > 0) {
            ERR_clear_error();
            const int n = SSL_write(m_pSsl, p, static_cast<int>(nLen > INT_MAX ? INT_MAX : nLen));
            if (n <= 0) {
                m_bWriteFailed = true;
                return false;
            }
            p += n;
            nLen -= static_cast<size_t>(n);
        }
        return true;
    }

    // Bytes already decrypted wait in OpenSSL, not in the socket.
    bool WaitReadable(int nMs) override {
        return SSL_pending(m_pSsl) > 0 || SocketReadable(m_nSocket, nMs);
    }

    // close_notify, the end of the TCP stream, then a short wait for the
    // client's own close, so closing the socket with its alert unread does
    // not reset the connection before the client has read the answer.
    void Finish() override {
        ERR_clear_error();
        SSL_shutdown(m_pSsl);
        shutdown(m_nSocket, SHUT_WR);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        char buf[512];
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{m_nSocket, POLLIN, 0};
            if (poll(&p, 1, 50) > 0 && recv(m_nSocket, buf, sizeof(buf), 0) <= 0) {
                return;
            }
        }
    }

private:
    SSL* m_pSsl;
    int m_nSocket;
};

} // namespace

TlsServer::~TlsServer() {
    SSL_CTX_free(m_pCtx);
}

bool TlsServer::Init(const CameraOptions& options, std::string* pError) {
    m_pCtx = SSL_CTX_new(TLS_server_method());
    if (m_pCtx == nullptr || SSL_CTX_set_min_proto_version(m_pCtx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(m_pCtx, TLS1_3_VERSION) != 1) {
        *pError = "TLS set-up failed: " + OpenSslError();
        return false;
    }
#ifdef SSL_OP_IGNORE_UNEXPECTED_EOF
    SSL_CTX_set_options(m_pCtx, SSL_OP_IGNORE_UNEXPECTED_EOF); // a client's plain close ends a read
#endif
    if (options.certFile.empty()) {
        EVP_PKEY* pKey = nullptr;
        X509* pCert = nullptr;
        if (!MakeSelfSignedCertificate(&pKey, &pCert, pError)) {
            return false;
        }
        const bool bOk = SSL_CTX_use_certificate(m_pCtx, pCert) == 1 &&
                         SSL_CTX_use_PrivateKey(m_pCtx, pKey) == 1;
        X509_free(pCert);
        EVP_PKEY_free(pKey);
        if (!bOk) {
            *pError = "cannot use the certificate made at start: " + OpenSslError();
            return false;
        }
    } else if (SSL_CTX_use_certificate_chain_file(m_pCtx, options.certFile.c_str()) != 1 ||
               SSL_CTX_use_PrivateKey_file(m_pCtx, options.keyFile.c_str(), SSL_FILETYPE_PEM) !=
                   1 ||
               SSL_CTX_check_private_key(m_pCtx) != 1) {
        *pError =
            "cannot use " + options.certFile + " and " + options.keyFile + ": " + OpenSslError();
        return false;
    }
    m_fingerprint = CertificateFingerprint(SSL_CTX_get0_certificate(m_pCtx));
    return true;
}

std::unique_ptr<Connection> TlsServer::Accept(int nSocket, std::string* pError) {
    // OpenSSL writes to the socket with write(), which raises SIGPIPE when the
    // client has gone; this thread serves only this connection, so block it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    SSL* pSsl = SSL_new(m_pCtx);
    ERR_clear_error();
    if (pSsl == nullptr || SSL_set_fd(pSsl, nSocket) != 1 || SSL_accept(pSsl) != 1) {
        const std::string reason = OpenSslError();
        *pError = "TLS handshake failed" + (reason.empty() ? std::string() : ": " + reason);
        SSL_free(pSsl);
        return nullptr;
    }
    return std::make_unique<TlsConnection>(pSsl, nSocket);
}
