// TLS client connections on Windows with SChannel (SSPI): one process-wide credential with
// manual certificate validation (the checks are in oxr_tls_schannel_cert.cpp), the handshake,
// the close_notify and the release. The records after the handshake are in
// oxr_tls_schannel_records.cpp.
#include "oxr_tls_schannel.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "oxr.h"

using namespace oxr_sch;

namespace oxr_sch {

SRWLOCK g_sspiLock = SRWLOCK_INIT;

} // namespace oxr_sch

namespace {

const ULONG kIscFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                        ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                        ISC_REQ_MANUAL_CRED_VALIDATION;

// The credential of current devices (TLS 1.2 and 1.3, strong crypto), and
// the one of old devices (TLS 1.0 to 1.3, whatever the system still allows).
CredHandle g_cred{};
bool g_bCred = false;
CredHandle g_credLegacy{};
bool g_bCredLegacy = false;

const DWORD kBelowTls12 =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;

// Takes the credential only if it allows TLS 1.2 or 1.3 and nothing older:
// wine 8 accepts SCH_CREDENTIALS but ignores the protocols it disables.
bool Acquire(void* pAuthData) {
    if (AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, pAuthData, nullptr, nullptr, &g_cred,
                                  nullptr) != SEC_E_OK) {
        return false;
    }
    SecPkgCred_SupportedProtocols prot{};
    if (QueryCredentialsAttributesA(&g_cred, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &prot) == SEC_E_OK &&
        ((prot.grbitProtocol & kBelowTls12) != 0 ||
         (prot.grbitProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) == 0)) {
        FreeCredentialsHandle(&g_cred);
        return false;
    }
    return true;
}

// Old devices: TLS 1.0 and 1.1 besides, and no SCH_USE_STRONG_CRYPTO, so the
// ciphers and keys the system still permits (its policy decides; SChannel
// has no security level to lower).
bool GetLegacyCredentials() {
    SoleSspi lock;
    if (g_bCredLegacy) {
        return true;
    }
    const DWORD fallbacks[] = {SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT |
                                   SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT,
                               SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT |
                                   SP_PROT_TLS1_2_CLIENT};
    for (DWORD dwProtocols : fallbacks) {
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = dwProtocols;
        cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        if (AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                      SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr,
                                      &g_credLegacy, nullptr) == SEC_E_OK) {
            g_bCredLegacy = true;
            break;
        }
    }
    return g_bCredLegacy;
}

// TLS 1.3 needs SCH_CREDENTIALS (Windows 11); older systems and wine take
// SCHANNEL_CRED, some only without the TLS 1.3 bit.
bool GetCredentials() {
    SoleSspi lock;
    if (g_bCred) {
        return true;
    }
    const DWORD dwFlags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TLS_PARAMETERS params{};
    params.grbitDisabledProtocols =
        ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS sch{};
    sch.dwVersion = SCH_CREDENTIALS_VERSION;
    sch.dwFlags = dwFlags;
    sch.cTlsParameters = 1;
    sch.pTlsParameters = &params;
    bool bOk = Acquire(&sch);
    const DWORD fallbacks[] = {SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT,
                               SP_PROT_TLS1_2_CLIENT};
    for (DWORD dwProtocols : fallbacks) {
        if (bOk) {
            break;
        }
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = dwProtocols;
        cred.dwFlags = dwFlags;
        bOk = Acquire(&cred);
    }
    g_bCred = bOk;
    return bOk;
}

} // namespace

namespace oxr_sch {

SECURITY_STATUS HandshakeStep(OXR_TLS* t, bool* pbProgress) {
    SecBuffer in[2] = {{static_cast<ULONG>(t->nIn), SECBUFFER_TOKEN, t->pIn},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
    ULONG nAttr = 0;
    SECURITY_STATUS s;
    const char* pszTarget = t->szTarget[0] != '\0' ? t->szTarget : nullptr;
    if (!t->bCtx) {
        SoleSspi lock;
        s = InitializeSecurityContextA(t->pCred, nullptr, const_cast<char*>(pszTarget), kIscFlags,
                                       0, 0, nullptr, 0, &t->ctx, &outDesc, &nAttr, nullptr);
        t->bCtx = s == SEC_I_CONTINUE_NEEDED || s == SEC_E_OK;
    } else {
        SharedSspi lock;
        s = InitializeSecurityContextA(t->pCred, &t->ctx, const_cast<char*>(pszTarget), kIscFlags,
                                       0, 0, &inDesc, 0, nullptr, &outDesc, &nAttr, nullptr);
    }
    *pbProgress = false;
    if (out[0].pvBuffer != nullptr) {
        bool bQueued = QueueOut(t, out[0].pvBuffer, out[0].cbBuffer);
        *pbProgress = out[0].cbBuffer > 0;
        FreeContextBuffer(out[0].pvBuffer);
        if (!bQueued) {
            return SEC_E_INSUFFICIENT_MEMORY;
        }
    }
    if (s == SEC_E_INCOMPLETE_MESSAGE || !t->bCtx || t->nIn == 0) {
        return s;
    }
    size_t nLeft = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
    if (nLeft < t->nIn) {
        *pbProgress = true;
        Consume(t, t->nIn - nLeft);
    }
    return s;
}

int StatusResult(SECURITY_STATUS s) {
    return s == SEC_E_INSUFFICIENT_MEMORY ? OXR_TLS_E_NO_MEMORY : OXR_TLS_E_PROTOCOL;
}

} // namespace oxr_sch

namespace {

int Handshake(OXR_TLS* t, int64_t tDeadline, OXR_WAKER* pWaker) {
    bool bProgress = false;
    SECURITY_STATUS s = HandshakeStep(t, &bProgress);
    for (;;) {
        int f = FlushOut(t);
        if (s != SEC_E_OK && s != SEC_I_CONTINUE_NEEDED && s != SEC_E_INCOMPLETE_MESSAGE &&
            s != SEC_I_INCOMPLETE_CREDENTIALS) {
            return StatusResult(s); // an alert, if any, went out with the flush
        }
        if (f < 0) {
            return OXR_TLS_E_PROTOCOL;
        }
        if (f > 0) {
            int w = WaitSocket(t, true, tDeadline, pWaker);
            if (w != 0) {
                return w;
            }
            continue;
        }
        if (s == SEC_E_OK) {
            return OXR_TLS_OK;
        }
        // The server asked for a client certificate: go on without one.
        if (s == SEC_I_INCOMPLETE_CREDENTIALS ||
            (s == SEC_I_CONTINUE_NEEDED && t->nIn > 0 && bProgress)) {
            s = HandshakeStep(t, &bProgress);
            continue;
        }
        int n = ReadMore(t);
        if (n > 0) {
            s = HandshakeStep(t, &bProgress);
        } else if (n == 0) {
            int w = WaitSocket(t, false, tDeadline, pWaker);
            if (w != 0) {
                return w;
            }
        } else {
            return OXR_TLS_E_PROTOCOL; // closed or failed during the handshake
        }
    }
}

void Release(OXR_TLS* t) {
    if (t->bCtx) {
        SoleSspi lock;
        DeleteSecurityContext(&t->ctx);
    }
    std::free(t->pIn);
    std::free(t->pPlain);
    std::free(t->pOut);
    std::free(t->pSend);
    delete t;
}

PCCERT_CONTEXT PeerCertificate(OXR_TLS* t) {
    PCCERT_CONTEXT pCert = nullptr;
    SharedSspi lock;
    if (QueryContextAttributesA(&t->ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &pCert) != SEC_E_OK) {
        return nullptr;
    }
    return pCert;
}

int CheckCertificate(OXR_TLS* t, const char* pszHost, bool bIp, int nVerify,
                     const unsigned char* pPin) {
    PCCERT_CONTEXT pCert = PeerCertificate(t);
    if (pCert == nullptr) {
        return OXR_TLS_E_PROTOCOL;
    }
    int r = OXR_TlsCheckPeerCertificate(pCert, pszHost, bIp, nVerify, pPin);
    CertFreeCertificateContext(pCert);
    return r;
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

} // namespace

int OXR_TlsConnect(int nSocket, const char* pszHost, int nVerify, const unsigned char* pPin,
                   int nTimeOutMs, OXR_WAKER* pWaker, OXR_TLS** ppTls, OXR_TLS_SESSION*,
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
    const int64_t tDeadline = OXR_DeadlineOf(nTimeOutMs);
    if (!(bLegacy ? GetLegacyCredentials() : GetCredentials())) {
        return OXR_TLS_E_PROTOCOL;
    }
    u_long nOn = 1;
    if (ioctlsocket(static_cast<SOCKET>(nSocket), FIONBIO, &nOn) != 0) {
        return OXR_TLS_E_PROTOCOL;
    }
    OXR_TLS* t = new (std::nothrow) OXR_TLS;
    if (t == nullptr) {
        return OXR_TLS_E_NO_MEMORY;
    }
    t->nSocket = nSocket;
    t->pCred = bLegacy ? &g_credLegacy : &g_cred;
    if (!bIp) {
        std::memcpy(t->szTarget, szHost, sizeof(szHost));
    }
    t->pIn = static_cast<char*>(std::malloc(kInCap));
    t->pPlain = static_cast<char*>(std::malloc(kPlainCap));
    if (t->pIn == nullptr || t->pPlain == nullptr) {
        Release(t);
        return OXR_TLS_E_NO_MEMORY;
    }
    int r = Handshake(t, tDeadline, pWaker);
    if (r == OXR_TLS_OK) {
        t->bHandshaking = false;
        SharedSspi lock;
        // Wine names no protocol (0) for TLS 1.3; anything older than 1.2 is refused.
        SecPkgContext_ConnectionInfo info{};
        if (QueryContextAttributesA(&t->ctx, SECPKG_ATTR_STREAM_SIZES, &t->sizes) != SEC_E_OK ||
            t->sizes.cbMaximumMessage == 0 ||
            QueryContextAttributesA(&t->ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
            (!bLegacy && (info.dwProtocol & kBelowTls12) != 0)) {
            r = OXR_TLS_E_PROTOCOL;
        }
    }
    if (r == OXR_TLS_OK) {
        t->pSend = static_cast<char*>(
            std::malloc(t->sizes.cbHeader + t->sizes.cbMaximumMessage + t->sizes.cbTrailer));
        r = t->pSend != nullptr ? CheckCertificate(t, szHost, bIp, nVerify, pPin)
                                : OXR_TLS_E_NO_MEMORY;
    }
    if (r != OXR_TLS_OK) {
        Release(t);
        return r;
    }
    *ppTls = t;
    return OXR_TLS_OK;
}

int OXR_TlsPeerFingerprint(OXR_TLS* pTls, unsigned char* pOut32) {
    if (pTls == nullptr || pOut32 == nullptr) {
        return -1;
    }
    PCCERT_CONTEXT pCert = PeerCertificate(pTls);
    if (pCert == nullptr) {
        return -1;
    }
    int r = OXR_TlsCertSha256(pCert, pOut32);
    CertFreeCertificateContext(pCert);
    return r;
}

// One try at a close_notify, sent only if the socket takes it now.
static void SendCloseNotify(OXR_TLS* t) {
    DWORD dwType = SCHANNEL_SHUTDOWN;
    SecBuffer ctl = {sizeof(dwType), SECBUFFER_TOKEN, &dwType};
    SecBufferDesc ctlDesc = {SECBUFFER_VERSION, 1, &ctl};
    SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
    ULONG nAttr = 0;
    SharedSspi lock;
    if (ApplyControlToken(&t->ctx, &ctlDesc) != SEC_E_OK) {
        return;
    }
    SECURITY_STATUS s =
        InitializeSecurityContextA(t->pCred, &t->ctx, t->szTarget[0] ? t->szTarget : nullptr,
                                   kIscFlags, 0, 0, nullptr, 0, nullptr, &outDesc, &nAttr, nullptr);
    if (out.pvBuffer != nullptr) {
        if (s == SEC_E_OK && out.cbBuffer > 0) {
            send(static_cast<SOCKET>(t->nSocket), static_cast<const char*>(out.pvBuffer),
                 static_cast<int>(out.cbBuffer), 0);
        }
        FreeContextBuffer(out.pvBuffer);
    }
}

// SChannel keeps its sessions in its own cache, by target name, and resumes
// them by itself.
OXR_TLS_SESSION* OXR_TlsSaveSession(OXR_TLS*) {
    return nullptr;
}

void OXR_TlsFreeSession(OXR_TLS_SESSION*) {}

void OXR_TlsFree(OXR_TLS* pTls) {
    if (pTls == nullptr) {
        return;
    }
    if (pTls->nState == 0 && !pTls->bHandshaking && pTls->nOut == 0) {
        SendCloseNotify(pTls);
    }
    Release(pTls);
}
