// TLS client connections over connected TCP sockets, for https:// URLs:
// OpenSSL on POSIX (oxr_tls_openssl*.cpp), SChannel on Windows (oxr_tls_schannel*.cpp).
#ifndef OXR_TLS_H
#define OXR_TLS_H

#include <atomic>

struct OXR_TLS; // one TLS client connection over a connected TCP socket

// Results of OXR_TlsConnect (and OXR_TlsResultText)
#define OXR_TLS_OK 0
#define OXR_TLS_E_UNTRUSTED                                                                        \
    (-1)                        // certificate not trusted (unknown issuer, self-signed, expired...)
#define OXR_TLS_E_NAME (-2)     // certificate does not name the host
#define OXR_TLS_E_PIN (-3)      // pinned fingerprint does not match
#define OXR_TLS_E_PROTOCOL (-4) // handshake or protocol failure, peer closed during handshake
#define OXR_TLS_E_TIMEOUT (-5)
#define OXR_TLS_E_STOPPED (-6) // *pStop became non-zero
#define OXR_TLS_E_NO_MEMORY (-7)
#define OXR_TLS_WOULD_BLOCK (-100) // from OXR_TlsRecv: nothing to read now

// Verification: nVerify 1 = system trust store + host name (or IP address)
// check, 0 = off. pPin (32 bytes, SHA-256 of the certificate's DER) when not
// NULL: the server certificate is accepted exactly when its fingerprint
// matches (trust store and name are then not consulted).
// Handshake (TLS 1.2 or 1.3, SNI with the host name unless it is an IP
// literal; a bracketed IPv6 literal "[::1]" is accepted as host text) within
// nTimeOutMs overall (<= 0: no bound, only *pStop ends it); waits in slices of
// at most 100 ms and gives up with OXR_TLS_E_STOPPED as soon as *pStop is
// non-zero (pStop may be NULL). The socket is put in non-blocking mode and
// stays so. On success *ppTls is set.
int OXR_TlsConnect(int nSocket, const char* pszHost, int nVerify, const unsigned char* pPin,
                   int nTimeOutMs, const std::atomic<int>* pStop, OXR_TLS** ppTls);

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

// Sends all nLen bytes, each wait for room bounded by nTimeOutMs (<= 0: no
// bound) and checked against *pStop every 100 ms; nLen on success, negative
// on failure.
int OXR_TlsSend(OXR_TLS* pTls, const char* pData, int nLen, int nTimeOutMs,
                const std::atomic<int>* pStop);

// SHA-256 of the server certificate's DER (for logs and tools) into 32
// bytes; 0, or -1 when there is none.
int OXR_TlsPeerFingerprint(OXR_TLS* pTls, unsigned char* pOut32);

// Releases everything; sends a close_notify only if that needs no waiting.
// Does not close the socket.
void OXR_TlsFree(OXR_TLS* pTls);

#endif // OXR_TLS_H
