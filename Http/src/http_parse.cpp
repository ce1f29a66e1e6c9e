// CHttpParser: construction, the two header lists, and the response head
// parser. The request formatter is in http_format.cpp.
#include "http_parse.h"

#include <cstring>
#include <new>

#include "http_line.h"
#include "http_log.h"
#include "http_text.h"
#include "oxr.h"
#include "oxr_http.h"

namespace {

// A heap copy of n bytes plus a terminating zero, or NULL when out of memory.
char* CopyText(const char* p, size_t n) {
    char* pCopy = new (std::nothrow) char[n + 1];
    if (pCopy != nullptr) {
        if (n > 0) {
            std::memcpy(pCopy, p, n);
        }
        pCopy[n] = '\0';
    }
    return pCopy;
}

// A value may be an Authorization text: wiped before it goes.
void FreeValue(char* pszValue) {
    if (pszValue != nullptr) {
        HttpWipe(pszValue, std::strlen(pszValue));
    }
    delete[] pszValue;
}

void FreeRecord(HttpHeader* pRecord) {
    delete[] pRecord->pszName;
    FreeValue(pRecord->pszValue);
    delete pRecord;
}

// A record owning copies of both texts; NULL (nothing left allocated) when
// any of its three blocks cannot be had, or when the list cannot take it.
HttpHeader* AppendRecord(HttpHeaderList& lst, const char* pName, size_t nName, const char* pValue,
                         size_t nValue) {
    HttpHeader* pRecord = new (std::nothrow) HttpHeader;
    if (pRecord == nullptr) {
        return nullptr;
    }
    pRecord->pszName = CopyText(pName, nName);
    pRecord->pszValue = pRecord->pszName != nullptr ? CopyText(pValue, nValue) : nullptr;
    if (pRecord->pszValue == nullptr) {
        FreeRecord(pRecord);
        return nullptr;
    }
    // The list node is the one allocation that reports failure by throwing.
    try {
        lst.push_back(pRecord);
    } catch (const std::bad_alloc&) {
        FreeRecord(pRecord);
        return nullptr;
    }
    return pRecord;
}

// A CR or LF in a request header would end the line early and let the
// caller's text smuggle in header lines of its own.
bool HasLineBreak(const char* psz) {
    return std::strpbrk(psz, "\r\n") != nullptr;
}

// A header name is a token (RFC 9110 section 5.6.2): an empty name, a colon,
// a blank or a control character would move where the device sees the name
// end, or give it a line it cannot read.
bool IsToken(const char* psz) {
    if (*psz == '\0') {
        return false;
    }
    for (; *psz != '\0'; ++psz) {
        const unsigned char u = static_cast<unsigned char>(*psz);
        if (u <= 0x20 || u >= 0x7f || std::strchr("\"(),/:;<=>?@[\\]{}", *psz) != nullptr) {
            return false;
        }
    }
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

const size_t kVersionMax = 31; // m_szVersion holds 31 characters and the zero
const size_t kReasonMax = 255; // m_szReason likewise; longer phrases are cut

} // namespace

CHttpParser::CHttpParser()
    : m_pHead(nullptr), m_nHeadLen(0), m_pMsg(nullptr), m_nMsgSize(0), m_pCursor(nullptr),
      m_pFields(nullptr), m_nStatusCode(0), m_szVersion(), m_szReason(), m_nMethod(-1), m_nOmit(0),
      m_szUri(), m_szHost() {}

CHttpParser::~CHttpParser() {
    delete[] m_pHead;
    if (m_pMsg != nullptr) {
        HttpWipe(m_pMsg, static_cast<size_t>(m_nMsgSize)); // it held the request's credentials
    }
    delete[] m_pMsg;
    ClearHeaders(m_lstResponseHeaders);
    ClearHeaders(m_lstRequestHeaders);
}

// ---------------------------------------------------------------- header lists

int CHttpParser::AddHeader(const char* pszName, const char* pszValue) {
    if (pszName == nullptr || pszValue == nullptr || !IsToken(pszName) || HasLineBreak(pszValue)) {
        HTTP_LOG(kLogFailure, "AddHeader Return -1, IN Param is Invalid\n");
        return HTTP_ERR_BAD_PARAM;
    }
    size_t nName = std::strlen(pszName);
    size_t nValue = std::strlen(pszValue);
    // A line that could never be sent is refused now, not by every later
    // request of the session.
    if (nName + nValue + 4 > kHttpRequestHeadMax - FixedHeadLength()) {
        HTTP_LOG(kLogFailure, "AddHeader Return -1, header larger than a request head\n");
        return HTTP_ERR_BAD_PARAM;
    }

    HttpHeader* pFound = FindHeader(pszName, m_lstRequestHeaders);
    if (pFound != nullptr) {
        // The new value is allocated before the old one goes, so a failure
        // leaves the record exactly as it was.
        char* pszNew = CopyText(pszValue, nValue);
        if (pszNew == nullptr) {
            HTTP_LOG(kLogNoMemory, "AddHeader Return -1, operation new Error\n");
            return HTTP_ERR_NO_MEMORY;
        }
        FreeValue(pFound->pszValue);
        pFound->pszValue = pszNew;
        return 0;
    }
    if (AppendRecord(m_lstRequestHeaders, pszName, nName, pszValue, nValue) == nullptr) {
        HTTP_LOG(kLogNoMemory, "AddHeader Return -1, operation new Error\n");
        return HTTP_ERR_NO_MEMORY;
    }
    return 0;
}

int CHttpParser::RemoveHeader(const char* pszName) {
    HttpHeader* pFound = FindHeader(pszName, m_lstRequestHeaders);
    if (pFound != nullptr) {
        m_lstRequestHeaders.remove(pFound);
        FreeRecord(pFound);
    }
    return 0;
}

HttpHeader* CHttpParser::FindHeader(const char* pszName, HttpHeaderList& lst, bool bQuiet) {
    if (pszName != nullptr) {
        for (HttpHeader* pRecord : lst) {
            if (OXR_Strcasecmp(pRecord->pszName, pszName) == 0) {
                return pRecord;
            }
        }
    }
    if (!bQuiet) {
        HTTP_LOG(kLogFailure, "FindHeader Return NULL, cannot find header\n");
    }
    return nullptr;
}

const char* CHttpParser::GetResponseHeader(const char* pszName, bool bQuiet) {
    HttpHeader* pFound = FindHeader(pszName, m_lstResponseHeaders, bQuiet);
    return pFound != nullptr ? pFound->pszValue : nullptr;
}

int CHttpParser::ForEachResponseHeader(const char* pszName,
                                       bool (*pfn)(void* pCtx, const char* pszValue), void* pCtx) {
    int nFound = 0;
    for (const HttpHeader* pRecord : m_lstResponseHeaders) {
        if (OXR_Strcasecmp(pRecord->pszName, pszName) == 0) {
            ++nFound;
            if (!pfn(pCtx, pRecord->pszValue)) {
                break;
            }
        }
    }
    return nFound;
}

void CHttpParser::ClearResponseHeaders() {
    ClearHeaders(m_lstResponseHeaders);
}

void CHttpParser::ClearHeaders(HttpHeaderList& lst) {
    for (HttpHeader* pRecord : lst) {
        FreeRecord(pRecord);
    }
    lst.clear();
}

// Part of the codec's interface for callers that reuse one codec for
// several exchanges; the library itself keeps headers for a session's life.
void CHttpParser::ClearRequestHeaders() {
    ClearHeaders(m_lstRequestHeaders);
}

// ---------------------------------------------------------------- response parser

int CHttpParser::ParseMsg(const char* pHead, int nHeadLen) {
    // Each response replaces the fields of the one before, so a lookup never
    // answers with a header an earlier response carried.
    ClearHeaders(m_lstResponseHeaders);
    delete[] m_pHead;
    m_pHead = nullptr;
    m_nHeadLen = 0;
    m_pCursor = nullptr;
    m_pFields = nullptr;
    m_nStatusCode = 0;

    if (pHead == nullptr || nHeadLen < 0) {
        nHeadLen = 0; // parsed as an empty head: the version error below
    }
    // Exactly the given length and no terminator: every scan stops at
    // m_nHeadLen, and an overrun would show as a heap error, not as a zero.
    char* pCopy = new (std::nothrow) char[static_cast<size_t>(nHeadLen)];
    if (pCopy == nullptr) {
        HTTP_LOG(kLogNoMemory, "ParseMsg Return -1, operation new Error\n");
        return HTTP_ERR_NO_MEMORY;
    }
    if (nHeadLen > 0) {
        std::memcpy(pCopy, pHead, static_cast<size_t>(nHeadLen));
    }
    m_pHead = pCopy;
    m_nHeadLen = nHeadLen;

    int nResult = ParseStartLine();
    if (nResult != 0) {
        return nResult;
    }
    return ParseHeaders();
}

int CHttpParser::ParseStartLine() {
    char* pEnd = m_pHead + m_nHeadLen;
    char* pStart = SkipSpaces(m_pHead);

    // The searches run past the first line on purpose: a status line without
    // a second blank takes its reason from a later line.
    char* pBlank1 = const_cast<char*>(OXR_Memmem(pStart, pEnd, " ", 1));
    if (pBlank1 == nullptr || static_cast<size_t>(pBlank1 - pStart) > kVersionMax) {
        HTTP_LOG(kLogFailure, "ParseStartLine Return -1, parse http version error\n");
        return HTTP_ERR_STATUS;
    }
    std::memcpy(m_szVersion, pStart, static_cast<size_t>(pBlank1 - pStart));
    m_szVersion[pBlank1 - pStart] = '\0';

    char* pCode = pBlank1 + 1;
    char* pBlank2 = const_cast<char*>(OXR_Memmem(pCode, pEnd, " ", 1));
    if (pBlank2 == nullptr) {
        HTTP_LOG(kLogFailure, "ParseStartLine Return -1, parse status code error\n");
        return HTTP_ERR_STATUS;
    }
    // A status is exactly three digits, then a blank or the end of the line
    // (RFC 9112 section 4): "-1", "+20", "2AB" or "2000" would otherwise be
    // read as some other number, and a negative one as an unknown handle.
    const size_t nLeft = static_cast<size_t>(pEnd - pCode);
    if (nLeft < 3 || !IsDigit(pCode[0]) || !IsDigit(pCode[1]) || !IsDigit(pCode[2]) ||
        (nLeft > 3 && pCode[3] != ' ' && pCode[3] != '\r' && pCode[3] != '\n')) {
        HTTP_LOG(kLogFailure, "ParseStartLine Return -1, parse status code error\n");
        return HTTP_ERR_STATUS;
    }
    m_nStatusCode = (pCode[0] - '0') * 100 + (pCode[1] - '0') * 10 + (pCode[2] - '0');

    // The reason phrase ends with its line, in CR LF or LF alone. It is read
    // for a refused status too, so the caller can tell why.
    char* pReason = pBlank2 + 1;
    char* pLineEnd = FindLineEnd(pReason);
    if (pLineEnd == nullptr) {
        m_pCursor = pEnd;
    } else {
        m_pCursor = pLineEnd + 1;
        if (pLineEnd > pReason && pLineEnd[-1] == '\r') {
            --pLineEnd;
        }
        size_t nReason = static_cast<size_t>(pLineEnd - pReason);
        if (nReason > kReasonMax) {
            nReason = kReasonMax;
        }
        std::memcpy(m_szReason, pReason, nReason);
        m_szReason[nReason] = '\0';
    }
    m_pFields = m_pCursor;
    // Client and server errors are refused.
    if (m_nStatusCode >= 400) {
        return -1;
    }
    return 0;
}

int CHttpParser::ParseHeaders() {
    // Read anew from the first field line, however often it is called.
    ClearHeaders(m_lstResponseHeaders);
    m_pCursor = m_pFields;
    char* pEnd = m_pHead + m_nHeadLen;
    // A head without header lines has its empty line right here; skipping
    // white space first would run through it and into whatever follows.
    if (m_pCursor != nullptr && m_pCursor < pEnd &&
        (m_pCursor[0] == '\n' ||
         (pEnd - m_pCursor >= 2 && m_pCursor[0] == '\r' && m_pCursor[1] == '\n'))) {
        m_pCursor += m_pCursor[0] == '\n' ? 1 : 2;
        return 0;
    }
    char* p = SkipSpaces(m_pCursor);
    // Every pass moves p behind one line end, so the loop ends with the copy.
    while (p != nullptr && p < pEnd) {
        char* pNext = FindLineEnd(p);
        if (pNext == nullptr) {
            return 0;
        }
        // The CR of a CR LF is never part of a name or value.
        char* pLineEnd = HttpLineEnd(p, pNext);
        if (pLineEnd == p) {
            m_pCursor = pNext + 1;
            return 0;
        }
        const char* pColon = OXR_Memmem(p, pLineEnd, ":", 1);
        if (pColon != nullptr) {
            // The name is not trimmed: a blank before the colon stays part
            // of it, so "Name :" never matches a lookup of "Name".
            const char* pValue = pColon + 1;
            while (pValue < pLineEnd && *pValue == ' ') {
                ++pValue;
            }
            if (AppendRecord(m_lstResponseHeaders, p, static_cast<size_t>(pColon - p), pValue,
                             static_cast<size_t>(pLineEnd - pValue)) == nullptr) {
                HTTP_LOG(kLogNoMemory, "ParseHeaders Return -1, operation new Error\n");
                return HTTP_ERR_NO_MEMORY;
            }
        }
        p = pNext + 1;
    }
    return 0;
}

char* CHttpParser::SkipSpaces(char* p) {
    if (p == nullptr) {
        return nullptr;
    }
    char* pEnd = m_pHead + m_nHeadLen;
    while (p < pEnd && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) {
        ++p;
    }
    return p;
}

char* CHttpParser::FindLineEnd(char* p) {
    if (p == nullptr) {
        return nullptr;
    }
    return const_cast<char*>(OXR_Memmem(p, m_pHead + m_nHeadLen, "\n", 1));
}

const char* HttpFindHeadEnd(const char* pBegin, const char* pFrom, const char* pEnd) {
    const char* p = pFrom < pBegin ? pBegin : pFrom;
    while (p < pEnd && (p = static_cast<const char*>(
                            std::memchr(p, '\n', static_cast<size_t>(pEnd - p)))) != nullptr) {
        // An empty line: nothing (or a CR alone) between the line end before
        // and this one.
        const char* q = HttpLineEnd(pBegin, p);
        if (q > pBegin && q[-1] == '\n') {
            return p + 1;
        }
        ++p;
    }
    return nullptr;
}
