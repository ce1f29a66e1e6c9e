// TLS client connections on POSIX with OpenSSL: one process-wide context
// (trust store, protocol range, verification hook) and per connection an SSL
// reading and writing the socket through the runtime's own BIO, which is in
// oxr_tls_openssl_bio.cpp.
#include "oxr_tls_openssl.h"

#include "oxr.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/socket.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

using namespace oxr_ossl;

namespace {

struct Shared {
    SSL_CTX* pCtx = nullptr;
    BIO_METHOD* pBio = nullptr;
};

std::mutex g_sharedLock;
// Built once each, then only read; never freed (process lifetime): the
// context of current devices and the one of old devices.
Shared g_shared;
Shared g_legacy;

// Replaces OpenSSL's chain check, so that one context serves verified,
// unverified and pinned connections alike.
int VerifyPeer(X509_STORE_CTX* pStore, void*) {
    SSL* pSsl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(pStore, SSL_get_ex_data_X509_STORE_CTX_idx()));
    OXR_TLS* t = static_cast<OXR_TLS*>(SSL_get_app_data(pSsl));
    if (t->bPin) {
        X509* pLeaf = X509_STORE_CTX_get0_cert(pStore);
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int nMd = 0;
        if (pLeaf == nullptr || X509_digest(pLeaf, EVP_sha256(), md, &nMd) != 1 || nMd != 32 ||
            CRYPTO_memcmp(md, t->pin, 32) != 0) {
            t->bPinMismatch = true;
            X509_STORE_CTX_set_error(pStore, X509_V_ERR_APPLICATION_VERIFICATION);
            return 0;
        }
        return 1;
    }
    if (t->nVerify == 0) {
        return 1;
    }
    return X509_verify_cert(pStore);
}

const Shared* GetShared(bool bLegacy) {
    std::lock_guard<std::mutex> lock(g_sharedLock);
    Shared& shared = bLegacy ? g_legacy : g_shared;
    if (shared.pCtx != nullptr) {
        return &shared;
    }
    if (OPENSSL_init_ssl(0, nullptr) != 1) {
        return nullptr;
    }
    BIO_METHOD* pBio = NewSocketBioMethod();
    SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
    bool bOk = pBio != nullptr && pCtx != nullptr;
    if (bOk && bLegacy) {
        // Old cameras: TLS 1.0 and 1.1, RSA key exchange, SHA-1 signatures,
        // 1024-bit keys, servers that never learnt secure renegotiation.
        SSL_CTX_set_security_level(pCtx, 0);
        bOk = SSL_CTX_set_min_proto_version(pCtx, TLS1_VERSION) == 1 &&
              SSL_CTX_set_cipher_list(pCtx, "DEFAULT:@SECLEVEL=0") == 1;
        SSL_CTX_set_options(pCtx, SSL_OP_LEGACY_SERVER_CONNECT);
    } else if (bOk) {
        bOk = SSL_CTX_set_min_proto_version(pCtx, TLS1_2_VERSION) == 1;
    }
    if (!bOk) {
        BIO_meth_free(pBio);
        SSL_CTX_free(pCtx);
        ERR_clear_error();
        return nullptr;
    }
    // Honours SSL_CERT_FILE / SSL_CERT_DIR; without a store nothing verifies.
    SSL_CTX_set_default_verify_paths(pCtx);
    SSL_CTX_set_mode(pCtx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(pCtx, VerifyPeer, nullptr);
    ERR_clear_error();
    shared.pBio = pBio;
    shared.pCtx = pCtx;
    return &shared;
}

// Host text without brackets (and without a final dot); false when unusable.
bool BareHost(const char* pszHost, char (&szOut)[256], bool* pbIp) {
    size_t n = std::strlen(pszHost);
    if (n >= 2 && pszHost[0] == '[' && pszHost[n - 1] == ']') {
        ++pszHost;
        n -= 2;
    }
    if (n == 0 || n >= sizeof(szOut)) {
        return false;
    }
    std::memcpy(szOut, pszHost, n);
    szOut[n] = '\0';
    unsigned char raw[16];
    *pbIp = inet_pton(AF_INET, szOut, raw) == 1 || inet_pton(AF_INET6, szOut, raw) == 1;
    if (!*pbIp && szOut[n - 1] == '.') {
        szOut[n - 1] = '\0';
    }
    return szOut[0] != '\0';
}

int HandshakeFailure(OXR_TLS* t) {
    unsigned long nErr = ERR_peek_last_error();
    ERR_clear_error();
    if (t->bPinMismatch) {
        return OXR_TLS_E_PIN;
    }
    long nVerify = SSL_get_verify_result(t->pSsl);
    if (nVerify == X509_V_ERR_HOSTNAME_MISMATCH || nVerify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        return OXR_TLS_E_NAME;
    }
    if (nVerify != X509_V_OK) {
        return OXR_TLS_E_UNTRUSTED;
    }
    if (nErr != 0 && ERR_GET_REASON(nErr) == ERR_R_MALLOC_FAILURE) {
        return OXR_TLS_E_NO_MEMORY;
    }
    return OXR_TLS_E_PROTOCOL;
}

// Waits, until tDeadline at the most, for what OpenSSL asked for. 0 to go
// on, else a result.
int WaitForSsl(OXR_TLS* t, int nSslError, int64_t tDeadline, OXR_WAKER* pWaker) {
    const int nLeft = OXR_MsLeft(tDeadline);
    if (nLeft == 0) {
        return OXR_TLS_E_TIMEOUT;
    }
    const int r =
        OXR_WaitSocket(t->nSocket, nSslError == SSL_ERROR_WANT_WRITE ? 1 : 0, nLeft, pWaker);
    if (r == OXR_E_WOKEN) {
        return OXR_TLS_E_STOPPED;
    }
    return r < 0 ? OXR_TLS_E_PROTOCOL : 0;
}

int Handshake(OXR_TLS* t, int nTimeOutMs, OXR_WAKER* pWaker) {
    const int64_t tDeadline = OXR_DeadlineOf(nTimeOutMs);
    for (;;) {
        ERR_clear_error();
        int r = SSL_connect(t->pSsl);
        if (r == 1) {
            return OXR_TLS_OK;
        }
        int e = SSL_get_error(t->pSsl, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            return HandshakeFailure(t);
        }
        int w = WaitForSsl(t, e, tDeadline, pWaker);
        if (w != 0) {
            return w;
        }
    }
}

void Release(OXR_TLS* t) {
    SSL_free(t->pSsl); // and with it the BIO
    ERR_clear_error();
    delete t;
}

} // namespace

int OXR_TlsConnect(int nSocket, const char* pszHost, int nVerify, const unsigned char* pPin,
                   int nTimeOutMs, OXR_WAKER* pWaker, OXR_TLS** ppTls, OXR_TLS_SESSION* pResume,
                   bool bLegacy) {
    if (ppTls == nullptr) {
        return OXR_TLS_E_PROTOCOL;
    }
    *ppTls = nullptr;
    char szHost[256];
    bool bIp = false;
    if (nSocket < 0 || pszHost == nullptr || !BareHost(pszHost, szHost, &bIp)) {
        return OXR_TLS_E_PROTOCOL;
    }
    const Shared* pShared = GetShared(bLegacy);
    if (pShared == nullptr) {
        return OXR_TLS_E_NO_MEMORY;
    }
    int nFlags = fcntl(nSocket, F_GETFL, 0);
    if (nFlags < 0 || fcntl(nSocket, F_SETFL, nFlags | O_NONBLOCK) < 0) {
        return OXR_TLS_E_PROTOCOL;
    }
    OXR_TLS* t = new (std::nothrow) OXR_TLS;
    if (t == nullptr) {
        return OXR_TLS_E_NO_MEMORY;
    }
    t->nSocket = nSocket;
    t->nVerify = nVerify;
    if (pPin != nullptr) {
        t->bPin = true;
        std::memcpy(t->pin, pPin, sizeof(t->pin));
    }
    t->pSsl = SSL_new(pShared->pCtx);
    BIO* pBio = t->pSsl != nullptr ? BIO_new(pShared->pBio) : nullptr;
    if (pBio == nullptr) {
        Release(t);
        return OXR_TLS_E_NO_MEMORY;
    }
    BIO_set_data(pBio, t);
    BIO_set_init(pBio, 1);
    SSL_set_bio(t->pSsl, pBio, pBio);
    SSL_set_app_data(t->pSsl, t);
    bool bOk = true;
    if (!t->bPin && nVerify != 0) {
        if (bIp) {
            bOk = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(t->pSsl), szHost) == 1;
        } else {
            SSL_set_hostflags(t->pSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            bOk = SSL_set1_host(t->pSsl, szHost) == 1;
        }
    }
    if (bOk && !bIp) {
        bOk = SSL_set_tlsext_host_name(t->pSsl, szHost) == 1;
    }
    if (bOk && pResume != nullptr) {
        SSL_set_session(t->pSsl, reinterpret_cast<SSL_SESSION*>(pResume));
    }
    if (!bOk) {
        Release(t);
        return OXR_TLS_E_NO_MEMORY;
    }
    int r = Handshake(t, nTimeOutMs, pWaker);
    if (r != OXR_TLS_OK) {
        Release(t);
        return r;
    }
    ERR_clear_error();
    *ppTls = t;
    return OXR_TLS_OK;
}

int OXR_TlsRecv(OXR_TLS* pTls, char* pBuf, int nLen) {
    if (pTls == nullptr || pBuf == nullptr || nLen <= 0 || pTls->nState < 0) {
        return OXR_TLS_E_PROTOCOL;
    }
    if (pTls->nState > 0) {
        return 0;
    }
    ERR_clear_error();
    int r = SSL_read(pTls->pSsl, pBuf, nLen);
    if (r > 0) {
        return r;
    }
    int e = SSL_get_error(pTls->pSsl, r);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        return OXR_TLS_WOULD_BLOCK;
    }
    // OpenSSL reports a plain TCP close as an unexpected end of file; it is
    // an orderly end here only when no record was left incomplete.
    if (e == SSL_ERROR_ZERO_RETURN || (pTls->bEof && AtRecordBoundary(pTls))) {
        pTls->nState = 1;
        return 0;
    }
    pTls->nState = -1;
    return OXR_TLS_E_PROTOCOL;
}

int OXR_TlsPending(OXR_TLS* pTls) {
    if (pTls == nullptr || pTls->nState != 0) {
        return 0;
    }
    return SSL_pending(pTls->pSsl);
}

int OXR_TlsSend(OXR_TLS* pTls, const char* pData, int nLen, int nTimeOutMs, OXR_WAKER* pWaker) {
    if (pTls == nullptr || (pData == nullptr && nLen > 0) || nLen < 0 || pTls->nState != 0) {
        return OXR_TLS_E_PROTOCOL;
    }
    const int64_t tDeadline = OXR_DeadlineOf(nTimeOutMs);
    int nSent = 0;
    while (nSent < nLen) {
        ERR_clear_error();
        int r = SSL_write(pTls->pSsl, pData + nSent, nLen - nSent);
        if (r > 0) {
            nSent += r;
            continue;
        }
        int e = SSL_get_error(pTls->pSsl, r);
        ERR_clear_error();
        int w = OXR_TLS_E_PROTOCOL;
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            w = WaitForSsl(pTls, e, tDeadline, pWaker);
        }
        if (w != 0) {
            pTls->nState = -1; // a record may be half written: the stream is unusable
            return w;
        }
    }
    return nLen;
}

int OXR_TlsPeerFingerprint(OXR_TLS* pTls, unsigned char* pOut32) {
    if (pTls == nullptr || pOut32 == nullptr) {
        return -1;
    }
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    X509* pCert = SSL_get1_peer_certificate(pTls->pSsl);
#else
    X509* pCert = SSL_get_peer_certificate(pTls->pSsl);
#endif
    if (pCert == nullptr) {
        return -1;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int nMd = 0;
    int r = X509_digest(pCert, EVP_sha256(), md, &nMd) == 1 && nMd == 32 ? 0 : -1;
    X509_free(pCert);
    ERR_clear_error();
    if (r == 0) {
        std::memcpy(pOut32, md, 32);
    }
    return r;
}

OXR_TLS_SESSION* OXR_TlsSaveSession(OXR_TLS* pTls) {
    if (pTls == nullptr || pTls->nState < 0) {
        return nullptr;
    }
    SSL_SESSION* pSession = SSL_get1_session(pTls->pSsl);
    if (pSession != nullptr && SSL_SESSION_is_resumable(pSession) != 1) {
        SSL_SESSION_free(pSession);
        pSession = nullptr;
    }
    ERR_clear_error();
    return reinterpret_cast<OXR_TLS_SESSION*>(pSession);
}

void OXR_TlsFreeSession(OXR_TLS_SESSION* pSession) {
    SSL_SESSION_free(reinterpret_cast<SSL_SESSION*>(pSession));
}

void OXR_TlsFree(OXR_TLS* pTls) {
    if (pTls == nullptr) {
        return;
    }
    if (pTls->nState == 0 && SSL_is_init_finished(pTls->pSsl)) {
        // One try: the close_notify goes out if the socket takes it now.
        ERR_clear_error();
        SSL_shutdown(pTls->pSsl);
    }
    Release(pTls);
}
