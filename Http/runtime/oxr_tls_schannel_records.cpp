// Records of the Windows TLS client once connected: decryption (and a handshake the peer
// starts later), encryption, and the socket I/O the handshake shares. Credentials, the
// handshake itself and the close are in oxr_tls_schannel.cpp.
#include "oxr_tls_schannel.h"

#include <cstdlib>
#include <cstring>

#include "oxr.h"

using namespace oxr_sch;

namespace {

bool WouldBlock() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

} // namespace

namespace oxr_sch {

int WaitSocket(OXR_TLS* t, bool bWrite, int64_t tDeadline, OXR_WAKER* pWaker) {
    const int nLeft = OXR_MsLeft(tDeadline);
    if (nLeft == 0) {
        return OXR_TLS_E_TIMEOUT;
    }
    const int r = OXR_WaitSocket(t->nSocket, bWrite ? 1 : 0, nLeft, pWaker);
    if (r == OXR_E_WOKEN) {
        return OXR_TLS_E_STOPPED;
    }
    return r < 0 ? OXR_TLS_E_PROTOCOL : 0;
}

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

} // namespace oxr_sch

namespace {

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

} // namespace

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

// Sends n raw bytes by tDeadline.
static int SendRaw(OXR_TLS* t, const char* p, size_t n, int64_t tDeadline, OXR_WAKER* pWaker) {
    while (n > 0) {
        int r = send(static_cast<SOCKET>(t->nSocket), p, static_cast<int>(n), 0);
        if (r > 0) {
            p += r;
            n -= static_cast<size_t>(r);
            continue;
        }
        if (r == SOCKET_ERROR && !WouldBlock()) {
            return OXR_TLS_E_PROTOCOL;
        }
        int w = WaitSocket(t, true, tDeadline, pWaker);
        if (w != 0) {
            return w;
        }
    }
    return 0;
}

int OXR_TlsSend(OXR_TLS* pTls, const char* pData, int nLen, int nTimeOutMs, OXR_WAKER* pWaker) {
    if (pTls == nullptr || (pData == nullptr && nLen > 0) || nLen < 0 || pTls->nState != 0) {
        return OXR_TLS_E_PROTOCOL;
    }
    OXR_TLS* t = pTls;
    const int64_t tDeadline = OXR_DeadlineOf(nTimeOutMs);
    int r = SendRaw(t, t->pOut + t->nOutOff, t->nOut - t->nOutOff, tDeadline, pWaker);
    t->nOutOff = t->nOut = 0;
    const SecPkgContext_StreamSizes& z = t->sizes;
    for (int nSent = 0; r == 0 && nSent < nLen;) {
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
        r = SendRaw(t, t->pSend, nRecord, tDeadline, pWaker);
        nSent += static_cast<int>(nChunk);
    }
    if (r != 0) {
        t->nState = -1; // a record may be half written: the stream is unusable
        return r;
    }
    return nLen;
}
