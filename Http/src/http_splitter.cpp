// CHttpPartSplitter: finds each part head at the boundary, takes its body
// (by its Content-Length, or up to the next delimiter when it has none) and
// hands the part on whole. Parts are consumed by moving a read position;
// the held bytes move to the front of the buffer only when its free tail
// gets too small for the next read.
#include "http_splitter.h"

#include <cstring>
#include <new>

#include "http_parse.h"
#include "oxr.h"

namespace {

const int kBufSize = 2 * kHttpPartHeadMax;
// A lengthless body that outgrows the buffer continues in a block of this
// size, doubled as needed; reads into it stay this small, so what follows
// the delimiter always fits back into the buffer.
const int kSpillStart = 4 * kHttpPartHeadMax;
// A read for a part head in a stream of large parts: room for a head and a
// little of its body, which then has to be copied into the part's block.
const int kHeadRead = 4096;

} // namespace

CHttpPartSplitter::CHttpPartSplitter(const char* pszBoundary, HttpPartFn pfnPart, void* pCtx)
    : m_nBoundary(0), m_pfnPart(pfnPart), m_pCtx(pCtx), m_eState(kSeekHead), m_nPos(0), m_nEnd(0),
      m_nScan(0), m_nHead(-1), m_nLine(-1), m_nBody(0), m_nLength(0), m_pBlock(nullptr),
      m_nBlockLen(0), m_nBlockCap(0), m_bClosing(false), m_bLargeParts(false) {
    std::memset(m_szBoundary, 0, sizeof(m_szBoundary));
    while (pszBoundary != nullptr && m_nBoundary < kHttpBoundaryMax &&
           pszBoundary[m_nBoundary] != '\0') {
        m_szBoundary[m_nBoundary] = pszBoundary[m_nBoundary];
        ++m_nBoundary;
    }
    std::memset(m_szType, 0, sizeof(m_szType));
}

CHttpPartSplitter::~CHttpPartSplitter() {
    FreeBlock();
}

void CHttpPartSplitter::FreeBlock() {
    delete[] m_pBlock;
    m_pBlock = nullptr;
    m_nBlockLen = 0;
    m_nBlockCap = 0;
}

void CHttpPartSplitter::Deliver(char* pData, int nLen) {
    m_pfnPart(m_pCtx, pData, nLen, m_szType);
}

void CHttpPartSplitter::Compact() {
    const int d = m_nPos;
    if (m_nEnd > m_nPos) {
        std::memmove(m_aBuf, m_aBuf + d, static_cast<size_t>(m_nEnd - d));
    }
    m_nPos = 0;
    m_nEnd -= d;
    m_nScan = m_nScan > d ? m_nScan - d : 0;
    if (m_nHead >= 0) {
        m_nHead -= d;
    }
    m_nBody = m_nBody > d ? m_nBody - d : 0;
    m_nLine = m_nLine >= 0 ? m_nLine - d : -1;
}

char* CHttpPartSplitter::Space(int* pnRoom) {
    if (m_eState == kBlockBody) {
        *pnRoom = m_nLength - m_nBlockLen;
        return m_pBlock + m_nBlockLen;
    }
    if (m_eState == kSpillBody) {
        const int nFree = m_nBlockCap - m_nBlockLen;
        *pnRoom = nFree < kHttpPartHeadMax ? nFree : kHttpPartHeadMax;
        return m_pBlock + m_nBlockLen;
    }
    // What is held here is never more than one part head or one small body
    // (below kHttpPartHeadMax), so after a move the tail has room for a read
    // of at least that much.
    if (m_nPos > 0 && (m_nPos == m_nEnd || kBufSize - m_nEnd < kHttpPartHeadMax)) {
        Compact();
    }
    *pnRoom = kBufSize - m_nEnd;
    if (m_bLargeParts && m_eState == kSeekHead && *pnRoom > kHeadRead) {
        *pnRoom = kHeadRead;
    }
    return m_aBuf + m_nEnd;
}

CHttpPartSplitter::Result CHttpPartSplitter::Feed(const char* pData, int nLen) {
    while (nLen > 0) {
        int nRoom = 0;
        char* p = Space(&nRoom);
        const int n = nLen < nRoom ? nLen : nRoom;
        std::memcpy(p, pData, static_cast<size_t>(n));
        Result r = Commit(n);
        if (r != kGoOn) {
            return r;
        }
        pData += n;
        nLen -= n;
    }
    return kGoOn;
}

CHttpPartSplitter::Result CHttpPartSplitter::Commit(int nLen) {
    if (m_eState == kBlockBody) {
        m_nBlockLen += nLen;
        if (m_nBlockLen == m_nLength) {
            m_bLargeParts = true;
            Deliver(m_pBlock, m_nLength);
            FreeBlock();
            m_eState = kSeekHead;
        }
        return kGoOn;
    }
    if (m_eState == kSpillBody) {
        return CommitSpill(nLen);
    }
    m_nEnd += nLen;
    return Split();
}

CHttpPartSplitter::Result CHttpPartSplitter::Split() {
    for (;;) {
        bool bMore = false;
        Result r = kGoOn;
        switch (m_eState) {
        case kSeekHead:
            r = SeekHead(&bMore);
            break;
        case kSizedBody:
            r = TakeSized(&bMore);
            break;
        case kOpenBody:
            r = TakeOpen(&bMore);
            break;
        default:
            bMore = true; // the rest goes into the part's block
            break;
        }
        if (r != kGoOn || bMore) {
            return r;
        }
    }
}

CHttpPartSplitter::Result CHttpPartSplitter::SeekHead(bool* pbMore) {
    if (m_nHead < 0) {
        const int nFrom = m_nScan > m_nPos ? m_nScan : m_nPos;
        const char* pDelim = OXR_Memmem(m_aBuf + nFrom, m_aBuf + m_nEnd, m_szBoundary,
                                        static_cast<size_t>(m_nBoundary));
        if (pDelim == nullptr) {
            // What precedes a delimiter (a preamble, the line end after a
            // body) is no part of any part; only the tail could still be the
            // start of one.
            const int nKeep = m_nEnd - (m_nBoundary - 1);
            if (nKeep > m_nPos) {
                m_nPos = nKeep;
            }
            m_nScan = m_nPos;
            *pbMore = true;
            return kGoOn;
        }
        m_nHead = static_cast<int>(pDelim - m_aBuf);
        m_nPos = m_nHead;
        m_nScan = m_nHead + m_nBoundary;
        m_nLine = -1; // the delimiter line has not ended yet
        HttpStartPartHead(&m_cHead);
    }
    if (m_nEnd - m_nHead >= m_nBoundary + 2) {
        m_bClosing = std::memcmp(m_aBuf + m_nHead + m_nBoundary, "--", 2) == 0;
    }
    // The head is read a line at a time as its lines arrive, each looked at
    // once; the first empty one (CR LF or LF alone) ends it.
    for (;;) {
        const char* pNl = static_cast<const char*>(
            std::memchr(m_aBuf + m_nScan, '\n', static_cast<size_t>(m_nEnd - m_nScan)));
        if (pNl == nullptr) {
            if (m_nEnd - m_nHead >= kHttpPartHeadMax) {
                return kFraming; // a part head larger than any camera sends
            }
            m_nScan = m_nEnd;
            *pbMore = true;
            return kGoOn;
        }
        const int nNl = static_cast<int>(pNl - m_aBuf);
        m_nScan = nNl + 1;
        if (m_nLine < 0) {
            m_nLine = nNl + 1; // behind the delimiter line
            continue;
        }
        const char* pLine = m_aBuf + m_nLine;
        const char* pLineEnd = (pNl > pLine && pNl[-1] == '\r') ? pNl - 1 : pNl;
        m_nLine = nNl + 1;
        if (pLineEnd == pLine) {
            break;
        }
        HttpReadPartHeadLine(pLine, pLineEnd, &m_cHead);
    }
    if (m_cHead.bHasType != 0) {
        std::memcpy(m_szType, m_cHead.szType, std::strlen(m_cHead.szType) + 1);
    }
    m_bClosing = false; // a part follows, whatever the delimiter looked like
    m_nBody = m_nScan;
    m_nPos = m_nBody;
    m_nHead = -1;
    if (m_cHead.nLength >= 0) {
        m_nLength = m_cHead.nLength;
        m_eState = kSizedBody;
    } else {
        m_eState = kOpenBody;
    }
    return kGoOn;
}

CHttpPartSplitter::Result CHttpPartSplitter::TakeSized(bool* pbMore) {
    const int nHave = m_nEnd - m_nBody;
    if (m_nLength <= nHave) {
        // Whole in the buffer: delivered straight from it.
        m_bLargeParts = false;
        Deliver(m_aBuf + m_nBody, m_nLength);
        m_nPos = m_nBody + m_nLength;
        m_nScan = m_nPos;
        m_eState = kSeekHead;
        return kGoOn;
    }
    *pbMore = true;
    if (m_nLength < kHttpPartHeadMax) {
        return kGoOn; // small: the rest comes into the buffer behind it
    }
    if (m_nLength > kHttpMaxPartSize) {
        return kFraming;
    }
    // Large: the rest is received straight into the part's own block.
    m_pBlock = new (std::nothrow) char[static_cast<size_t>(m_nLength)];
    if (m_pBlock == nullptr) {
        return kNoMemory;
    }
    std::memcpy(m_pBlock, m_aBuf + m_nBody, static_cast<size_t>(nHave));
    m_nBlockLen = nHave;
    m_nBlockCap = m_nLength;
    m_nPos = m_nEnd;
    m_eState = kBlockBody;
    return kGoOn;
}

CHttpPartSplitter::Result CHttpPartSplitter::TakeOpen(bool* pbMore) {
    // A delimiter that began in bytes searched before is looked for again,
    // also one that ended them (its next byte tells whether it is one).
    const int nBack = m_nScan - m_nBoundary;
    const int nFrom = nBack > m_nBody ? nBack : m_nBody;
    const char* pLine = nullptr;
    const char* pBodyEnd = HttpFindDelimiter(m_aBuf + m_nBody, m_aBuf + nFrom, m_aBuf + m_nEnd,
                                             m_szBoundary, m_nBoundary, &pLine);
    if (pBodyEnd != nullptr) {
        Deliver(m_aBuf + m_nBody, static_cast<int>(pBodyEnd - (m_aBuf + m_nBody)));
        m_nPos = static_cast<int>(pLine - m_aBuf);
        m_nScan = m_nPos;
        m_eState = kSeekHead;
        return kGoOn;
    }
    m_nScan = m_nEnd;
    *pbMore = true;
    const int nHave = m_nEnd - m_nBody;
    if (nHave < kHttpPartHeadMax) {
        return kGoOn;
    }
    m_pBlock = new (std::nothrow) char[static_cast<size_t>(kSpillStart)];
    if (m_pBlock == nullptr) {
        return kNoMemory;
    }
    std::memcpy(m_pBlock, m_aBuf + m_nBody, static_cast<size_t>(nHave));
    m_nBlockLen = nHave;
    m_nBlockCap = kSpillStart;
    m_nScan = nHave; // from here on an index into the block
    m_nPos = m_nEnd;
    m_eState = kSpillBody;
    return kGoOn;
}

CHttpPartSplitter::Result CHttpPartSplitter::CommitSpill(int nLen) {
    const int nBack = m_nScan - m_nBoundary;
    const int nFrom = nBack > 0 ? nBack : 0;
    m_nBlockLen += nLen;
    m_nScan = m_nBlockLen;
    const char* pLine = nullptr;
    const char* pBodyEnd = HttpFindDelimiter(m_pBlock, m_pBlock + nFrom, m_pBlock + m_nBlockLen,
                                             m_szBoundary, m_nBoundary, &pLine);
    if (pBodyEnd != nullptr) {
        Deliver(m_pBlock, static_cast<int>(pBodyEnd - m_pBlock));
        // At most one read and a delimiter line: it fits the buffer.
        const int nRest = static_cast<int>(m_pBlock + m_nBlockLen - pLine);
        std::memcpy(m_aBuf, pLine, static_cast<size_t>(nRest));
        FreeBlock();
        m_nPos = 0;
        m_nEnd = nRest;
        m_nScan = 0;
        m_nHead = -1;
        m_eState = kSeekHead;
        return Split();
    }
    if (m_nBlockCap - m_nBlockLen >= kHttpPartHeadMax) {
        return kGoOn;
    }
    if (m_nBlockCap >= kHttpMaxPartSize) {
        return kFraming;
    }
    const int nCap = m_nBlockCap > kHttpMaxPartSize / 2 ? kHttpMaxPartSize : 2 * m_nBlockCap;
    char* pBigger = new (std::nothrow) char[static_cast<size_t>(nCap)];
    if (pBigger == nullptr) {
        return kNoMemory;
    }
    std::memcpy(pBigger, m_pBlock, static_cast<size_t>(m_nBlockLen));
    delete[] m_pBlock;
    m_pBlock = pBigger;
    m_nBlockCap = nCap;
    return kGoOn;
}
