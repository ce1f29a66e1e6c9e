// CHttpResponseHead: reads a response head as its bytes arrive, each line
// end looked at once, and hands it to the codec.
#include "http_head.h"

#include <cstring>

#include "oxr.h"
#include "oxr_http.h"

CHttpResponseHead::CHttpResponseHead() : m_nRecvLen(0), m_nHeadLen(0), m_nLeftLen(0), m_nStatus(0) {
    std::memset(m_szRecvBuf, 0, sizeof(m_szRecvBuf));
}

int CHttpResponseHead::Recv(CHttpConnection& cConn, int64_t tDeadline, int* pnWhy,
                            bool bAfterInterim) {
    // Bytes of an earlier response beyond m_nRecvLen never count: every
    // search below ends at the bytes received for this head.
    const int nKept = bAfterInterim ? m_nLeftLen : 0;
    if (nKept > 0) {
        std::memmove(m_szRecvBuf, m_szRecvBuf + m_nHeadLen, static_cast<size_t>(nKept));
    }
    m_nRecvLen = nKept;
    m_nHeadLen = 0;
    m_nLeftLen = 0;
    m_nStatus = 0;
    *pnWhy = HTTP_END_NONE;
    const char* pHeadEnd =
        nKept > 0 ? HttpFindHeadEnd(m_szRecvBuf, m_szRecvBuf, m_szRecvBuf + nKept) : nullptr;
    while (pHeadEnd == nullptr) {
        if (m_nRecvLen >= kHttpRecvBufSize) {
            *pnWhy = HTTP_END_FRAMING;
            return -1;
        }
        // One deadline for the whole head, however slowly its bytes come.
        // Right after the request nothing can be there: wait before reading.
        const int r = cConn.Read(m_szRecvBuf + m_nRecvLen, kHttpRecvBufSize - m_nRecvLen,
                                 OXR_MsLeft(tDeadline), m_nRecvLen == 0 && !bAfterInterim);
        if (r <= 0) {
            *pnWhy = r == kReadTimeOut   ? HTTP_END_TIMEOUT
                     : r == kReadStopped ? HTTP_END_STOPPED
                                         : HTTP_END_PEER_CLOSED;
            return -1;
        }
        // Only line ends among the new bytes are tried; the first empty line,
        // in CR LF or LF alone, ends the head.
        const int nOld = m_nRecvLen;
        m_nRecvLen += r;
        pHeadEnd = HttpFindHeadEnd(m_szRecvBuf, m_szRecvBuf + nOld, m_szRecvBuf + m_nRecvLen);
    }
    m_nHeadLen = static_cast<int>(pHeadEnd - m_szRecvBuf);
    m_nLeftLen = m_nRecvLen - m_nHeadLen;
    const int nResult = m_cRecvParser.ParseMsg(m_szRecvBuf, m_nHeadLen);
    if (nResult == 0 || nResult == -1) {
        m_nStatus = *m_cRecvParser.GetStatusCode();
    }
    return nResult;
}

int CHttpResponseHead::GetBoundary(char* pszOut, bool* pbCut) {
    const char* pszType = GetContentType();
    if (pszType == nullptr) {
        std::memset(pszOut, 0, kHttpBoundaryMax + 1);
        *pbCut = false;
        return 0;
    }
    return HttpGetBoundary(pszType, pszOut, pbCut);
}

bool CHttpResponseHead::IsMultipart() {
    const char* pszType = m_cRecvParser.GetResponseHeader("Content-Type", true);
    char szBoundary[kHttpBoundaryMax + 1];
    return pszType != nullptr && HttpGetBoundary(pszType, szBoundary) > 0;
}

bool CHttpResponseHead::IsChunked() {
    const char* pszValue = m_cRecvParser.GetResponseHeader("Transfer-Encoding", true);
    return pszValue != nullptr &&
           OXR_Memcasemem(pszValue, pszValue + std::strlen(pszValue), "chunked", 7) != nullptr;
}

namespace {

// Whether a comma-separated field value holds the token (case ignored).
bool HasToken(const char* pszValue, const char* pszToken) {
    const size_t nToken = std::strlen(pszToken);
    const char* p = pszValue;
    while (*p != '\0') {
        while (*p == ' ' || *p == '\t' || *p == ',') {
            ++p;
        }
        const char* pEnd = p;
        while (*pEnd != '\0' && *pEnd != ',') {
            ++pEnd;
        }
        const char* pLast = pEnd;
        while (pLast > p && (pLast[-1] == ' ' || pLast[-1] == '\t')) {
            --pLast;
        }
        if (static_cast<size_t>(pLast - p) == nToken &&
            OXR_Memcasemem(p, pLast, pszToken, nToken) == p) {
            return true;
        }
        p = pEnd;
    }
    return false;
}

// What the Content-Length fields say together: -1 when there is none, -2
// when one is no count or two disagree (a list of equal counts is one).
bool ReadLength(void* pCtx, const char* pszValue) {
    long long* pn = static_cast<long long*>(pCtx);
    const char* p = pszValue;
    for (;;) {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        long long n = 0;
        const char* pDigits = p;
        while (*p >= '0' && *p <= '9' && n <= (1LL << 50)) {
            n = n * 10 + (*p++ - '0');
        }
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        if (p == pDigits || (*p != ',' && *p != '\0') || (*pn >= 0 && *pn != n)) {
            *pn = -2;
            return false;
        }
        *pn = n;
        if (*p == '\0') {
            return true;
        }
        ++p;
    }
}

struct FieldScan {
    const char* pszLast; // the last value of the field
    bool bClose;
    bool bKeepAlive;
};

bool ScanConnection(void* pCtx, const char* pszValue) {
    FieldScan* s = static_cast<FieldScan*>(pCtx);
    s->bClose = s->bClose || HasToken(pszValue, "close");
    s->bKeepAlive = s->bKeepAlive || HasToken(pszValue, "keep-alive");
    return true;
}

bool LastValue(void* pCtx, const char* pszValue) {
    static_cast<FieldScan*>(pCtx)->pszLast = pszValue;
    return true;
}

// The last coding of a Transfer-Encoding value.
bool EndsInChunked(const char* pszValue) {
    const char* pComma = std::strrchr(pszValue, ',');
    return HasToken(pComma != nullptr ? pComma + 1 : pszValue, "chunked");
}

} // namespace

HttpBodyFraming CHttpResponseHead::GetFraming(bool bHeadRequest, bool bRefused) {
    CHttpParser& p = m_cRecvParser;
    if (bRefused && p.ParseHeaders() != 0) {
        p.ClearResponseHeaders();
        return HttpBodyFraming{kBodyToClose, 0, false};
    }
    const int nStatus = *p.GetStatusCode();
    FieldScan conn = {nullptr, false, false};
    p.ForEachResponseHeader("Connection", ScanConnection, &conn);
    const bool bHttp11 = std::strcmp(p.GetVersion(), "HTTP/1.1") == 0;
    HttpBodyFraming f = {kBodyToClose, 0, bHttp11 ? !conn.bClose : conn.bKeepAlive && !conn.bClose};
    FieldScan coding = {nullptr, false, false};
    long long nLength = -1;
    if (bHeadRequest || (nStatus >= 100 && nStatus <= 199) || nStatus == 204 || nStatus == 304) {
        f.eKind = kBodyNone;
    } else if (p.ForEachResponseHeader("Transfer-Encoding", LastValue, &coding) > 0) {
        // A length beside a coding is a message to distrust: read it, then
        // let the connection go.
        f.eKind = EndsInChunked(coding.pszLast) ? kBodyChunked : kBodyToClose;
        f.bKeep = f.bKeep && f.eKind == kBodyChunked &&
                  p.ForEachResponseHeader("Content-Length", LastValue, &coding) == 0;
    } else if (p.ForEachResponseHeader("Content-Length", ReadLength, &nLength) > 0 &&
               nLength >= 0) {
        f.eKind = kBodyLength;
        f.nLength = nLength;
    } else {
        f.bKeep = false; // to the close, or a length that is none
    }
    if (f.eKind == kBodyToClose) {
        f.bKeep = false;
    }
    if (bRefused) {
        p.ClearResponseHeaders();
    }
    return f;
}
