// CHttpSession's URL parser: splits the URL once into the session's fixed
// URL fields. Not a general URL parser: the scheme is found by a plain
// substring search and each piece starts at the first occurrence of its
// delimiter anywhere after the scheme (docs/internals.md, kept behaviour 4).
#include <climits>
#include <cstdlib>
#include <cstring>

#include "http_log.h"
#include "http_session.h"
#include "oxr.h"

namespace {

bool IsMark(char c, const char* pszMarks) {
    for (const char* m = pszMarks; *m != '\0'; ++m) {
        if (*m == c) {
            return true;
        }
    }
    return false;
}

// The request URI goes into the request line unchanged: a control character
// or a blank there would let a caller end the line early or add lines.
bool IsUnsafeInUrl(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
}

// Copies a constant text into a field that is known at compile time to hold it.
template <size_t N, size_t M> void SetField(char (&szDst)[N], const char (&szSrc)[M]) {
    static_assert(M <= N, "the text does not fit the field");
    std::memcpy(szDst, szSrc, M);
}

const int kPortTextSize = 8; // 7 characters and the zero
const uint16_t kDefaultPort = 80;
const uint16_t kDefaultTlsPort = 443; // https:// is spoken over TLS

} // namespace

int CHttpSession::ParseUrl(const char* pszUrl) {
    if (pszUrl == nullptr) {
        HTTP_LOG(kLogFailure, "CHttpSession ParseUrl Return -1, IN Param is NULL\n");
        return -1;
    }
    char szPort[kPortTextSize] = {0};

    SetField(m_szScheme, "http://");
    const char* pszRest = pszUrl;
    const char* pFound = OXR_Strstr(pszUrl, "http://");
    if (pFound != nullptr) {
        pszRest = pFound + 7;
    } else if ((pFound = OXR_Strstr(pszUrl, "https://")) != nullptr) {
        pszRest = pFound + 8;
        SetField(m_szScheme, "https://");
    }

    size_t nRest = std::strlen(pszRest);
    for (size_t i = 0; i < nRest; ++i) {
        if (IsUnsafeInUrl(pszRest[i])) {
            HTTP_LOG(kLogFailure, "CHttpSession ParseUrl Return -1, ParseByMark Error\n");
            return -1;
        }
    }
    // Every field is far smaller; this only keeps the lengths below in an int.
    if (nRest > static_cast<size_t>(INT_MAX)) {
        HTTP_LOG(kLogFailure, "CHttpSession ParseUrl Return -1, URL too long\n");
        return -1;
    }
    const char* pSlash = std::strchr(pszRest, '/');
    const char* pSemicolon = std::strchr(pszRest, ';');
    const char* pQuestion = std::strchr(pszRest, '?');
    const char* pHash = std::strchr(pszRest, '#');

    m_wPort = IsHttps() ? kDefaultTlsPort : kDefaultPort;
    if (ParseByMark(pszRest, static_cast<int>(nRest), ";/?#", m_szHost, sizeof(m_szHost), szPort,
                    sizeof(szPort)) != 0) {
        HTTP_LOG(kLogFailure, "CHttpSession ParseUrl Return -1, ParseByMark Error\n");
        return -1;
    }
    if (szPort[0] != '\0') {
        // As atoi reads it, kept modulo 65536: "abc" is port 0.
        m_wPort = static_cast<uint16_t>(std::atoi(szPort));
    }

    if (pSlash != nullptr) {
        size_t nUri = std::strlen(pSlash);
        if (nUri >= sizeof(m_szRequestUri)) {
            HTTP_LOG(kLogFailure, "CHttpSession ParseUrl Return -1, Request URI too long\n");
            return -1;
        }
        std::memcpy(m_szRequestUri, pSlash, nUri + 1);
        if (ParseByMark(pSlash, static_cast<int>(nUri), ";?#", m_szPath, sizeof(m_szPath), nullptr,
                        0) != 0) {
            HTTP_LOG(kLogFailure, "CHttpSession ParseUrl Return -1, ParseByMark Error\n");
            return -1;
        }
    } else {
        SetField(m_szRequestUri, "/");
    }

    struct Piece {
        const char* pDelimiter;
        const char* pszMarks;
        char* pszDst;
        int nDstSize;
    };
    const Piece pieces[] = {
        {pSemicolon, "?#", m_szParams, static_cast<int>(sizeof(m_szParams))},
        {pQuestion, "#", m_szQuery, static_cast<int>(sizeof(m_szQuery))},
        {pHash, "", m_szFragment, static_cast<int>(sizeof(m_szFragment))},
    };
    for (const Piece& piece : pieces) {
        if (piece.pDelimiter == nullptr) {
            continue;
        }
        const char* pszFrom = piece.pDelimiter + 1;
        if (ParseByMark(pszFrom, static_cast<int>(std::strlen(pszFrom)), piece.pszMarks,
                        piece.pszDst, piece.nDstSize, nullptr, 0) != 0) {
            HTTP_LOG(kLogFailure, "CHttpSession ParseUrl Return -1, ParseByMark Error\n");
            return -1;
        }
    }
    return 0;
}

int CHttpSession::ParseByMark(const char* pszSrc, int nLen, const char* pszMarks, char* pszDst,
                              int nDstSize, char* pszPortDst, int nPortSize) {
    if (pszSrc == nullptr || pszMarks == nullptr || pszDst == nullptr || nLen <= 0 ||
        nDstSize <= 0 || (pszPortDst != nullptr && nPortSize <= 0)) {
        HTTP_LOG(kLogFailure, "CHttpSession ParseByMark Return -1, IN Param Error\n");
        return -1;
    }
    // Stage one ends at a colon or a mark; the colon test comes first, so a
    // piece without a port buffer ends at its first colon.
    int nPiece = 0;
    if (pszPortDst != nullptr && pszSrc[0] == '[') {
        // A bracketed IPv6 literal is one host, colons and all; only a colon
        // behind its "]" starts the port.
        const void* pClose = std::memchr(pszSrc, ']', static_cast<size_t>(nLen));
        if (pClose == nullptr) {
            HTTP_LOG(kLogFailure, "CHttpSession ParseByMark Return -1, bad bracketed host\n");
            return -1;
        }
        nPiece = static_cast<int>(static_cast<const char*>(pClose) - pszSrc) + 1;
        bool bMarkInside = false;
        for (int i = 0; i < nPiece; ++i) {
            bMarkInside = bMarkInside || IsMark(pszSrc[i], pszMarks);
        }
        if (bMarkInside ||
            (nPiece < nLen && pszSrc[nPiece] != ':' && !IsMark(pszSrc[nPiece], pszMarks))) {
            HTTP_LOG(kLogFailure, "CHttpSession ParseByMark Return -1, bad bracketed host\n");
            return -1;
        }
    } else {
        while (nPiece < nLen && pszSrc[nPiece] != ':' && !IsMark(pszSrc[nPiece], pszMarks)) {
            ++nPiece;
        }
    }
    // Pieces are refused, never cut: a shortened host or path would send the
    // request somewhere the caller did not ask for.
    if (nPiece >= nDstSize) {
        HTTP_LOG(kLogFailure, "CHttpSession ParseByMark Return -1, piece too long\n");
        return -1;
    }
    std::memcpy(pszDst, pszSrc, static_cast<size_t>(nPiece));
    pszDst[nPiece] = '\0';

    if (pszPortDst != nullptr && nPiece < nLen && pszSrc[nPiece] == ':') {
        // A colon here is an ordinary character: "80:90" is read as 80.
        int nFrom = nPiece + 1;
        int nPort = 0;
        while (nFrom + nPort < nLen && !IsMark(pszSrc[nFrom + nPort], pszMarks)) {
            ++nPort;
        }
        if (nPort >= nPortSize) {
            HTTP_LOG(kLogFailure, "CHttpSession ParseByMark Return -1, piece too long\n");
            return -1;
        }
        std::memcpy(pszPortDst, pszSrc + nFrom, static_cast<size_t>(nPort));
        pszPortDst[nPort] = '\0';
    }
    return 0;
}
