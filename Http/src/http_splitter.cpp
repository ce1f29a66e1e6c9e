// CHttpPartSplitter: finds each delimiter line and reads the part head
// after it; its body is taken in http_splitter_body.cpp. Parts are consumed
// by moving a read position; the held bytes move to the front of the buffer
// only when its free tail gets too small for the next read.
#include "http_splitter.h"

#include <cstring>
#include <new>

#include "http_line.h"
#include "oxr.h"

namespace {

const int kBufSize = 2 * kHttpPartHeadMax;
// A read for a part head in a stream of large parts: room for a head and a
// little of its body, which then has to be copied into the part's block.
const int kHeadRead = 4096;
// A line that is held longer than this without a delimiter at its start
// cannot hold one any more.
const int kDelimiterLineMax = kHttpMaxDashes + kHttpBoundaryMax + 2;

// Where the last line among [pBegin, pEnd) begins (pBegin when it is the only one).
const char* LastLineStart(const char* pBegin, const char* pEnd) {
    for (const char* p = pEnd; p > pBegin; --p) {
        if (p[-1] == '\n') {
            return p;
        }
    }
    return pBegin;
}

} // namespace

CHttpPartSplitter::CHttpPartSplitter(const char* pszBoundary, HttpPartFn pfnPart, void* pCtx,
                                     bool bCut)
    : m_nBoundary(0), m_bCut(bCut), m_pfnPart(pfnPart), m_pCtx(pCtx), m_eState(kSeekHead),
      m_nPos(0), m_nEnd(0), m_nScan(0), m_bLineStart(true), m_nHead(-1), m_nLine(-1), m_nBody(0),
      m_nLength(0), m_pBlock(nullptr), m_nBlockLen(0), m_nBlockCap(0), m_bLargeParts(false) {
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
        *pnRoom = m_nBlockCap - m_nBlockLen;
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
        return CommitBlock(nLen);
    }
    if (m_eState == kSpillBody) {
        return CommitSpill(nLen);
    }
    if (m_eState == kEpilogue) {
        // What follows the closing delimiter belongs to no part.
        m_nPos = m_nEnd = m_nScan = 0;
        return kGoOn;
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

bool CHttpPartSplitter::SeekDelimiter() {
    if (!m_bLineStart) {
        // The held bytes begin inside a line that holds no delimiter.
        const char* pNl = static_cast<const char*>(
            std::memchr(m_aBuf + m_nPos, '\n', static_cast<size_t>(m_nEnd - m_nPos)));
        if (pNl == nullptr) {
            m_nPos = m_nScan = m_nEnd;
            return false;
        }
        m_nPos = static_cast<int>(pNl + 1 - m_aBuf);
        m_bLineStart = true;
    }
    // The same rule as for the end of a lengthless body: a line of dashes and
    // the boundary, and then "--", blanks or the line end. An occurrence
    // that ended the bytes held before is tried again (its next byte tells).
    const int nBack = m_nScan - m_nBoundary;
    const int nFrom = nBack > m_nPos ? nBack : m_nPos;
    const char* pLine = nullptr;
    if (HttpFindDelimiter(m_aBuf + m_nPos, m_aBuf + nFrom, m_aBuf + m_nEnd, m_szBoundary,
                          m_nBoundary, &pLine, m_bCut) == nullptr) {
        // A preamble, stray text, the line end after a body: no part of
        // any part. Only the last line could still begin a delimiter.
        m_nScan = m_nEnd;
        const char* pLast = LastLineStart(m_aBuf + m_nPos, m_aBuf + m_nEnd);
        if (m_aBuf + m_nEnd - pLast > kDelimiterLineMax) {
            m_nPos = m_nEnd;
            m_bLineStart = false;
        } else {
            m_nPos = static_cast<int>(pLast - m_aBuf);
        }
        return false;
    }
    StartHead(static_cast<int>(pLine - m_aBuf));
    return true;
}

void CHttpPartSplitter::StartHead(int nLine) {
    m_nHead = nLine;
    m_nPos = m_nScan = m_nHead;
    m_bLineStart = true;
    m_nLine = -1; // the delimiter line has not ended yet
    m_eState = kSeekHead;
    HttpStartPartHead(&m_cHead);
}

int CHttpPartSplitter::IsClosing(int nLineEnd) const {
    const char* pBoundary = OXR_Memmem(m_aBuf + m_nHead, m_aBuf + m_nEnd, m_szBoundary,
                                       static_cast<size_t>(m_nBoundary));
    if (pBoundary == nullptr) {
        return 0;
    }
    const char* pAfter = pBoundary + m_nBoundary;
    if (!m_bCut) {
        // "--" right after the boundary.
        if (m_aBuf + m_nEnd - pAfter < 2) {
            return -1;
        }
        return std::memcmp(pAfter, "--", 2) == 0 ? 1 : 0;
    }
    // Of a boundary that was cut only the line tells: it ends in "--".
    if (nLineEnd < 0) {
        return 0; // the line is read on as a delimiter line
    }
    const char* pEnd = HttpLineEnd(pAfter, m_aBuf + nLineEnd);
    while (pEnd > pAfter && (pEnd[-1] == ' ' || pEnd[-1] == '\t')) {
        --pEnd;
    }
    return pEnd - pAfter >= 2 && std::memcmp(pEnd - 2, "--", 2) == 0 ? 1 : 0;
}

CHttpPartSplitter::Result CHttpPartSplitter::SeekHead(bool* pbMore) {
    if (m_nHead < 0 && !SeekDelimiter()) {
        *pbMore = true;
        return kGoOn;
    }
    if (m_nLine < 0 && !m_bCut) {
        // A whole boundary: the two bytes after it tell, before its line ends.
        const int nClosing = IsClosing(-1);
        if (nClosing != 0) {
            *pbMore = true;
            if (nClosing > 0) {
                m_eState = kEpilogue;
                m_nPos = m_nEnd = m_nScan = 0;
            }
            return kGoOn;
        }
    }
    // The head is read a line at a time as its lines arrive, each looked at
    // once; the first empty one (CR LF or LF alone) ends it.
    for (;;) {
        const char* pNl = static_cast<const char*>(
            std::memchr(m_aBuf + m_nScan, '\n', static_cast<size_t>(m_nEnd - m_nScan)));
        if (pNl == nullptr) {
            m_nScan = m_nEnd;
            *pbMore = true;
            return m_nEnd - m_nHead > kHttpPartHeadMax ? kFraming : kGoOn;
        }
        const int nNl = static_cast<int>(pNl - m_aBuf);
        m_nScan = nNl + 1;
        if (m_nScan - m_nHead > kHttpPartHeadMax) {
            return kFraming; // a part head larger than any camera sends
        }
        if (m_nLine < 0) {
            // Of a cut boundary only the line's end tells.
            if (m_bCut && IsClosing(nNl) > 0) {
                m_eState = kEpilogue;
                m_nPos = m_nEnd = m_nScan = 0;
                *pbMore = true;
                return kGoOn;
            }
            m_nLine = nNl + 1; // behind the delimiter line
            continue;
        }
        const char* pLine = m_aBuf + m_nLine;
        const char* pLineEnd = HttpLineEnd(pLine, pNl);
        m_nLine = nNl + 1;
        if (pLineEnd == pLine) {
            break;
        }
        HttpReadPartHeadLine(pLine, pLineEnd, &m_cHead);
    }
    if (m_cHead.bHasType != 0) {
        std::memcpy(m_szType, m_cHead.szType, std::strlen(m_cHead.szType) + 1);
    }
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
