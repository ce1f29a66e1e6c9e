// Multipart mode of the receiver: finds each part head at the boundary,
// takes its body (by its Content-Length, or up to the next delimiter when it
// has none) and delivers the part whole.
#include <cstring>
#include <new>

#include "http_part.h"
#include "http_request.h"

// The part buffer on the receiver's stack: the bytes held are always its
// first nHeld bytes.
struct HttpPartBuffer {
    char data[kHttpRecvBufSize];
    int nHeld;
    char szType[kHttpPartTypeMax + 1]; // type of the last part that named one
};

namespace {

// A camera part is a frame or an event; anything larger is taken for a
// broken stream rather than allocated.
const int kMaxPartSize = 64 * 1024 * 1024;
// Reads of a spilled body leave this much of the part buffer free for the
// delimiter line that may have begun in the read before.
const int kSpillStep = kHttpRecvBufSize - 256;

} // namespace

int CHttpRequest::RecvMultipart() {
    HttpPartBuffer buf;
    buf.nHeld = 0;
    std::memset(buf.szType, 0, sizeof(buf.szType));
    if (m_nLeftLen > 0) {
        std::memcpy(buf.data, m_szRecvBuf + m_nHeadLen, static_cast<size_t>(m_nLeftLen));
        buf.nHeld = m_bChunked != 0 ? m_cChunks.Decode(buf.data, m_nLeftLen) : m_nLeftLen;
        if (buf.nHeld < 0) {
            return 0;
        }
    }
    while (m_bStop == 0) {
        int nHeadEnd = 0;
        if (SeekPartHead(buf, &nHeadEnd) != 0) {
            return 0;
        }
        HttpPartHead head;
        HttpParsePartHead(buf.data, buf.data + nHeadEnd, &head);
        if (head.bHasType != 0) {
            std::memcpy(buf.szType, head.szType, sizeof(buf.szType));
        }
        int r = head.nLength >= 0 ? TakeSizedBody(buf, nHeadEnd, head.nLength)
                                  : TakeOpenBody(buf, nHeadEnd);
        if (r != 0) {
            return 0;
        }
    }
    return 0;
}

void CHttpRequest::Consume(HttpPartBuffer& buf, int nCount) {
    std::memmove(buf.data, buf.data + nCount, static_cast<size_t>(buf.nHeld - nCount));
    buf.nHeld -= nCount;
}

int CHttpRequest::SeekPartHead(HttpPartBuffer& buf, int* pnHeadEnd) {
    const int nBoundary = static_cast<int>(std::strlen(m_szBoundary));
    for (;;) {
        if (m_bStop != 0) {
            return -1;
        }
        const char* pDelim = OXR_Memmem(buf.data, buf.data + buf.nHeld, m_szBoundary,
                                        static_cast<size_t>(nBoundary));
        if (pDelim != nullptr) {
            // What precedes the delimiter (a preamble, the CR LF after a
            // body) is no part of any part.
            Consume(buf, static_cast<int>(pDelim - buf.data));
            const char* pTerm =
                OXR_Memmem(buf.data + nBoundary, buf.data + buf.nHeld, "\r\n\r\n", 4);
            if (pTerm != nullptr) {
                *pnHeadEnd = static_cast<int>(pTerm - buf.data) + 4;
                return 0;
            }
        } else if (buf.nHeld >= nBoundary) {
            // Only the tail could still be the start of a delimiter.
            Consume(buf, buf.nHeld - (nBoundary - 1));
        }
        if (buf.nHeld >= kHttpRecvBufSize) {
            return -1; // a part head larger than the part buffer
        }
        // Whatever has arrived is taken at once, so a part is not held back
        // waiting for bytes that the next part will bring.
        int r = ReadStream(buf.data + buf.nHeld, kHttpRecvBufSize - buf.nHeld);
        if (r <= 0) {
            return -1;
        }
        buf.nHeld += r;
    }
}

int CHttpRequest::TakeSizedBody(HttpPartBuffer& buf, int nBody, int nLength) {
    const int nHave = buf.nHeld - nBody;
    if (nLength <= nHave) {
        Deliver(0, buf.data + nBody, nLength, buf.szType);
        Consume(buf, nBody + nLength);
        return 0;
    }
    if (nLength > kMaxPartSize) {
        return -1;
    }
    char* pBlock = new (std::nothrow) char[static_cast<size_t>(nLength)];
    if (pBlock == nullptr) {
        return -1;
    }
    std::memcpy(pBlock, buf.data + nBody, static_cast<size_t>(nHave));
    buf.nHeld = 0;
    // The rest goes straight into the block; a body that ends short is
    // never delivered.
    int r = ReadFull(pBlock + nHave, nLength - nHave);
    if (r == 0) {
        Deliver(0, pBlock, nLength, buf.szType);
    }
    delete[] pBlock;
    return r;
}

int CHttpRequest::TakeOpenBody(HttpPartBuffer& buf, int nBody) {
    const int nBoundary = static_cast<int>(std::strlen(m_szBoundary));
    int nFrom = nBody;
    for (;;) {
        const char* pLine = nullptr;
        const char* pBodyEnd =
            HttpFindDelimiter(buf.data + nBody, buf.data + nFrom, buf.data + buf.nHeld,
                              m_szBoundary, nBoundary, &pLine);
        if (pBodyEnd != nullptr) {
            Deliver(0, buf.data + nBody, static_cast<int>(pBodyEnd - (buf.data + nBody)),
                    buf.szType);
            Consume(buf, static_cast<int>(pLine - buf.data));
            return 0;
        }
        if (buf.nHeld >= kHttpRecvBufSize) {
            return SpillOpenBody(buf, nBody);
        }
        nFrom = buf.nHeld - nBoundary + 1 > nBody ? buf.nHeld - nBoundary + 1 : nBody;
        int r = ReadStream(buf.data + buf.nHeld, kHttpRecvBufSize - buf.nHeld);
        if (r <= 0) {
            return -1;
        }
        buf.nHeld += r;
    }
}

int CHttpRequest::SpillOpenBody(HttpPartBuffer& buf, int nBody) {
    const int nBoundary = static_cast<int>(std::strlen(m_szBoundary));
    int nCap = 4 * kHttpRecvBufSize;
    int nLen = buf.nHeld - nBody;
    char* pBlock = new (std::nothrow) char[static_cast<size_t>(nCap)];
    if (pBlock == nullptr) {
        return -1;
    }
    std::memcpy(pBlock, buf.data + nBody, static_cast<size_t>(nLen));
    buf.nHeld = 0;
    int nResult = -1;
    for (;;) {
        if (nCap - nLen < kSpillStep) {
            if (nCap >= kMaxPartSize) {
                break;
            }
            int nNewCap = nCap > kMaxPartSize / 2 ? kMaxPartSize : 2 * nCap;
            char* pBigger = new (std::nothrow) char[static_cast<size_t>(nNewCap)];
            if (pBigger == nullptr) {
                break;
            }
            std::memcpy(pBigger, pBlock, static_cast<size_t>(nLen));
            delete[] pBlock;
            pBlock = pBigger;
            nCap = nNewCap;
        }
        const int nFrom = nLen - nBoundary + 1 > 0 ? nLen - nBoundary + 1 : 0;
        int r = ReadStream(pBlock + nLen, kSpillStep);
        if (r <= 0) {
            break;
        }
        nLen += r;
        const char* pLine = nullptr;
        const char* pBodyEnd = HttpFindDelimiter(pBlock, pBlock + nFrom, pBlock + nLen,
                                                 m_szBoundary, nBoundary, &pLine);
        if (pBodyEnd != nullptr) {
            Deliver(0, pBlock, static_cast<int>(pBodyEnd - pBlock), buf.szType);
            // At most one read and a delimiter line: it fits the part buffer.
            buf.nHeld = static_cast<int>(pBlock + nLen - pLine);
            std::memcpy(buf.data, pLine, static_cast<size_t>(buf.nHeld));
            nResult = 0;
            break;
        }
    }
    delete[] pBlock;
    return nResult;
}
