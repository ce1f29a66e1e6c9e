// The POSIX TLS client's socket BIO: OpenSSL reads and writes the socket
// through it, and it follows the record framing of what it reads. The
// context and the connections are in oxr_tls_openssl.cpp.
#include "oxr_tls_openssl.h"

#include <cerrno>
#include <sys/socket.h>

namespace {

void TrackRecords(OXR_TLS* t, const unsigned char* p, size_t n) {
    while (n > 0) {
        if (t->nBodyLeft > 0) {
            size_t k = n < t->nBodyLeft ? n : t->nBodyLeft;
            t->nBodyLeft -= k;
            p += k;
            n -= k;
            continue;
        }
        t->head[t->nHead++] = *p++;
        --n;
        if (t->nHead == 5) {
            t->nBodyLeft = (static_cast<size_t>(t->head[3]) << 8) | t->head[4];
            t->nHead = 0;
        }
    }
}

int BioWrite(BIO* b, const char* p, int n) {
    OXR_TLS* t = static_cast<OXR_TLS*>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    for (;;) {
        // MSG_NOSIGNAL: a peer that has gone must not raise SIGPIPE in the application.
        ssize_t r = send(t->nSocket, p, static_cast<size_t>(n), MSG_NOSIGNAL);
        if (r >= 0) {
            return static_cast<int>(r);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            BIO_set_retry_write(b);
        }
        return -1;
    }
}

int BioRead(BIO* b, char* p, int n) {
    OXR_TLS* t = static_cast<OXR_TLS*>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    for (;;) {
        ssize_t r = recv(t->nSocket, p, static_cast<size_t>(n), 0);
        if (r > 0) {
            TrackRecords(t, reinterpret_cast<const unsigned char*>(p), static_cast<size_t>(r));
            return static_cast<int>(r);
        }
        if (r == 0) {
            t->bEof = true;
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            BIO_set_retry_read(b);
        }
        return -1;
    }
}

long BioCtrl(BIO* b, int nCmd, long, void* pArg) {
    OXR_TLS* t = static_cast<OXR_TLS*>(BIO_get_data(b));
    switch (nCmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return t->bEof ? 1 : 0;
    case BIO_C_GET_FD:
        if (pArg != nullptr) {
            *static_cast<int*>(pArg) = t->nSocket;
        }
        return t->nSocket;
    default:
        return 0;
    }
}

} // namespace

namespace oxr_ossl {

bool AtRecordBoundary(const OXR_TLS* t) {
    return t->nHead == 0 && t->nBodyLeft == 0;
}

BIO_METHOD* NewSocketBioMethod() {
    BIO_METHOD* pBio = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "oxr socket");
    if (pBio == nullptr || BIO_meth_set_write(pBio, BioWrite) != 1 ||
        BIO_meth_set_read(pBio, BioRead) != 1 || BIO_meth_set_ctrl(pBio, BioCtrl) != 1) {
        BIO_meth_free(pBio);
        return nullptr;
    }
    return pBio;
}

} // namespace oxr_ossl
