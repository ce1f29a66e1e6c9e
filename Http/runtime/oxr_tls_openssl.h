// Inside the POSIX TLS client only: the connection record and what its
// connections (oxr_tls_openssl.cpp) and its socket BIO (oxr_tls_openssl_bio.cpp)
// share; callers use oxr_tls.h.
#ifndef OXR_TLS_OPENSSL_H
#define OXR_TLS_OPENSSL_H

#include <cstddef>

#include <openssl/ssl.h>

#include "oxr_tls.h"

struct OXR_TLS {
    SSL* pSsl = nullptr;
    int nSocket = -1;
    int nVerify = 0;
    bool bPin = false;
    bool bPinMismatch = false;
    unsigned char pin[32] = {};
    // 0 open, 1 ended (the peer closed), -1 failed
    int nState = 0;
    // The socket BIO follows the record framing of what it reads, so that a
    // close can be told apart: at a record boundary it is an end, inside a
    // record a cut-off.
    bool bEof = false;
    int nHead = 0;
    unsigned char head[5] = {};
    size_t nBodyLeft = 0;
};

namespace oxr_ossl {

// The BIO method that reads and writes a connection's socket (its data is
// the OXR_TLS); nullptr when OpenSSL could not make it.
BIO_METHOD* NewSocketBioMethod();

// Whether everything the socket BIO has read ends with a complete record.
bool AtRecordBoundary(const OXR_TLS* t);

} // namespace oxr_ossl

#endif // OXR_TLS_OPENSSL_H
