// CHttpBodyReader: the bytes after the head first, then the connection;
// chunk framing removed in place, so a read never copies twice.
#include "http_body.h"

#include <cstring>

void CHttpBodyReader::Begin(CHttpConnection* pConn, const char* pLeft, int nLeft, bool bChunked) {
    m_pConn = pConn;
    m_pLeft = pLeft;
    m_nLeft = nLeft;
    m_bChunked = bChunked;
    m_cChunks.Reset();
}

int CHttpBodyReader::Unframe(char* p, int n) {
    if (!m_bChunked) {
        return n;
    }
    const int r = m_cChunks.Decode(p, n);
    return r < 0 ? kReadFraming : r;
}

int CHttpBodyReader::Read(char* p, int nLen, int nTimeOutMs) {
    for (;;) {
        if (m_bChunked && m_cChunks.Failed()) {
            return kReadFraming;
        }
        if (m_bChunked && m_cChunks.Done()) {
            return kReadClosed; // the last chunk ends the body
        }
        int r;
        if (m_nLeft > 0) {
            r = m_nLeft < nLen ? m_nLeft : nLen;
            std::memcpy(p, m_pLeft, static_cast<size_t>(r));
            m_pLeft += r;
            m_nLeft -= r;
        } else {
            r = m_pConn->Read(p, nLen, nTimeOutMs);
            if (r <= 0) {
                return r;
            }
        }
        // Framing only (a size line, a CR LF) gives no data: read again.
        r = Unframe(p, r);
        if (r != 0) {
            return r;
        }
    }
}
