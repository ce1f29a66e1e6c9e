// The receiver thread: starts after a response head, reads the rest of the
// connection and hands it to the data callback, raw or split into parts by
// CHttpPartSplitter; records how far it got and why it ended.
#include <algorithm>
#include <cstring>

#include "http_log.h"
#include "http_request.h"
#include "http_splitter.h"

namespace {

const int kTypeMax = static_cast<int>(sizeof(OXR_HTTP_DATA::szContentType)) - 1;

// The type text of the end record, by HTTP_END_* reason.
const char* const kEndTexts[] = {"end:none",     "end:peer-closed", "end:closing-delimiter",
                                 "end:time-out", "end:framing",     "end:stopped",
                                 "end:no-memory"};

// Copies a content type into a delivery record, cut to what fits.
void CopyType(char* pszOut, const char* pszType) {
    const size_t n = pszType != nullptr ? strnlen(pszType, kTypeMax) : 0;
    if (n > 0) {
        std::memcpy(pszOut, pszType, n);
    }
    pszOut[n] = '\0';
}

bool NamesChunked(const char* pszValue) {
    return pszValue != nullptr &&
           OXR_Memcasemem(pszValue, pszValue + std::strlen(pszValue), "chunked", 7) != nullptr;
}

int EndOfSplit(CHttpPartSplitter::Result r) {
    return r == CHttpPartSplitter::kNoMemory ? HTTP_END_NO_MEMORY : HTTP_END_FRAMING;
}

} // namespace

bool CHttpRequest::ChooseMode() {
    m_bMultipart = 0;
    m_bChunked = 0;
    m_bStarted = 0;
    m_nEndReason = HTTP_END_NONE;
    m_nDeliveries = 0;
    const char* pszType = m_cRecvParser.GetResponseHeader("Content-Type");
    if (pszType != nullptr && HttpGetBoundary(pszType, m_szBoundary) > 0) {
        m_bMultipart = 1;
        // Raw mode hands on the bytes as they come, framing included.
        m_bChunked = NamesChunked(m_cRecvParser.GetResponseHeader("Transfer-Encoding", true));
    }
    m_cChunks.Reset();
    // Raw bytes without a callback would only be read and dropped; left
    // unread, the connection stays usable for the next request.
    return m_bMultipart != 0 || m_pfnDataCallback != nullptr;
}

int CHttpRequest::StartRecvThread() {
    if (ReceiverRunning()) {
        HTTP_LOG(kLogFailure, "StartRecvThread Return -1, receiver still running\n");
        return -1;
    }
    if (!ChooseMode()) {
        return 0;
    }
    m_bStop = 0;
    if (m_bAborted != 0) {
        return -1; // the session is being closed
    }
    OXR_WakerReset(m_pWaker);
    if (m_bAborted != 0) {
        OXR_WakerWake(m_pWaker); // an Abort between the two looks: its wake stands
        return -1;
    }
    m_bRecvEnded = 0;
    m_bStarted = 1;
    OXR_MutexLock(&m_hMutex);
    OXR_THREAD hThread = m_pfnThreadCreate(RecvThreadProc, this, 0, 0, 0, 0);
    m_hThread = hThread;
    OXR_MutexUnlock(&m_hMutex);
    if (hThread == nullptr) {
        m_bStarted = 0;
        m_bRecvEnded = 1;
        HTTP_LOG(kLogFailure, "StartRecvThread Return -1, create thread failed\n");
        return -1;
    }
    return 0;
}

int CHttpRequest::RecvThreadProc(void* pArg) {
    CHttpRequest* pThis = static_cast<CHttpRequest*>(pArg);
    // Once past the lock, m_hThread holds this thread's handle, so a
    // callback that calls Close is recognised before it could join itself.
    OXR_MutexLock(&pThis->m_hMutex);
    OXR_MutexUnlock(&pThis->m_hMutex);
    pThis->Receive();
    pThis->m_bRecvEnded = 1;
    return 0;
}

void CHttpRequest::ReceiveHere() {
    if (!ChooseMode() || m_bAborted != 0) {
        return;
    }
    m_bStop = 0;
    m_bStarted = 1;
    m_bRecvEnded = 0;
    Receive();
    m_bRecvEnded = 1;
}

void CHttpRequest::Receive() {
    End(m_bMultipart != 0 ? RecvMultipart() : RecvStream());
}

void CHttpRequest::End(int nReason) {
    m_nEndReason = nReason;
    if (m_bEndRecord != 0 && m_pfnDataCallback != nullptr) {
        OXR_HTTP_DATA record;
        std::memset(&record, 0, sizeof(record));
        CopyType(record.szContentType, kEndTexts[nReason]);
        m_pfnDataCallback(m_bMultipart != 0 ? 0 : m_nIndex, m_pUserData, &record);
    }
}

int CHttpRequest::GetStreamState() const {
    if (m_bStarted.load() == 0) {
        return HTTP_STREAM_NONE;
    }
    return m_nEndReason.load() != HTTP_END_NONE ? HTTP_STREAM_ENDED : HTTP_STREAM_RUNNING;
}

int CHttpRequest::GetEndReason() const {
    return m_nEndReason.load();
}

int CHttpRequest::EndOfRead(int nRead, bool bClosing) const {
    switch (nRead) {
    case kReadStopped:
        return HTTP_END_STOPPED;
    case kReadFraming:
        return HTTP_END_FRAMING;
    case kReadTimeOut:
        return bClosing ? HTTP_END_CLOSING_DELIMITER : HTTP_END_TIMEOUT;
    default: // the end of the connection (or of a chunked body), or a reset
        return bClosing ? HTTP_END_CLOSING_DELIMITER : HTTP_END_PEER_CLOSED;
    }
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
    ++m_nDeliveries;
    m_pfnDataCallback(nFirstArg, m_pUserData, &record);
}

void CHttpRequest::DeliverPart(void* pCtx, char* pData, int nLen, const char* pszType) {
    static_cast<CHttpRequest*>(pCtx)->Deliver(0, pData, nLen, pszType);
}

int CHttpRequest::ReadBody(char* p, int nLen) {
    for (;;) {
        if (m_bChunked != 0 && m_cChunks.Failed()) {
            return kReadFraming;
        }
        if (m_bChunked != 0 && m_cChunks.Done()) {
            return kReadClosed; // the last chunk ends the body
        }
        int r = RecvSome(p, nLen, m_nStreamTimeOutMs);
        if (r <= 0 || m_bChunked == 0) {
            return r;
        }
        // Framing only (a size line, a CR LF) gives no data: receive again.
        r = m_cChunks.Decode(p, r);
        if (r != 0) {
            return r < 0 ? kReadFraming : r;
        }
    }
}

int CHttpRequest::RecvStream() {
    if (m_pfnDataCallback == nullptr) {
        return HTTP_END_NONE;
    }
    char szType[kTypeMax + 1];
    CopyType(szType, m_cRecvParser.GetResponseHeader("Content-Type"));
    if (m_nRecvLen > m_nHeadLen) {
        Deliver(m_nIndex, m_szRecvBuf + m_nHeadLen, m_nRecvLen - m_nHeadLen, szType);
    }
    // One read takes what a busy socket holds, up to four pieces; the
    // callback still gets them 16384 bytes at most at a time.
    char buf[4 * kHttpRecvBufSize];
    for (;;) {
        // A raw stream has no pace: it waits as long as the connection lasts.
        const int r = RecvSome(buf, sizeof(buf), -1);
        if (r <= 0) {
            return EndOfRead(r, false);
        }
        for (int nAt = 0; nAt < r; nAt += kHttpRecvBufSize) {
            Deliver(m_nIndex, buf + nAt, std::min(kHttpRecvBufSize, r - nAt), szType);
        }
    }
}

int CHttpRequest::RecvMultipart() {
    CHttpPartSplitter splitter(m_szBoundary, DeliverPart, this);
    if (m_nLeftLen > 0) {
        // The bytes that came with the head go first, through the same
        // framing as the rest.
        int nRoom = 0;
        char* p = splitter.Space(&nRoom);
        std::memcpy(p, m_szRecvBuf + m_nHeadLen, static_cast<size_t>(m_nLeftLen));
        const int n = m_bChunked != 0 ? m_cChunks.Decode(p, m_nLeftLen) : m_nLeftLen;
        if (n < 0) {
            return HTTP_END_FRAMING;
        }
        CHttpPartSplitter::Result r = splitter.Commit(n);
        if (r != CHttpPartSplitter::kGoOn) {
            return EndOfSplit(r);
        }
    }
    for (;;) {
        int nRoom = 0;
        char* p = splitter.Space(&nRoom);
        const int n = ReadBody(p, nRoom);
        if (n <= 0) {
            return EndOfRead(n, splitter.SawClosingDelimiter());
        }
        CHttpPartSplitter::Result r = splitter.Commit(n);
        if (r != CHttpPartSplitter::kGoOn) {
            return EndOfSplit(r);
        }
    }
}
