// CHttpParser, request side: method names and the request message.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "http_parse.h"
#include "http_text.h"
#include "oxr.h"

namespace {

// Indexed by method number plus one.
const char* const kMethodNames[] = {"INVALID", "UNKNOWN", "GET",    "POST",  "HEAD",
                                    "OPTIONS", "PUT",     "DELETE", "TRACE", "CONNECT"};
const int kMethodMin = -1;
const int kMethodMax = 8;

const char kVersion[] = "HTTP/1.1";

// Sent with every request exactly as it stands, odd "*.*" included: cameras
// in the field have only ever seen these bytes (docs/internals.md, kept
// behaviours 1 and 2).
const char kDefaultHeaders[] =
    "User-Agent: HTTP_USER_AGENT\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*.*;q=0.8\r\n"
    "Accept-Language: ZH-cn;zh;q=0.5\r\n"
    "Accept-Charset: gb2312,utf8;q=0.7,*;q=0.7\r\n";
static_assert(sizeof(kDefaultHeaders) - 1 == 178, "the default block is 178 bytes");

// Copies at most nSize - 1 characters and always terminates; NULL counts as "".
void CopyBounded(char* pszDst, size_t nSize, const char* pszSrc) {
    size_t n = 0;
    if (pszSrc != nullptr) {
        while (n + 1 < nSize && pszSrc[n] != '\0') {
            ++n;
        }
        std::memcpy(pszDst, pszSrc, n);
    }
    pszDst[n] = '\0';
}

} // namespace

void CHttpParser::SetRequestLine(int nMethod, const char* pszUri) {
    m_nMethod = nMethod;
    CopyBounded(m_szUri, sizeof(m_szUri), pszUri);
}

void CHttpParser::SetHost(const char* pszHost) {
    CopyBounded(m_szHost, sizeof(m_szHost), pszHost);
}

bool CHttpParser::Omitted(const char* pszName) const {
    return ((m_nOmit & kOmitAuthorization) != 0 && OXR_Strcasecmp(pszName, "Authorization") == 0) ||
           ((m_nOmit & kOmitContentLength) != 0 && OXR_Strcasecmp(pszName, "Content-Length") == 0);
}

const char* CHttpParser::GetMethodName(int nMethod) {
    if (nMethod < kMethodMin || nMethod > kMethodMax) {
        return kMethodNames[0];
    }
    return kMethodNames[nMethod - kMethodMin];
}

size_t CHttpParser::FixedHeadLength() const {
    // "METHOD URI HTTP/1.1\r\n", "HOST: host\r\n", the fixed block, "\r\n".
    return std::strlen(GetMethodName(m_nMethod)) + 1 + std::strlen(m_szUri) + 1 +
           (sizeof(kVersion) - 1) + 2 + 6 + std::strlen(m_szHost) + 2 +
           (sizeof(kDefaultHeaders) - 1) + 2;
}

bool CHttpParser::HeadFits() const {
    size_t nLen = FixedHeadLength();
    for (const HttpHeader* pRecord : m_lstRequestHeaders) {
        // "name: value\r\n"
        nLen += std::strlen(pRecord->pszName) + 2 + std::strlen(pRecord->pszValue) + 2;
    }
    return nLen <= kHttpRequestHeadMax;
}

char* CHttpParser::FormatMsg(int* pnMsgLen, const char* pBody, int nBodyLen) {
    int nDummy = 0;
    int& nMsgLen = pnMsgLen != nullptr ? *pnMsgLen : nDummy;
    nMsgLen = 0;
    if (pnMsgLen == nullptr || nBodyLen < 0 || (pBody == nullptr && nBodyLen > 0)) {
        return nullptr;
    }

    // The request head in one fixed work area: any single line that fits the
    // head also fits a line area of the same size, so this one bound covers
    // both limits.
    CHttpText<kHttpWorkAreaSize> head;
    head.AppendF("%s %s %s\r\n", GetMethodName(m_nMethod), m_szUri, kVersion);
    head.AppendF("%s: %s\r\n", "HOST", m_szHost);
    head.Append(kDefaultHeaders);
    for (const HttpHeader* pRecord : m_lstRequestHeaders) {
        if (!Omitted(pRecord->pszName)) {
            head.AppendF("%s: %s\r\n", pRecord->pszName, pRecord->pszValue);
        }
    }
    head.Append("\r\n");
    if (head.Overflow()) {
        return nullptr;
    }
    int nHeadLen = head.Length();
    if (nBodyLen > INT_MAX - nHeadLen) {
        return nullptr;
    }
    int nTotal = nHeadLen + nBodyLen;

    // The buffer only grows: a message that fits the one held reuses it.
    if (m_pMsg == nullptr || nTotal > m_nMsgSize) {
        if (m_pMsg != nullptr) {
            HttpWipe(m_pMsg, static_cast<size_t>(m_nMsgSize));
        }
        delete[] m_pMsg;
        m_pMsg = new (std::nothrow) char[static_cast<size_t>(nTotal)];
        m_nMsgSize = m_pMsg != nullptr ? nTotal : 0;
        if (m_pMsg == nullptr) {
            return nullptr;
        }
    }
    std::memset(m_pMsg, 0, static_cast<size_t>(m_nMsgSize));
    std::memcpy(m_pMsg, head.Data(), static_cast<size_t>(nHeadLen));
    if (nBodyLen > 0) {
        std::memcpy(m_pMsg + nHeadLen, pBody, static_cast<size_t>(nBodyLen));
    }
    nMsgLen = nTotal;
    return m_pMsg;
}
