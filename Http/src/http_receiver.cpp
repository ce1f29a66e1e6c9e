// The receiver thread: starting it, choosing its mode, the raw mode, and the
// receive primitives both modes share. Multipart splitting is in
// http_multipart.cpp.
#include "http_request.h"

#include <cstring>

#include "http_log.h"
#include "http_part.h"

namespace {

// Longest single wait before the stop flag is looked at again: a backstop
// should shutting a socket down not wake a waiting receive on some platform.
const int kStopCheckMs = 100;

const int kTypeMax = static_cast<int>(sizeof(OXR_HTTP_DATA::szContentType)) - 1;

// Copies a content type into a delivery record, cut to what fits.
void CopyType(char* pszOut, const char* pszType) {
    int n = 0;
    while (pszType != nullptr && n < kTypeMax && pszType[n] != '\0') {
        pszOut[n] = pszType[n];
        ++n;
    }
    pszOut[n] = '\0';
}

// A response header the receiver merely checks for: looked up without the
// miss record a lookup through GetResponseHeader would write.
const char* FindValue(const CHttpParser& cParser, const char* pszName) {
    for (const HttpHeader* pHeader : cParser.GetResponseHeaders()) {
        if (OXR_Strcasecmp(pHeader->pszName, pszName) == 0) {
            return pHeader->pszValue;
        }
    }
    return nullptr;
}

bool NamesChunked(const char* pszValue) {
    return pszValue != nullptr &&
           OXR_Memcasemem(pszValue, pszValue + std::strlen(pszValue), "chunked", 7) != nullptr;
}

} // namespace

int CHttpRequest::StartRecvThread() {
    if (ReceiverRunning()) {
        HTTP_LOG(2, "StartRecvThread Return -1, receiver still running\n");
        return -1;
    }
    m_bMultipart = 0;
    m_bChunked = 0;
    const char* pszType = m_cRecvParser.GetResponseHeader("Content-Type");
    if (pszType != nullptr && HttpGetBoundary(pszType, m_szBoundary) > 0) {
        m_bMultipart = 1;
        // Raw mode hands on the bytes as they come, framing included.
        m_bChunked = NamesChunked(FindValue(m_cRecvParser, "Transfer-Encoding")) ? 1 : 0;
    }
    // Raw bytes without a callback would only be read and dropped; left
    // unread, the connection stays usable for the next request.
    if (m_bMultipart == 0 && m_pfnDataCallback == nullptr) {
        return 0;
    }
    m_cChunks.Reset();
    m_bStop = 0;
    m_bRecvEnded = 0;
    OXR_MutexLock(&m_hStartMutex);
    OXR_THREAD hThread = m_pfnThreadCreate(RecvThreadProc, this, 0, 0, 0, 0);
    m_hThread = hThread;
    OXR_MutexUnlock(&m_hStartMutex);
    if (hThread == nullptr) {
        m_bRecvEnded = 1;
        HTTP_LOG(2, "StartRecvThread Return -1, create thread failed\n");
        return -1;
    }
    return 0;
}

int CHttpRequest::RecvThreadProc(void* pArg) {
    CHttpRequest* pThis = static_cast<CHttpRequest*>(pArg);
    // Once past the start lock, m_hThread holds this thread's handle, so a
    // callback that calls Close is recognised before it could join itself.
    OXR_MutexLock(&pThis->m_hStartMutex);
    OXR_MutexUnlock(&pThis->m_hStartMutex);
    if (pThis->m_bMultipart != 0) {
        pThis->RecvMultipart();
    } else {
        pThis->RecvStream();
    }
    pThis->m_bRecvEnded = 1;
    return 0;
}

int CHttpRequest::RecvSome(char* p, int nLen, int nTimeOutMs) {
    const int64_t tEnd = OXR_TickMs() + (nTimeOutMs > 0 ? nTimeOutMs : 0);
    for (;;) {
        const int nSocket = m_nSocket;
        if (m_bStop != 0 || nSocket < 0) {
            return -1;
        }
        int nWait = kStopCheckMs;
        if (nTimeOutMs >= 0) {
            int64_t nLeft = tEnd - OXR_TickMs();
            if (nLeft <= 0) {
                return 0;
            }
            if (nLeft < nWait) {
                nWait = static_cast<int>(nLeft);
            }
        }
        int r = OXR_WaitReadable(nSocket, nWait);
        if (r < 0) {
            return -1;
        }
        if (r > 0) {
            return OXR_Recv(nSocket, p, nLen);
        }
    }
}

int CHttpRequest::ReadStream(char* p, int nLen) {
    for (;;) {
        if (m_bChunked != 0 && (m_cChunks.Done() || m_cChunks.Failed())) {
            return m_cChunks.Done() ? 0 : -1;
        }
        int r = RecvSome(p, nLen, m_nStreamTimeOutMs);
        if (r <= 0 || m_bChunked == 0) {
            return r;
        }
        // Framing only (a size line, a CR LF) gives no data: receive again.
        r = m_cChunks.Decode(p, r);
        if (r != 0) {
            return r;
        }
    }
}

int CHttpRequest::ReadFull(char* p, int nLen) {
    int nGot = 0;
    while (nGot < nLen) {
        int r = ReadStream(p + nGot, nLen - nGot);
        if (r <= 0) {
            return -1;
        }
        nGot += r;
    }
    return 0;
}

void CHttpRequest::Deliver(int nFirstArg, char* pData, int nLen, const char* pszType) {
    // Once Close has begun, nothing more is handed out, not even bytes held.
    if (m_pfnDataCallback == nullptr || m_bStop != 0) {
        return;
    }
    OXR_HTTP_DATA record;
    std::memset(&record, 0, sizeof(record));
    record.nDataLen = nLen;
    record.pData = pData;
    CopyType(record.szContentType, pszType);
    m_pfnDataCallback(nFirstArg, m_pUserData, &record);
}

int CHttpRequest::RecvStream() {
    if (m_pfnDataCallback == nullptr) {
        return 0;
    }
    char szType[kTypeMax + 1];
    CopyType(szType, m_cRecvParser.GetResponseHeader("Content-Type"));
    if (m_nRecvLen > m_nHeadLen) {
        Deliver(m_nIndex, m_szRecvBuf + m_nHeadLen, m_nRecvLen - m_nHeadLen, szType);
    }
    char buf[kHttpRecvBufSize];
    for (;;) {
        // A raw stream has no pace: it waits as long as the connection lasts.
        int r = RecvSome(buf, sizeof(buf), -1);
        if (r <= 0) {
            return 0;
        }
        Deliver(m_nIndex, buf, r, szType);
    }
}
