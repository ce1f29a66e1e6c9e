// TLS client connections on Windows with SChannel (SSPI): one process-wide
// credential with manual certificate validation (checked here with the
// system's chain engine and our own subjectAltName match); per connection a
// security context, the received bytes not yet decrypted and the decrypted
// bytes not yet taken.
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h> // UNICODE_STRING, for SCH_CREDENTIALS
#define SCHANNEL_USE_BLACKLISTS
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "oxr.h"
#include "oxr_tls.h"

namespace {

// A TLS record is at most 2^14 + 2048 bytes after its 5-byte header; the
// input buffer holds two, so one complete record always fits.
const size_t kMaxRecord = 5 + 16384 + 2048;
const size_t kInCap = 2 * kMaxRecord;
const size_t kPlainCap = 16384 + 2048;
const ULONG kIscFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                        ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                        ISC_REQ_MANUAL_CRED_VALIDATION;

} // namespace

struct OXR_TLS {
    int nSocket = -1;
    CtxtHandle ctx{};
    bool bCtx = false;
    bool bHandshaking = true; // the first handshake, or one the peer started later
    int nState = 0;           // 0 open, 1 ended (the peer closed), -1 failed
    char szTarget[256] = {};  // SNI name; empty for an IP literal
    SecPkgContext_StreamSizes sizes{};
    char* pIn = nullptr; // received, not yet decrypted
    size_t nIn = 0;
    char* pPlain = nullptr; // decrypted, not yet taken
    size_t nPlainOff = 0, nPlain = 0;
    char* pOut = nullptr; // handshake output not yet sent
    size_t nOutOff = 0, nOut = 0;
    char* pSend = nullptr; // one encrypted record
};

// In oxr_tls_schannel_cert.cpp.
int OXR_TlsCertSha256(PCCERT_CONTEXT pCert, unsigned char* pOut32);
int OXR_TlsCheckPeerCertificate(PCCERT_CONTEXT pCert, const char* pszHost, bool bIp, int nVerify,
                                const unsigned char* pPin);

namespace {

// Wine's SChannel keeps its handle table without a lock: calls that create
// or delete handles run alone, every other call shares this lock.
SRWLOCK g_sspiLock = SRWLOCK_INIT;
CredHandle g_cred{};
bool g_bCred = false;

struct SharedSspi {
    SharedSspi() { AcquireSRWLockShared(&g_sspiLock); }
    ~SharedSspi() { ReleaseSRWLockShared(&g_sspiLock); }
};
struct SoleSspi {
    SoleSspi() { AcquireSRWLockExclusive(&g_sspiLock); }
    ~SoleSspi() { ReleaseSRWLockExclusive(&g_sspiLock); }
};

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

bool Stopped(const std::atomic<int>* pStop) {
    return pStop != nullptr && pStop->load() != 0;
}

bool WouldBlock() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

// Waits at most 100 ms (or until tDeadline, 0 = none); 0 to go on, else a result.
int WaitSlice(OXR_TLS* t, bool bWrite, int64_t tDeadline, const std::atomic<int>* pStop) {
    int nSlice = 100;
    if (tDeadline != 0) {
        int64_t nLeft = tDeadline - OXR_TickMs();
        if (nLeft <= 0) {
            return OXR_TLS_E_TIMEOUT;
        }
        nSlice = nLeft < nSlice ? static_cast<int>(nLeft) : nSlice;
    }
    int r = bWrite ? OXR_WaitWritable(t->nSocket, nSlice) : OXR_WaitReadable(t->nSocket, nSlice);
    if (r < 0) {
        return OXR_TLS_E_PROTOCOL;
    }
    return Stopped(pStop) ? OXR_TLS_E_STOPPED : 0;
}

// Sends what the handshake queued without waiting: 0 all out, 1 some left, -1 failure.
int FlushOut(OXR_TLS* t) {
    while (t->nOutOff < t->nOut) {
        int r = send(static_cast<SOCKET>(t->nSocket), t->pOut + t->nOutOff,
                     static_cast<int>(t->nOut - t->nOutOff), 0);
        if (r == SOCKET_ERROR) {
            return WouldBlock() ? 1 : -1;
        }
        t->nOutOff += static_cast<size_t>(r);
    }
    t->nOutOff = t->nOut = 0;
    return 0;
}

bool QueueOut(OXR_TLS* t, const void* p, size_t n) {
    char* pNew = static_cast<char*>(std::realloc(t->pOut, t->nOut + n));
    if (pNew == nullptr) {
        return false;
    }
    t->pOut = pNew;
    std::memcpy(t->pOut + t->nOut, p, n);
    t->nOut += n;
    return true;
}

// Reads what the socket has: > 0 bytes, 0 nothing now, -1 closed, -2 failure.
int ReadMore(OXR_TLS* t) {
    if (t->nIn >= kInCap) {
        return -2;
    }
    int r = recv(static_cast<SOCKET>(t->nSocket), t->pIn + t->nIn,
                 static_cast<int>(kInCap - t->nIn), 0);
    if (r > 0) {
        t->nIn += static_cast<size_t>(r);
        return r;
    }
    if (r == 0) {
        return -1;
    }
    return WouldBlock() ? 0 : -2;
}

void Consume(OXR_TLS* t, size_t n) {
    std::memmove(t->pIn, t->pIn + n, t->nIn - n);
    t->nIn -= n;
}

// One InitializeSecurityContext over the buffered input; its output is queued.
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
        s = InitializeSecurityContextA(&g_cred, nullptr, const_cast<char*>(pszTarget), kIscFlags, 0,
                                       0, nullptr, 0, &t->ctx, &outDesc, &nAttr, nullptr);
        t->bCtx = s == SEC_I_CONTINUE_NEEDED || s == SEC_E_OK;
    } else {
        SharedSspi lock;
        s = InitializeSecurityContextA(&g_cred, &t->ctx, const_cast<char*>(pszTarget), kIscFlags, 0,
                                       0, &inDesc, 0, nullptr, &outDesc, &nAttr, nullptr);
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

int Handshake(OXR_TLS* t, int64_t tDeadline, const std::atomic<int>* pStop) {
    bool bProgress = false;
    SECURITY_STATUS s = HandshakeStep(t, &bProgress);
    for (;;) {
        if (Stopped(pStop)) {
            return OXR_TLS_E_STOPPED;
        }
        int f = FlushOut(t);
        if (s != SEC_E_OK && s != SEC_I_CONTINUE_NEEDED && s != SEC_E_INCOMPLETE_MESSAGE &&
            s != SEC_I_INCOMPLETE_CREDENTIALS) {
            return StatusResult(s); // an alert, if any, went out with the flush
        }
        if (f < 0) {
            return OXR_TLS_E_PROTOCOL;
        }
        if (f > 0) {
            int w = WaitSlice(t, true, tDeadline, pStop);
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
            int w = WaitSlice(t, false, tDeadline, pStop);
            if (w != 0) {
                return w;
            }
        } else {
            return OXR_TLS_E_PROTOCOL; // closed or failed during the handshake
        }
    }
}

// Length of the complete record at the front of the input, 0 when it is
// not complete yet, -1 when the header is impossible.
long CompleteRecord(const OXR_TLS* t) {
    if (t->nIn < 5) {
        return 0;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(t->pIn);
    size_t n = 5 + ((static_cast<size_t>(p[3]) << 8) | p[4]);
    if (p[0] < 20 || p[0] > 24 || n > kMaxRecord) {
        return -1;
    }
    return t->nIn >= n ? static_cast<long>(n) : 0;
}

enum DecryptOutcome { kData, kNothing, kEnded, kRenegotiate, kFailed };

// Decrypts the complete record at the front of the input into the plain buffer.
DecryptOutcome DecryptOne(OXR_TLS* t, size_t nRecord) {
    SecBuffer b[4] = {{static_cast<ULONG>(nRecord), SECBUFFER_DATA, t->pIn},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
    const bool bAlert = t->pIn[0] == 21; // the record type, before decryption in place
    SECURITY_STATUS s;
    {
        SharedSspi lock;
        s = DecryptMessage(&t->ctx, &desc, 0, nullptr);
    }
    if (s == SEC_I_CONTEXT_EXPIRED) {
        return kEnded; // close_notify
    }
    if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE) {
        return kFailed;
    }
    const SecBuffer* pData = nullptr;
    const SecBuffer* pExtra = nullptr;
    for (const SecBuffer& x : b) {
        pData = x.BufferType == SECBUFFER_DATA ? &x : pData;
        pExtra = x.BufferType == SECBUFFER_EXTRA ? &x : pExtra;
    }
    size_t nData = pData != nullptr ? pData->cbBuffer : 0;
    if (nData > kPlainCap) {
        return kFailed;
    }
    if (nData > 0) {
        std::memmove(t->pPlain, pData->pvBuffer, nData);
    }
    t->nPlainOff = 0;
    t->nPlain = nData;
    // What DecryptMessage left as extra (for a post-handshake message: what
    // InitializeSecurityContext is to read) stays at the front of the input.
    size_t nUsed = nRecord;
    if (pExtra != nullptr && pExtra->cbBuffer <= nRecord) {
        nUsed = nRecord - pExtra->cbBuffer;
    }
    Consume(t, nUsed);
    if (s == SEC_I_RENEGOTIATE) {
        return kRenegotiate;
    }
    // Wine reports a close_notify as an empty record that decrypted well;
    // a fatal alert would have been an error.
    if (bAlert && nData == 0) {
        return kEnded;
    }
    return nData > 0 ? kData : kNothing;
}

int TakePlain(OXR_TLS* t, char* pBuf, int nLen) {
    size_t n = t->nPlain - t->nPlainOff;
    n = n < static_cast<size_t>(nLen) ? n : static_cast<size_t>(nLen);
    std::memcpy(pBuf, t->pPlain + t->nPlainOff, n);
    t->nPlainOff += n;
    return static_cast<int>(n);
}

// One step of reading without I/O: decrypts a buffered record, or goes on
// with a handshake the peer started. 1 progress, 0 needs the socket, else a result.
int ProcessBuffered(OXR_TLS* t) {
    if (t->bHandshaking) {
        bool bProgress = false;
        SECURITY_STATUS s = HandshakeStep(t, &bProgress);
        if (s == SEC_E_OK) {
            t->bHandshaking = false;
            return 1;
        }
        if (s == SEC_I_CONTINUE_NEEDED || s == SEC_E_INCOMPLETE_MESSAGE) {
            return bProgress && t->nIn > 0 ? 1 : 0;
        }
        return OXR_TLS_E_PROTOCOL;
    }
    long nRecord = CompleteRecord(t);
    if (nRecord <= 0) {
        return nRecord < 0 ? OXR_TLS_E_PROTOCOL : 0;
    }
    switch (DecryptOne(t, static_cast<size_t>(nRecord))) {
    case kData:
    case kNothing:
        return 1;
    case kRenegotiate:
        t->bHandshaking = true;
        return 1;
    case kEnded:
        t->nState = 1;
        return 1;
    default:
        return OXR_TLS_E_PROTOCOL;
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
                   int nTimeOutMs, const std::atomic<int>* pStop, OXR_TLS** ppTls) {
    if (ppTls == nullptr) {
        return OXR_TLS_E_PROTOCOL;
    }
    *ppTls = nullptr;
    char szHost[256];
    bool bIp = false;
    if (nSocket < 0 || pszHost == nullptr || !BareHost(pszHost, szHost, &bIp)) {
        return OXR_TLS_E_PROTOCOL;
    }
    int64_t tDeadline = nTimeOutMs > 0 ? OXR_TickMs() + nTimeOutMs : 0;
    if (!GetCredentials()) {
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
    if (!bIp) {
        std::memcpy(t->szTarget, szHost, sizeof(szHost));
    }
    t->pIn = static_cast<char*>(std::malloc(kInCap));
    t->pPlain = static_cast<char*>(std::malloc(kPlainCap));
    if (t->pIn == nullptr || t->pPlain == nullptr) {
        Release(t);
        return OXR_TLS_E_NO_MEMORY;
    }
    int r = Handshake(t, tDeadline, pStop);
    if (r == OXR_TLS_OK) {
        t->bHandshaking = false;
        SharedSspi lock;
        // Wine names no protocol (0) for TLS 1.3; anything older than 1.2 is refused.
        SecPkgContext_ConnectionInfo info{};
        if (QueryContextAttributesA(&t->ctx, SECPKG_ATTR_STREAM_SIZES, &t->sizes) != SEC_E_OK ||
            t->sizes.cbMaximumMessage == 0 ||
            QueryContextAttributesA(&t->ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
            (info.dwProtocol & kBelowTls12) != 0) {
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

int OXR_TlsRecv(OXR_TLS* pTls, char* pBuf, int nLen) {
    if (pTls == nullptr || pBuf == nullptr || nLen <= 0) {
        return OXR_TLS_E_PROTOCOL;
    }
    OXR_TLS* t = pTls;
    for (;;) {
        if (t->nPlainOff < t->nPlain) {
            return TakePlain(t, pBuf, nLen);
        }
        if (t->nState != 0) {
            return t->nState > 0 ? 0 : OXR_TLS_E_PROTOCOL;
        }
        if (FlushOut(t) < 0) {
            t->nState = -1;
            continue;
        }
        int r = ProcessBuffered(t);
        if (r > 0) {
            continue;
        }
        if (r < 0) {
            t->nState = -1;
            continue;
        }
        int n = ReadMore(t);
        if (n == 0) {
            return OXR_TLS_WOULD_BLOCK;
        }
        if (n == -1) {
            // A TCP close is an end only between records.
            t->nState = (t->nIn == 0 && !t->bHandshaking) ? 1 : -1;
        } else if (n < 0) {
            t->nState = -1;
        }
    }
}

int OXR_TlsPending(OXR_TLS* pTls) {
    if (pTls == nullptr) {
        return 0;
    }
    // Complete records already read are decrypted now: the socket may never
    // signal them again. Should that reach the end, report it as pending so
    // the caller asks OXR_TlsRecv, which then returns it at once.
    while (pTls->nPlainOff >= pTls->nPlain && pTls->nState == 0 && !pTls->bHandshaking) {
        int r = ProcessBuffered(pTls);
        if (r < 0) {
            pTls->nState = -1;
        }
        if (r <= 0) {
            break;
        }
    }
    if (pTls->nPlainOff < pTls->nPlain) {
        return static_cast<int>(pTls->nPlain - pTls->nPlainOff);
    }
    return pTls->nState != 0 ? 1 : 0;
}

// Sends nLen raw bytes, each wait for room bounded by nTimeOutMs.
static int SendRaw(OXR_TLS* t, const char* p, size_t n, int nTimeOutMs,
                   const std::atomic<int>* pStop) {
    int64_t tDeadline = nTimeOutMs > 0 ? OXR_TickMs() + nTimeOutMs : 0;
    while (n > 0) {
        int r = send(static_cast<SOCKET>(t->nSocket), p, static_cast<int>(n), 0);
        if (r > 0) {
            p += r;
            n -= static_cast<size_t>(r);
            tDeadline = nTimeOutMs > 0 ? OXR_TickMs() + nTimeOutMs : 0;
            continue;
        }
        if (r == SOCKET_ERROR && !WouldBlock()) {
            return OXR_TLS_E_PROTOCOL;
        }
        int w = WaitSlice(t, true, tDeadline, pStop);
        if (w != 0) {
            return w;
        }
    }
    return 0;
}

int OXR_TlsSend(OXR_TLS* pTls, const char* pData, int nLen, int nTimeOutMs,
                const std::atomic<int>* pStop) {
    if (pTls == nullptr || (pData == nullptr && nLen > 0) || nLen < 0 || pTls->nState != 0) {
        return OXR_TLS_E_PROTOCOL;
    }
    OXR_TLS* t = pTls;
    int r = SendRaw(t, t->pOut + t->nOutOff, t->nOut - t->nOutOff, nTimeOutMs, pStop);
    t->nOutOff = t->nOut = 0;
    const SecPkgContext_StreamSizes& z = t->sizes;
    for (int nSent = 0; r == 0 && nSent < nLen;) {
        if (Stopped(pStop)) {
            r = OXR_TLS_E_STOPPED;
            break;
        }
        ULONG nChunk = static_cast<ULONG>(nLen - nSent);
        nChunk = nChunk < z.cbMaximumMessage ? nChunk : z.cbMaximumMessage;
        std::memcpy(t->pSend + z.cbHeader, pData + nSent, nChunk);
        SecBuffer b[4] = {{z.cbHeader, SECBUFFER_STREAM_HEADER, t->pSend},
                          {nChunk, SECBUFFER_DATA, t->pSend + z.cbHeader},
                          {z.cbTrailer, SECBUFFER_STREAM_TRAILER, t->pSend + z.cbHeader + nChunk},
                          {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS s;
        {
            SharedSspi lock;
            s = EncryptMessage(&t->ctx, 0, &desc, 0);
        }
        if (s != SEC_E_OK) {
            r = StatusResult(s);
            break;
        }
        // Header, data and trailer lie back to back; the trailer may use less than its room.
        size_t nRecord = b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer;
        if (b[0].cbBuffer != z.cbHeader || b[1].pvBuffer != t->pSend + z.cbHeader) {
            r = OXR_TLS_E_PROTOCOL;
            break;
        }
        r = SendRaw(t, t->pSend, nRecord, nTimeOutMs, pStop);
        nSent += static_cast<int>(nChunk);
    }
    if (r != 0) {
        t->nState = -1; // a record may be half written: the stream is unusable
        return r;
    }
    return nLen;
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
        InitializeSecurityContextA(&g_cred, &t->ctx, t->szTarget[0] ? t->szTarget : nullptr,
                                   kIscFlags, 0, 0, nullptr, 0, nullptr, &outDesc, &nAttr, nullptr);
    if (out.pvBuffer != nullptr) {
        if (s == SEC_E_OK && out.cbBuffer > 0) {
            send(static_cast<SOCKET>(t->nSocket), static_cast<const char*>(out.pvBuffer),
                 static_cast<int>(out.cbBuffer), 0);
        }
        FreeContextBuffer(out.pvBuffer);
    }
}

void OXR_TlsFree(OXR_TLS* pTls) {
    if (pTls == nullptr) {
        return;
    }
    if (pTls->nState == 0 && !pTls->bHandshaking && pTls->nOut == 0) {
        SendCloseNotify(pTls);
    }
    Release(pTls);
}
