// The byte-level pieces of multipart splitting: the boundary parameter, the
// head of one part, and the delimiter that ends a body of unknown length.
#include "http_part.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "http_line.h"
#include "oxr.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// N bytes as one word, for comparing several at a time.
template <typename T> T Word(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// Whether the bytes at p are the lower-case text at pszLower in any case: a
// letter differs from its capital only in 0x20, so OR-ing that into the
// letters' places (pszFold) folds them; every other byte must match exactly.
template <typename T> bool SameNoCase(const char* p, const char* pszLower, const char* pszFold) {
    return (Word<T>(p) | Word<T>(pszFold)) == Word<T>(pszLower);
}

enum HeadName { kOtherName, kLengthName, kTypeName };

// The two names a part head is read for, told apart after their common
// "Content-" (any case); *ppAfter is set behind the name.
HeadName NameOf(const char* p, const char* pEnd, const char** ppAfter) {
    const size_t n = static_cast<size_t>(pEnd - p);
    // "\x20" in each letter's place, 0 under the dash
    if (n < 12 || !SameNoCase<uint64_t>(p, "content-", "\x20\x20\x20\x20\x20\x20\x20")) {
        return kOtherName;
    }
    if (n >= 14 && SameNoCase<uint32_t>(p + 8, "leng", "\x20\x20\x20\x20") &&
        SameNoCase<uint16_t>(p + 12, "th", "\x20\x20")) {
        *ppAfter = p + 14;
        return kLengthName;
    }
    if (SameNoCase<uint32_t>(p + 8, "type", "\x20\x20\x20\x20")) {
        *ppAfter = p + 12;
        return kTypeName;
    }
    return kOtherName;
}

// After a name: optional blanks and a colon, then the value after blanks;
// NULL without the colon.
const char* ValueAfter(const char* p, const char* pEnd) {
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

const char* LineEnd(const char* p, const char* pEnd) {
    return p < pEnd ? static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(pEnd - p)))
                    : nullptr;
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

int HttpGetBoundary(const char* pszValue, char* pszOut, bool* pbCut) {
    if (pbCut != nullptr) {
        *pbCut = false;
    }
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
        // Longer than any boundary may be (70): its beginning still finds
        // every delimiter, when whatever follows it is let pass.
        n = kHttpBoundaryMax;
        if (pbCut != nullptr) {
            *pbCut = true;
        }
    }
    std::memcpy(pszOut, p, static_cast<size_t>(n));
    return n;
}

void HttpStartPartHead(HttpPartHead* pHead) {
    pHead->nLength = -1;
    pHead->bHasType = 0;
    pHead->bHasLength = 0;
    pHead->szType[0] = '\0';
}

void HttpReadPartHeadLine(const char* p, const char* pLineEnd, HttpPartHead* pHead) {
    while (p < pLineEnd && IsBlank(*p)) {
        ++p;
    }
    const char* pAfter = nullptr;
    const HeadName eName = NameOf(p, pLineEnd, &pAfter);
    const char* pValue = eName != kOtherName ? ValueAfter(pAfter, pLineEnd) : nullptr;
    if (pValue != nullptr && eName == kLengthName && pHead->bHasLength == 0) {
        pHead->nLength = CountOf(pValue, pLineEnd);
        pHead->bHasLength = 1;
    } else if (pValue != nullptr && eName == kTypeName && pHead->bHasType == 0) {
        size_t n = static_cast<size_t>(pLineEnd - pValue);
        if (n > static_cast<size_t>(kHttpPartTypeMax)) {
            n = kHttpPartTypeMax;
        }
        std::memcpy(pHead->szType, pValue, n);
        pHead->szType[n] = '\0';
        pHead->bHasType = 1;
    }
}

void HttpParsePartHead(const char* pBegin, const char* pEnd, HttpPartHead* pHead) {
    HttpStartPartHead(pHead);
    // The first line is the delimiter.
    const char* p = LineEnd(pBegin, pEnd);
    while (p != nullptr && ++p < pEnd) {
        const char* pNext = LineEnd(p, pEnd);
        HttpReadPartHeadLine(p, HttpLineEnd(p, pNext != nullptr ? pNext : pEnd), pHead);
        p = pNext;
    }
}

const char* HttpFindDelimiter(const char* pBody, const char* pFrom, const char* pEnd,
                              const char* pBoundary, int nBoundaryLen, const char** ppLine,
                              bool bPrefix) {
    int nLead = 0;
    while (nLead < nBoundaryLen && pBoundary[nLead] == '-') {
        ++nLead;
    }
    const char* p = pFrom < pBody ? pBody : pFrom;
    while ((p = OXR_Memmem(p, pEnd, pBoundary, static_cast<size_t>(nBoundaryLen))) != nullptr) {
        const char* pLine = p;
        while (pLine > pBody && p - pLine < kHttpMaxDashes && pLine[-1] == '-') {
            --pLine;
        }
        bool bLineStart = pLine == pBody || pLine[-1] == '\n';
        if (!bPrefix && bLineStart && (p - pLine) + nLead >= 2 && p + nBoundaryLen >= pEnd) {
            return nullptr; // what follows the boundary is not here yet
        }
        // "--" (the closing delimiter), blanks or the line end follow a
        // delimiter; "--frame2" is no delimiter of "frame".
        const char cNext = bLineStart && p + nBoundaryLen < pEnd ? p[nBoundaryLen] : 'x';
        const bool bDelimEnd = bPrefix || cNext == '-' || cNext == ' ' || cNext == '\t' ||
                               cNext == '\r' || cNext == '\n';
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
