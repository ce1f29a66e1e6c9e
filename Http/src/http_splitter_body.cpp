// CHttpPartSplitter's bodies: a sized one taken from the buffer or grown in
// its own block as its bytes arrive, a lengthless one up to the delimiter
// that ends it (in a block of its own once it outgrows the buffer).
#include "http_splitter.h"

#include <cstring>
#include <new>

namespace {

// A lengthless body that outgrows the buffer continues in a block of this
// size, doubled as needed; reads into it stay this small, so what follows
// the delimiter always fits back into the buffer.
const int kSpillStart = 4 * kHttpPartHeadMax;
// A sized part's block holds what came plus up to this much, and grows by
// at least this much (or half of what it holds) when full.
const int kBlockStep = 1 << 20;

} // namespace

void CHttpPartSplitter::FreeBlock() {
    delete[] m_pBlock;
    m_pBlock = nullptr;
    m_nBlockLen = 0;
    m_nBlockCap = 0;
}

CHttpPartSplitter::Result CHttpPartSplitter::CommitBlock(int nLen) {
    m_nBlockLen += nLen;
    if (m_nBlockLen == m_nLength) {
        m_bLargeParts = true;
        Deliver(m_pBlock, m_nLength);
        FreeBlock();
        m_eState = kSeekHead;
        return kGoOn;
    }
    if (m_nBlockLen < m_nBlockCap) {
        return kGoOn;
    }
    const int nStep = m_nBlockCap / 2 > kBlockStep ? m_nBlockCap / 2 : kBlockStep;
    const int nCap = m_nLength - m_nBlockCap > nStep ? m_nBlockCap + nStep : m_nLength;
    return ResizeBlock(nCap) ? kGoOn : kNoMemory;
}

bool CHttpPartSplitter::ResizeBlock(int nCap) {
    char* pBlock = new (std::nothrow) char[static_cast<size_t>(nCap)];
    if (pBlock == nullptr) {
        return false;
    }
    if (m_nBlockLen > 0) {
        std::memcpy(pBlock, m_pBlock, static_cast<size_t>(m_nBlockLen));
    }
    delete[] m_pBlock;
    m_pBlock = pBlock;
    m_nBlockCap = nCap;
    return true;
}

CHttpPartSplitter::Result CHttpPartSplitter::TakeSized(bool* pbMore) {
    const int nHave = m_nEnd - m_nBody;
    if (m_nLength <= nHave) {
        // Whole in the buffer: delivered straight from it.
        m_bLargeParts = false;
        Deliver(m_aBuf + m_nBody, m_nLength);
        // Where a sized body ends a line may begin, with or without the
        // line end a delimiter should have before it.
        m_nPos = m_nBody + m_nLength;
        m_nScan = m_nPos;
        m_bLineStart = true;
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
    // Large: the rest is received straight into the part's own block, which
    // holds what came and a step more.
    m_nBlockLen = 0;
    if (!ResizeBlock(m_nLength - nHave > kBlockStep ? nHave + kBlockStep : m_nLength)) {
        return kNoMemory;
    }
    std::memcpy(m_pBlock, m_aBuf + m_nBody, static_cast<size_t>(nHave));
    m_nBlockLen = nHave;
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
                                             m_szBoundary, m_nBoundary, &pLine, m_bCut);
    if (pBodyEnd != nullptr) {
        Deliver(m_aBuf + m_nBody, static_cast<int>(pBodyEnd - (m_aBuf + m_nBody)));
        StartHead(static_cast<int>(pLine - m_aBuf)); // found by the same rule
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
                                             m_szBoundary, m_nBoundary, &pLine, m_bCut);
    if (pBodyEnd != nullptr) {
        Deliver(m_pBlock, static_cast<int>(pBodyEnd - m_pBlock));
        // At most one read and a delimiter line: it fits the buffer.
        const int nRest = static_cast<int>(m_pBlock + m_nBlockLen - pLine);
        std::memcpy(m_aBuf, pLine, static_cast<size_t>(nRest));
        FreeBlock();
        m_nEnd = nRest;
        StartHead(0); // found by the same rule
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
