// TLS client connections over connected TCP sockets, for https:// URLs:
// OpenSSL on POSIX (oxr_tls_openssl*.cpp), SChannel on Windows (oxr_tls_schannel*.cpp).
#ifndef OXR_TLS_H
#define OXR_TLS_H

#include "oxr.h"

struct OXR_TLS;         // one TLS client connection over a connected TCP socket
struct OXR_TLS_SESSION; // a session a later handshake with the same server may resume

// Results of OXR_TlsConnect (and OXR_TlsResultText): apart from the library's
// error numbers and the runtime's socket results, so that no value means two
// things where they meet.
#define OXR_TLS_OK 0
#define OXR_TLS_E_UNTRUSTED                                                                        \
    (-201)                    // certificate not trusted (unknown issuer, self-signed, expired...)
#define OXR_TLS_E_NAME (-202) // certificate does not name the host
#define OXR_TLS_E_PIN (-203)  // pinned fingerprint does not match
#define OXR_TLS_E_PROTOCOL (-204) // handshake or protocol failure, peer closed during handshake
#define OXR_TLS_E_TIMEOUT (-205)
#define OXR_TLS_E_STOPPED (-206) // the waker was woken
#define OXR_TLS_E_NO_MEMORY (-207)
// From OXR_TlsRecv: nothing to read now (the socket's own would-block).
#define OXR_TLS_WOULD_BLOCK OXR_E_WOULDBLOCK

// Verification: nVerify 1 = system trust store + host name (or IP address)
// check, 0 = off. pPin (32 bytes, SHA-256 of the certificate's DER) when not
// NULL: the server certificate is accepted exactly when its fingerprint
// matches (trust store and name are then not consulted).
// Handshake (TLS 1.2 or 1.3, SNI with the host name unless it is an IP
// literal; a bracketed IPv6 literal "[::1]" is accepted as host text) within
// nTimeOutMs overall (below 0: no limit; 0: only what needs no wait). Every
// wait is OXR_WaitSocket with pWaker (may be NULL), so a wake ends it at once
// with OXR_TLS_E_STOPPED. The socket is put in non-blocking mode and stays
// so. On success *ppTls is set. pResume (may be NULL): a session of an
// earlier connection to the same server, saved by OXR_TlsSaveSession, that
// the handshake offers; offer it only to a handshake that checks the
// certificate as the one that made it did (a resumed session is not checked
// again).
// bLegacy: TLS 1.0 and 1.1 too, at OpenSSL's security level 0 (RSA key
// exchange, SHA-1 signatures, small keys) and with servers that lack secure
// renegotiation; SChannel takes TLS 1.0 and 1.1 and whatever the system's
// policy still permits. Certificates are checked as always.
int OXR_TlsConnect(int nSocket, const char* pszHost, int nVerify, const unsigned char* pPin,
                   int nTimeOutMs, OXR_WAKER* pWaker, OXR_TLS** ppTls,
                   OXR_TLS_SESSION* pResume = nullptr, bool bLegacy = false);
// The session of an established connection, for a later handshake to
// resume; NULL when it cannot be resumed, or where the platform resumes
// sessions by itself (SChannel). Free it with OXR_TlsFreeSession.
OXR_TLS_SESSION* OXR_TlsSaveSession(OXR_TLS* pTls);
void OXR_TlsFreeSession(OXR_TLS_SESSION* pSession);

// "certificate not trusted", "name mismatch", "pinned certificate mismatch",
// "protocol failure", "time-out", "stopped", "no memory" (and "ok").
const char* OXR_TlsResultText(int nResult);

// Never blocks: > 0 bytes of application data; 0 when the peer closed
// (close_notify, or a plain TCP close at a record boundary); OXR_TLS_WOULD_BLOCK
// when nothing can be read now; other negative on failure (a record cut off
// by a close is a failure: no partial record is ever returned as data).
int OXR_TlsRecv(OXR_TLS* pTls, char* pBuf, int nLen);

// Bytes already decrypted and waiting inside the TLS object: while this is
// > 0 a caller must call OXR_TlsRecv instead of waiting for the socket. (It
// is also 1 when the end of the stream has been read already and OXR_TlsRecv
// would report it at once.)
int OXR_TlsPending(OXR_TLS* pTls);

// Sends all nLen bytes within nTimeOutMs overall (below 0: no limit; 0: only
// what the socket takes at once), waiting as OXR_TlsConnect does; nLen on
// success, a negative result on failure.
int OXR_TlsSend(OXR_TLS* pTls, const char* pData, int nLen, int nTimeOutMs, OXR_WAKER* pWaker);

// SHA-256 of the server certificate's DER (for logs and tools) into 32
// bytes; 0, or -1 when there is none.
int OXR_TlsPeerFingerprint(OXR_TLS* pTls, unsigned char* pOut32);

// Releases everything; sends a close_notify only if that needs no waiting.
// Does not close the socket.
void OXR_TlsFree(OXR_TLS* pTls);

#endif // OXR_TLS_H
