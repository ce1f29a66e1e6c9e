// The byte-level pieces of multipart splitting: the boundary parameter, the
// head of one part, and the delimiter that ends a body of unknown length.
#include "http_part.h"

#include <climits>
#include <cstring>

#include "oxr.h"

namespace {

// Dashes looked at before a boundary when telling a delimiter line.
const int kMaxDashes = 64;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// When [p, pEnd) starts with pszName (any case), optional blanks and a
// colon: the value after blanks, else NULL.
const char* ValueOf(const char* p, const char* pEnd, const char* pszName) {
    const size_t nName = std::strlen(pszName);
    if (static_cast<size_t>(pEnd - p) < nName ||
        OXR_Memcasemem(p, p + nName, pszName, nName) != p) {
        return nullptr;
    }
    p += nName;
    while (p < pEnd && IsBlank(*p)) {
        ++p;
    }
    if (p == pEnd || *p != ':') {
        return nullptr;
    }
    ++p;
    while (p < pEnd && IsBlank(*p)) {
        ++p;
    }
    return p;
}

// A decimal count as atoi would read it, or -1 when it is none: no digits,
// a minus sign, or more than an int holds.
int CountOf(const char* p, const char* pEnd) {
    while (p < pEnd && IsBlank(*p)) {
        ++p;
    }
    if (p < pEnd && *p == '+') {
        ++p;
    }
    long long n = -1;
    while (p < pEnd && *p >= '0' && *p <= '9') {
        n = (n < 0 ? 0 : n * 10) + (*p - '0');
        if (n > INT_MAX) {
            return -1;
        }
        ++p;
    }
    return static_cast<int>(n);
}

} // namespace

int HttpGetBoundary(const char* pszValue, char* pszOut) {
    std::memset(pszOut, 0, kHttpBoundaryMax + 1);
    static const char kName[] = "boundary";
    const char* pEnd = pszValue + std::strlen(pszValue);
    const char* p = pszValue;
    // The first "boundary" that is a parameter name of its own and has an "=".
    while ((p = OXR_Memmem(p, pEnd, kName, sizeof(kName) - 1)) != nullptr) {
        bool bOwnName = p == pszValue || p[-1] == ';' || IsBlank(p[-1]);
        p += sizeof(kName) - 1;
        const char* q = p;
        while (q < pEnd && IsBlank(*q)) {
            ++q;
        }
        if (bOwnName && q < pEnd && *q == '=') {
            p = q + 1;
            break;
        }
    }
    if (p == nullptr) {
        return 0;
    }
    while (p < pEnd && IsBlank(*p)) {
        ++p;
    }
    const char* pStop;
    if (p < pEnd && *p == '"') {
        ++p;
        pStop = OXR_Memmem(p, pEnd, "\"", 1);
        if (pStop == nullptr) {
            pStop = pEnd;
        }
    } else {
        pStop = p;
        while (pStop < pEnd && *pStop != ';' && !IsBlank(*pStop)) {
            ++pStop;
        }
    }
    int n = static_cast<int>(pStop - p);
    if (n > kHttpBoundaryMax) {
        n = kHttpBoundaryMax; // its first 71 characters still find every delimiter
    }
    std::memcpy(pszOut, p, static_cast<size_t>(n));
    return n;
}

void HttpParsePartHead(const char* pBegin, const char* pEnd, HttpPartHead* pHead) {
    pHead->nLength = -1;
    pHead->bHasType = 0;
    std::memset(pHead->szType, 0, sizeof(pHead->szType));
    bool bLength = false;
    // The first line is the delimiter.
    const char* p = OXR_Memmem(pBegin, pEnd, "\n", 1);
    while (p != nullptr && ++p < pEnd) {
        const char* pNext = OXR_Memmem(p, pEnd, "\n", 1);
        const char* pLineEnd = pNext != nullptr ? pNext : pEnd;
        if (pLineEnd > p && pLineEnd[-1] == '\r') {
            --pLineEnd;
        }
        while (p < pLineEnd && IsBlank(*p)) {
            ++p;
        }
        const char* pValue = nullptr;
        if (!bLength && (pValue = ValueOf(p, pLineEnd, "Content-Length")) != nullptr) {
            pHead->nLength = CountOf(pValue, pLineEnd);
            bLength = true;
        } else if (pHead->bHasType == 0 &&
                   (pValue = ValueOf(p, pLineEnd, "Content-Type")) != nullptr) {
            size_t n = static_cast<size_t>(pLineEnd - pValue);
            if (n > static_cast<size_t>(kHttpPartTypeMax)) {
                n = kHttpPartTypeMax;
            }
            std::memcpy(pHead->szType, pValue, n);
            pHead->bHasType = 1;
        }
        p = pNext;
    }
}

const char* HttpFindDelimiter(const char* pBody, const char* pFrom, const char* pEnd,
                              const char* pBoundary, int nBoundaryLen, const char** ppLine) {
    int nLead = 0;
    while (nLead < nBoundaryLen && pBoundary[nLead] == '-') {
        ++nLead;
    }
    const char* p = pFrom < pBody ? pBody : pFrom;
    while ((p = OXR_Memmem(p, pEnd, pBoundary, static_cast<size_t>(nBoundaryLen))) != nullptr) {
        const char* pLine = p;
        while (pLine > pBody && p - pLine < kMaxDashes && pLine[-1] == '-') {
            --pLine;
        }
        bool bLineStart = pLine == pBody || pLine[-1] == '\n';
        if (bLineStart && (p - pLine) + nLead >= 2 && p + nBoundaryLen >= pEnd) {
            return nullptr; // what follows the boundary is not here yet
        }
        // "--" (the closing delimiter), blanks or the line end follow a
        // delimiter; "--frame2" is no delimiter of "frame".
        const char cNext = bLineStart ? p[nBoundaryLen] : 'x';
        const bool bDelimEnd =
            cNext == '-' || cNext == ' ' || cNext == '\t' || cNext == '\r' || cNext == '\n';
        if (bLineStart && bDelimEnd && (p - pLine) + nLead >= 2) {
            const char* pBodyEnd = pLine;
            if (pBodyEnd > pBody && pBodyEnd[-1] == '\n') {
                --pBodyEnd;
                if (pBodyEnd > pBody && pBodyEnd[-1] == '\r') {
                    --pBodyEnd;
                }
            }
            *ppLine = pLine;
            return pBodyEnd;
        }
        ++p;
    }
    return nullptr;
}
