// CHttpBodyReader: the bytes after the head first, then the connection;
// chunk framing removed in place, so a read never copies twice.
#include "http_body.h"

#include <cstring>

void CHttpBodyReader::Begin(CHttpConnection* pConn, const char* pLeft, int nLeft,
                            const HttpBodyFraming& f, bool bFramed) {
    m_pConn = pConn;
    m_pLeft = pLeft;
    m_nLeft = nLeft;
    m_eKind = f.eKind;
    m_nRest = f.nLength;
    m_bFramed = bFramed;
    m_bKeep = f.bKeep;
    m_bSurplus = false;
    m_cChunks.Reset();
    if (!bFramed && m_eKind != kBodyChunked) {
        m_eKind = kBodyToClose;
    }
    m_bDone = m_bFramed && (m_eKind == kBodyNone || (m_eKind == kBodyLength && m_nRest == 0));
    if (m_bDone && m_nLeft > 0) {
        m_bSurplus = true; // bytes after a body that has none
    }
}

int CHttpBodyReader::Take(char* p, int nLen, int nTimeOutMs) {
    // A length-framed body never reads past its end.
    if (m_eKind == kBodyLength && m_bFramed && m_nRest < nLen) {
        nLen = static_cast<int>(m_nRest);
    }
    if (m_nLeft == 0) {
        return m_pConn->Read(p, nLen, nTimeOutMs);
    }
    const int n = m_nLeft < nLen ? m_nLeft : nLen;
    std::memcpy(p, m_pLeft, static_cast<size_t>(n));
    m_pLeft += n;
    m_nLeft -= n;
    return n;
}

int CHttpBodyReader::Read(char* p, int nLen, int nTimeOutMs) {
    for (;;) {
        if (m_bDone) {
            return kReadComplete;
        }
        if (m_eKind == kBodyChunked && m_cChunks.Failed()) {
            return kReadFraming;
        }
        if (m_eKind == kBodyChunked && m_cChunks.Done()) {
            // The last chunk ends the body.
            m_bDone = m_bFramed;
            m_bSurplus = m_cChunks.Surplus() || m_nLeft > 0;
            return m_bFramed ? kReadComplete : kReadClosed;
        }
        int r = Take(p, nLen, nTimeOutMs);
        if (r <= 0) {
            return r;
        }
        if (m_eKind == kBodyLength && m_bFramed) {
            m_nRest -= r;
            if (m_nRest == 0) {
                m_bDone = true;
                m_bSurplus = m_nLeft > 0;
            }
            return r;
        }
        if (m_eKind != kBodyChunked) {
            return r;
        }
        // Framing only (a size line, a CR LF) gives no data: read again.
        r = m_cChunks.Decode(p, r);
        if (r != 0) {
            return r < 0 ? kReadFraming : r;
        }
    }
}

bool CHttpBodyReader::Drain(int64_t tDeadline) {
    if (!m_bFramed || m_eKind == kBodyToClose) {
        return false;
    }
    char buf[4096];
    while (!m_bDone) {
        const int nLeftMs = OXR_MsLeft(tDeadline);
        if (Read(buf, sizeof(buf), nLeftMs) <= 0 && !m_bDone) {
            return false;
        }
    }
    return LeavesConnection();
}
