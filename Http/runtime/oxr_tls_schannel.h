// Inside the Windows TLS client only: the connection record, its buffer sizes
// and the helpers that the handshake (oxr_tls_schannel.cpp), the records
// (oxr_tls_schannel_records.cpp) and the certificate checks
// (oxr_tls_schannel_cert.cpp) share; callers use oxr_tls.h.
#ifndef OXR_TLS_SCHANNEL_H
#define OXR_TLS_SCHANNEL_H

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

#include <cstddef>
#include <cstdint>

#include "oxr_tls.h"

namespace oxr_sch {

// A TLS record is at most 2^14 + 2048 bytes after its 5-byte header; the
// input buffer holds two, so one complete record always fits.
const size_t kMaxRecord = 5 + 16384 + 2048;
const size_t kInCap = 2 * kMaxRecord;
const size_t kPlainCap = 16384 + 2048;

} // namespace oxr_sch

struct OXR_TLS {
    int nSocket = -1;
    CredHandle* pCred = nullptr; // the process-wide credential it was made with
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

namespace oxr_sch {

// Wine's SChannel keeps its handle table without a lock: calls that create
// or delete handles run alone, every other call shares this lock.
extern SRWLOCK g_sspiLock;

struct SharedSspi {
    SharedSspi() { AcquireSRWLockShared(&g_sspiLock); }
    ~SharedSspi() { ReleaseSRWLockShared(&g_sspiLock); }
};
struct SoleSspi {
    SoleSspi() { AcquireSRWLockExclusive(&g_sspiLock); }
    ~SoleSspi() { ReleaseSRWLockExclusive(&g_sspiLock); }
};

// The socket and the buffers (oxr_tls_schannel_records.cpp).

// Waits until the socket can be written (or read), by tDeadline at the most
// (-1: none); 0 to go on, else a result.
int WaitSocket(OXR_TLS* t, bool bWrite, int64_t tDeadline, OXR_WAKER* pWaker);

// Sends what the handshake queued without waiting: 0 all out, 1 some left, -1 failure.
int FlushOut(OXR_TLS* t);

bool QueueOut(OXR_TLS* t, const void* p, size_t n);

// Reads what the socket has: > 0 bytes, 0 nothing now, -1 closed, -2 failure.
int ReadMore(OXR_TLS* t);

// Drops the first n bytes of the input.
void Consume(OXR_TLS* t, size_t n);

// The handshake (oxr_tls_schannel.cpp).

// One InitializeSecurityContext over the buffered input; its output is queued.
SECURITY_STATUS HandshakeStep(OXR_TLS* t, bool* pbProgress);

int StatusResult(SECURITY_STATUS s);

} // namespace oxr_sch

// The certificate checks (oxr_tls_schannel_cert.cpp).
int OXR_TlsCertSha256(PCCERT_CONTEXT pCert, unsigned char* pOut32);
int OXR_TlsCheckPeerCertificate(PCCERT_CONTEXT pCert, const char* pszHost, bool bIp, int nVerify,
                                const unsigned char* pPin);

#endif // OXR_TLS_SCHANNEL_H
