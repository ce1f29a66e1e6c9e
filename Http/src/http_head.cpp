// CHttpResponseHead: reads a response head as its bytes arrive, each line
// end looked at once, and hands it to the codec.
#include "http_head.h"

#include <cstring>

#include "oxr.h"
#include "oxr_http.h"

CHttpResponseHead::CHttpResponseHead() : m_nRecvLen(0), m_nHeadLen(0), m_nLeftLen(0), m_nStatus(0) {
    std::memset(m_szRecvBuf, 0, sizeof(m_szRecvBuf));
}

int CHttpResponseHead::Recv(CHttpConnection& cConn, int nTimeOutMs, int* pnWhy) {
    // Bytes of an earlier response beyond m_nRecvLen never count: every
    // search below ends at the bytes received for this head.
    m_nRecvLen = 0;
    m_nHeadLen = 0;
    m_nLeftLen = 0;
    m_nStatus = 0;
    *pnWhy = HTTP_END_NONE;
    const char* pHeadEnd = nullptr;
    while (pHeadEnd == nullptr) {
        if (m_nRecvLen >= kHttpRecvBufSize) {
            *pnWhy = HTTP_END_FRAMING;
            return -1;
        }
        // The time-out bounds each wait for more of the head.
        const int r =
            cConn.Read(m_szRecvBuf + m_nRecvLen, kHttpRecvBufSize - m_nRecvLen, nTimeOutMs);
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

bool CHttpResponseHead::IsChunked() {
    const char* pszValue = m_cRecvParser.GetResponseHeader("Transfer-Encoding", true);
    return pszValue != nullptr &&
           OXR_Memcasemem(pszValue, pszValue + std::strlen(pszValue), "chunked", 7) != nullptr;
}
