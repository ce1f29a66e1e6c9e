#include "tls_fetch.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

int ConnectLoopback(uint16_t wPort) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(wPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(s);
        return -1;
    }
    timeval tv{};
    tv.tv_sec = 1; // each read wakes up so the overall limit holds
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    return s;
}

void DescribeCertificate(X509* pCert, TlsFetch* pOut) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int nLen = 0;
    if (X509_digest(pCert, EVP_sha256(), md, &nLen) == 1) {
        for (unsigned int i = 0; i < nLen; ++i) {
            pOut->fingerprint += i > 0 ? ":" : "";
            pOut->fingerprint += "0123456789ABCDEF"[md[i] >> 4];
            pOut->fingerprint += "0123456789ABCDEF"[md[i] & 15];
        }
    }
    char cn[256] = {0};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(pCert), NID_commonName, cn, sizeof(cn)) >
        0) {
        pOut->subjectCn = cn;
    }
    pOut->bSanIp4 = X509_check_ip_asc(pCert, "127.0.0.1", 0) == 1;
    pOut->bSanIp6 = X509_check_ip_asc(pCert, "::1", 0) == 1;
    pOut->bSanLocalhost = X509_check_host(pCert, "localhost", 0, 0, nullptr) == 1;
    int nDays = 0;
    int nSecs = 0;
    if (ASN1_TIME_diff(&nDays, &nSecs, X509_get0_notBefore(pCert), X509_get0_notAfter(pCert)) ==
        1) {
        pOut->nValiditySec = nDays * 86400LL + nSecs;
    }
}

} // namespace

TlsFetch TlsGet(uint16_t wPort, const std::string& target, int nVersion, int nLimitMs) {
    // A camera that closes early must not end the test process with SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    TlsFetch out;
    const int s = ConnectLoopback(wPort);
    SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
    SSL* pSsl = nullptr;
    if (s < 0 || pCtx == nullptr) {
        out.error = "cannot connect";
    } else {
        SSL_CTX_set_min_proto_version(pCtx, nVersion);
        SSL_CTX_set_max_proto_version(pCtx, nVersion);
        SSL_CTX_set_verify(pCtx, SSL_VERIFY_NONE, nullptr);
        pSsl = SSL_new(pCtx);
        SSL_set_fd(pSsl, s);
        out.bHandshake = SSL_connect(pSsl) == 1;
        if (!out.bHandshake) {
            char text[256];
            ERR_error_string_n(ERR_get_error(), text, sizeof(text));
            out.error = text;
        }
    }
    if (out.bHandshake) {
        out.protocol = SSL_get_version(pSsl);
        X509* pCert = SSL_get_peer_certificate(pSsl);
        if (pCert != nullptr) {
            DescribeCertificate(pCert, &out);
            X509_free(pCert);
        }
        const std::string request =
            "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        std::string data;
        if (SSL_write(pSsl, request.data(), static_cast<int>(request.size())) > 0) {
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(nLimitMs);
            char buf[16384];
            while (std::chrono::steady_clock::now() < deadline) {
                const int n = SSL_read(pSsl, buf, sizeof(buf));
                const int nError = n > 0 ? SSL_ERROR_NONE : SSL_get_error(pSsl, n);
                if (n > 0) {
                    data.append(buf, static_cast<size_t>(n));
                } else if (nError != SSL_ERROR_WANT_READ) {
                    out.bCloseNotify = nError == SSL_ERROR_ZERO_RETURN;
                    break; // closed (or failed); a 1 s read time-out just goes round again
                }
            }
        }
        out.response = ParseRawResponse(data);
    }
    SSL_free(pSsl);
    SSL_CTX_free(pCtx);
    if (s >= 0) {
        close(s);
    }
    return out;
}
