// CHttpSession's targets: where each request goes (the session's own URL,
// or a redirect's Location), what goes along to a redirect, and the zone of
// a link-local IPv6 address.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http_session.h"
#include "oxr.h"

namespace {

bool StartsNoCase(const char* p, const char* pszPrefix) {
    const size_t n = std::strlen(pszPrefix);
    return OXR_Memcasemem(p, p + strnlen(p, n), pszPrefix, n) == p;
}

// Copies [p, pEnd) into a field, terminated; false when it does not fit.
bool CopyPiece(const char* p, const char* pEnd, char* pszDst, size_t nDstSize) {
    const size_t n = static_cast<size_t>(pEnd - p);
    if (n >= nDstSize) {
        return false;
    }
    std::memcpy(pszDst, p, n);
    pszDst[n] = '\0';
    return true;
}

bool IsUnsafe(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
}

// A Location the library follows: an absolute http or https URL, or an
// absolute path on the current origin. Its fragment is not sent.
bool ParseLocation(const char* pszLocation, const HttpTarget& cur, HttpTarget* pNext) {
    const char* p = pszLocation;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    const char* pEnd = p + std::strlen(p);
    while (pEnd > p && (pEnd[-1] == ' ' || pEnd[-1] == '\t')) {
        --pEnd;
    }
    const char* pHash =
        static_cast<const char*>(std::memchr(p, '#', static_cast<size_t>(pEnd - p)));
    pEnd = pHash != nullptr ? pHash : pEnd;
    for (const char* q = p; q < pEnd; ++q) {
        if (IsUnsafe(*q)) {
            return false;
        }
    }
    *pNext = cur;
    if (p < pEnd && p[0] == '/' && (pEnd - p < 2 || p[1] != '/')) {
        return CopyPiece(p, pEnd, pNext->szUri, sizeof(pNext->szUri));
    }
    if (StartsNoCase(p, "https://")) {
        pNext->bHttps = true;
        p += 8;
    } else if (StartsNoCase(p, "http://")) {
        pNext->bHttps = false;
        p += 7;
    } else {
        return false; // another scheme, or a reference the library does not resolve
    }
    const char* pPath = p;
    while (pPath < pEnd && *pPath != '/' && *pPath != '?') {
        ++pPath;
    }
    const char* pHostEnd = pPath;
    if (*p == '[') {
        pHostEnd = static_cast<const char*>(std::memchr(p, ']', static_cast<size_t>(pPath - p)));
        if (pHostEnd == nullptr) {
            return false;
        }
        ++pHostEnd;
    } else {
        const char* pColon =
            static_cast<const char*>(std::memchr(p, ':', static_cast<size_t>(pPath - p)));
        pHostEnd = pColon != nullptr ? pColon : pPath;
    }
    if (pHostEnd == p || !CopyPiece(p, pHostEnd, pNext->szHost, sizeof(pNext->szHost))) {
        return false;
    }
    pNext->wPort = pNext->bHttps ? 443 : 80;
    if (pHostEnd < pPath) {
        if (*pHostEnd != ':') {
            return false;
        }
        long nPort = 0;
        for (const char* q = pHostEnd + 1; q < pPath; ++q) {
            if (*q < '0' || *q > '9' || (nPort = nPort * 10 + (*q - '0')) > 65535) {
                return false;
            }
        }
        if (pHostEnd + 1 < pPath) {
            pNext->wPort = static_cast<uint16_t>(nPort);
        }
    }
    pNext->szZone[0] = '\0';
    HttpSplitZone(pNext->szHost, pNext->szZone, sizeof(pNext->szZone));
    if (pPath == pEnd) {
        std::memcpy(pNext->szUri, "/", 2);
        return true;
    }
    if (*pPath == '?') {
        pNext->szUri[0] = '/';
        return CopyPiece(pPath, pEnd, pNext->szUri + 1, sizeof(pNext->szUri) - 1);
    }
    return CopyPiece(pPath, pEnd, pNext->szUri, sizeof(pNext->szUri));
}

} // namespace

void HttpSplitZone(char* pszHost, char* pszZone, size_t nZoneSize) {
    pszZone[0] = '\0';
    const size_t n = std::strlen(pszHost);
    if (n < 2 || pszHost[0] != '[' || pszHost[n - 1] != ']') {
        return;
    }
    char* pPercent = static_cast<char*>(std::memchr(pszHost, '%', n));
    if (pPercent == nullptr) {
        return;
    }
    // RFC 6874 writes the "%" of a zone as "%25"; a bare "%" is taken too.
    const char* pZone = std::strncmp(pPercent, "%25", 3) == 0 && pPercent + 3 < pszHost + n - 1
                            ? pPercent + 3
                            : pPercent + 1;
    const size_t nZone = static_cast<size_t>(pszHost + n - 1 - pZone);
    if (nZone == 0 || nZone >= nZoneSize) {
        return;
    }
    std::memcpy(pszZone, pZone, nZone);
    pszZone[nZone] = '\0';
    pPercent[0] = ']';
    pPercent[1] = '\0';
}

void CHttpSession::AimAtOwnUrl() {
    m_cTarget.bHttps = IsHttps();
    std::memcpy(m_cTarget.szHost, m_szHost, sizeof(m_szHost));
    std::memcpy(m_cTarget.szZone, m_szZone, sizeof(m_szZone));
    m_cTarget.wPort = m_wPort;
    std::memcpy(m_cTarget.szUri, m_szRequestUri, sizeof(m_szRequestUri));
    m_bCredentials = true;
    m_nHops = 0;
    m_cParser.SetHost(m_szHost);
    m_cParser.SetRequestLine(m_nMethod, m_szRequestUri);
    m_cParser.SetOmit(0);
}

bool CHttpSession::NextHop(int nHop, const char** ppBody, int* pnBodyLen) {
    const int nStatus = m_cRequest.GetStatus();
    if (nHop >= m_nFollow ||
        (nStatus != 301 && nStatus != 302 && nStatus != 303 && nStatus != 307 && nStatus != 308)) {
        return false;
    }
    const char* pszLocation = m_cRequest.GetRecvParser().GetResponseHeader("Location", true);
    HttpTarget next;
    if (pszLocation == nullptr || !ParseLocation(pszLocation, m_cTarget, &next)) {
        return false; // the 3xx is the answer
    }
    // Credentials go along only to the host as the session's URL names it,
    // and never from https down to http.
    m_bCredentials = m_bCredentials && OXR_Strcasecmp(next.szHost, m_szHost) == 0 &&
                     (next.bHttps || !m_cTarget.bHttps);
    // 303, and 301 or 302 after a POST, go on with GET and no body; 307 and
    // 308 keep the method and the body.
    int nMethod = m_cParser.GetMethod();
    int nOmit = m_bCredentials ? 0 : CHttpParser::kOmitAuthorization;
    if ((nStatus == 303 && nMethod != HTTP_METHOD_HEAD) ||
        ((nStatus == 301 || nStatus == 302) && nMethod == HTTP_METHOD_POST)) {
        nMethod = HTTP_METHOD_GET;
        *ppBody = nullptr;
        *pnBodyLen = 0;
    }
    if (*ppBody == nullptr) {
        nOmit |= CHttpParser::kOmitContentLength;
    }
    if (m_nHops < kHopsKept) {
        std::snprintf(m_aszHop[m_nHops], sizeof(m_aszHop[m_nHops]), "%d %s", nStatus, pszLocation);
    }
    ++m_nHops;
    m_cTarget = next;
    m_cParser.SetHost(next.szHost);
    m_cParser.SetRequestLine(nMethod, next.szUri);
    m_cParser.SetOmit(nOmit);
    return true;
}

bool CHttpSession::ConnectedToTarget() const {
    return m_cConnected.bHttps == m_cTarget.bHttps && m_cConnected.wPort == m_cTarget.wPort &&
           OXR_Strcasecmp(m_cConnected.szHost, m_cTarget.szHost) == 0 &&
           std::strcmp(m_cConnected.szZone, m_cTarget.szZone) == 0;
}

void CHttpSession::ConnectHost(const HttpTarget& t, char* pszOut, size_t nOutSize) {
    const size_t nHost = std::strlen(t.szHost);
    if (t.szZone[0] == '\0' || nHost + std::strlen(t.szZone) + 1 >= nOutSize) {
        std::memcpy(pszOut, t.szHost, nHost + 1);
        return;
    }
    // "[fe80::1%eth0]": the resolver reads the zone into the address.
    std::memcpy(pszOut, t.szHost, nHost - 1);
    pszOut[nHost - 1] = '%';
    std::memcpy(pszOut + nHost, t.szZone, std::strlen(t.szZone));
    pszOut[nHost + std::strlen(t.szZone)] = ']';
    pszOut[nHost + std::strlen(t.szZone) + 1] = '\0';
}
