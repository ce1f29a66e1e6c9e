// CHttpReceiver: the thread that reads a response's body and hands it to
// the data callback, raw or split into parts by CHttpPartSplitter, and the
// record of how far it got and why it ended.
#include "http_receiver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "http_log.h"

namespace {

const int kTypeMax = static_cast<int>(sizeof(OXR_HTTP_DATA::szContentType)) - 1;

// The type text of the end record, by HTTP_END_* reason.
const char* const kEndTexts[] = {"end:none",      "end:peer-closed", "end:closing-delimiter",
                                 "end:time-out",  "end:framing",     "end:stopped",
                                 "end:no-memory", "end:complete"};

// Copies a content type into a delivery record, cut to what fits.
void CopyType(char* pszOut, const char* pszType) {
    const size_t n = pszType != nullptr ? strnlen(pszType, kTypeMax) : 0;
    if (n > 0) {
        std::memcpy(pszOut, pszType, n);
    }
    pszOut[n] = '\0';
}

int EndOfSplit(CHttpPartSplitter::Result r) {
    return r == CHttpPartSplitter::kNoMemory ? HTTP_END_NO_MEMORY : HTTP_END_FRAMING;
}

} // namespace

CHttpReceiver::CHttpReceiver()
    : m_hThread(nullptr), m_bStop(0), m_bRecvEnded(1), m_pConn(nullptr), m_pHead(nullptr),
      m_pBody(nullptr), m_pfnRestart(nullptr), m_pRestartCtx(nullptr), m_bMultipart(false),
      m_bChunked(false), m_bBoundaryCut(false), m_bDocument(false), m_nIndex(0),
      m_pfnDataCallback(nullptr), m_pUserData(nullptr), m_nStreamTimeOutMs(kHttpStreamTimeOutMs),
      m_bTimeOutSet(0), m_bEndRecord(0), m_nReconnectMaxMs(0), m_nReconnects(0), m_bReconnecting(0),
      m_nDropReason(HTTP_END_NONE), m_bRestarting(0), m_nEndReason(HTTP_END_NONE), m_nDeliveries(0), m_bStarted(0) {
    std::memset(m_szBoundary, 0, sizeof(m_szBoundary));
    OXR_MutexCreate(&m_hMutex, 0);
}

CHttpReceiver::~CHttpReceiver() {
    OXR_MutexDestroy(&m_hMutex);
}

void CHttpReceiver::SetDataCallback(int nIndex, OXR_HTTP_DataCallback pfnCallback,
                                    void* pUserData) {
    m_nIndex = nIndex;
    m_pfnDataCallback = pfnCallback;
    m_pUserData = pUserData;
}

void CHttpReceiver::Forget() {
    m_bStarted = 0;
    m_nEndReason = HTTP_END_NONE;
    m_nDeliveries = 0;
}

int CHttpReceiver::Start(CHttpConnection& cConn, CHttpResponseHead& cHead, CHttpBodyReader* pBody,
                         bool bHere) {
    if (Running()) {
        HTTP_LOG(kLogFailure, "StartRecvThread Return -1, receiver still running\n");
        return -1;
    }
    m_pConn = &cConn;
    m_pHead = &cHead;
    m_pBody = pBody;
    ChooseMode();
    // Raw bytes without a callback would only be read and dropped; left
    // unread, the connection stays usable for the next request (which reads
    // and drops them first when it is kept alive).
    if (!m_bMultipart && m_pfnDataCallback == nullptr) {
        return 0;
    }
    m_bStop = 0;
    if (cConn.Aborted()) {
        return -1; // the session is being closed
    }
    m_bRecvEnded = 0;
    m_bStarted = 1;
    if (bHere) {
        Receive();
        m_bRecvEnded = 1;
        return 0;
    }
    OXR_MutexLock(&m_hMutex);
    OXR_THREAD hThread = OXR_Thread_Create(RecvThreadProc, this, 0, 0, 0, 0);
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

int CHttpReceiver::RecvThreadProc(void* pArg) {
    CHttpReceiver* pThis = static_cast<CHttpReceiver*>(pArg);
    OXR_MutexLock(&pThis->m_hMutex);
    OXR_MutexUnlock(&pThis->m_hMutex);
    pThis->Receive();
    pThis->m_bRecvEnded = 1;
    return 0;
}

bool CHttpReceiver::Running() {
    if (m_hThread.load() == nullptr) {
        return false;
    }
    // On its own thread: a request its callback makes is beside it; the
    // request it makes again itself (reconnecting) is not.
    if (OnOwnThread()) {
        return m_bRestarting.load() == 0;
    }
    // Ended, perhaps still handing over its end record: joined, not refused.
    if (m_bRecvEnded.load() == 0 && m_nEndReason.load() == HTTP_END_NONE) {
        return true;
    }
    Join();
    return false;
}

void CHttpReceiver::Join() {
    OXR_THREAD hThread = m_hThread.load();
    if (hThread != nullptr) {
        OXR_Thread_Wait(hThread);
        m_hThread = nullptr;
    }
}

int CHttpReceiver::GetStreamState(int* pnReason) const {
    // The reason is read once and the state told from it, so the two agree.
    if (m_bStarted.load() == 0) {
        *pnReason = m_nEndReason.load();
        return HTTP_STREAM_NONE;
    }
    if (m_bReconnecting.load() != 0) {
        *pnReason = m_nDropReason.load();
        return HTTP_STREAM_RECONNECTING;
    }
    *pnReason = m_nEndReason.load();
    return *pnReason != HTTP_END_NONE ? HTTP_STREAM_ENDED : HTTP_STREAM_RUNNING;
}

void CHttpReceiver::ChooseMode() {
    m_bMultipart = m_pHead->GetBoundary(m_szBoundary, &m_bBoundaryCut) > 0;
    m_bChunked = m_pBody->IsChunked();
    m_bDocument =
        !m_bMultipart && m_pHead->GetParser().GetResponseHeader("Content-Length", true) != nullptr;
}

void CHttpReceiver::Receive() {
    int nPauseMs = 0;
    for (;;) {
        const int nDelivered = m_nDeliveries.load();
        const int nReason = m_bMultipart ? RecvMultipart() : RecvStream();
        // A device that ended the stream, went quiet or broke its framing is
        // asked again; one that finished it, or a Close, is not.
        // A raw body with a length is a document, not a stream: fetched
        // again it would follow the bytes already delivered.
        const bool bAgain = m_nReconnectMaxMs.load() > 0 && m_pfnRestart != nullptr &&
                            m_bStop.load() == 0 && !m_bDocument &&
                            (nReason == HTTP_END_PEER_CLOSED || nReason == HTTP_END_TIMEOUT ||
                             nReason == HTTP_END_FRAMING);
        if (!bAgain) {
            End(nReason);
            return;
        }
        if (m_nDeliveries.load() != nDelivered) {
            nPauseMs = 0; // the stream delivered: the next pause is the shortest again
        }
        const int nAgain = Reconnect(nReason, &nPauseMs);
        if (nAgain != 0) {
            End(nAgain < 0 ? HTTP_END_STOPPED : nReason);
            return;
        }
    }
}

void CHttpReceiver::Announce(const char* pszWhat, int nReason) {
    if (m_bEndRecord == 0 || m_pfnDataCallback == nullptr) {
        return;
    }
    OXR_HTTP_DATA record;
    std::memset(&record, 0, sizeof(record));
    // "end:..." with its prefix swapped as asked.
    const char* pszReason = kEndTexts[nReason] + 4;
    std::snprintf(record.szContentType, sizeof(record.szContentType), "%s:%s", pszWhat, pszReason);
    m_pfnDataCallback(m_bMultipart ? 0 : m_nIndex, m_pUserData, &record);
}

void CHttpReceiver::End(int nReason) {
    m_bReconnecting = 0;
    m_nEndReason = nReason;
    Announce("end", nReason);
}

int CHttpReceiver::EndOfRead(int nRead, bool bClosing) const {
    switch (nRead) {
    case kReadStopped:
        return HTTP_END_STOPPED;
    case kReadFraming:
        return HTTP_END_FRAMING;
    case kReadComplete: // the body's framing says it is whole
        return bClosing ? HTTP_END_CLOSING_DELIMITER : HTTP_END_COMPLETE;
    case kReadTimeOut:
        return bClosing ? HTTP_END_CLOSING_DELIMITER : HTTP_END_TIMEOUT;
    default: // the end of the connection (or of a chunked body), or a reset
        return bClosing ? HTTP_END_CLOSING_DELIMITER : HTTP_END_PEER_CLOSED;
    }
}

void CHttpReceiver::Deliver(int nFirstArg, char* pData, int nLen, const char* pszType) {
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

void CHttpReceiver::DeliverPart(void* pCtx, char* pData, int nLen, const char* pszType) {
    static_cast<CHttpReceiver*>(pCtx)->Deliver(0, pData, nLen, pszType);
}

int CHttpReceiver::RecvStream() {
    char szType[kTypeMax + 1];
    CopyType(szType, m_pHead->GetContentType());
    // One read takes what a busy socket holds, up to four pieces; the
    // callback still gets them kHttpRecvBufSize bytes at most at a time.
    char buf[4 * kHttpRecvBufSize];
    for (;;) {
        // A raw stream has no pace: it waits as long as the connection
        // lasts, unless the application set a stream time-out.
        const int r = m_pBody->Read(buf, sizeof(buf),
                                    m_bTimeOutSet.load() != 0 ? m_nStreamTimeOutMs.load() : -1);
        if (r <= 0) {
            return EndOfRead(r, false);
        }
        for (int nAt = 0; nAt < r; nAt += kHttpRecvBufSize) {
            Deliver(m_nIndex, buf + nAt, std::min(kHttpRecvBufSize, r - nAt), szType);
        }
    }
}

int CHttpReceiver::RecvMultipart() {
    CHttpPartSplitter splitter(m_szBoundary, DeliverPart, this, m_bBoundaryCut);
    for (;;) {
        int nRoom = 0;
        char* p = splitter.Space(&nRoom);
        const int n = m_pBody->Read(p, nRoom, m_nStreamTimeOutMs.load());
        if (n <= 0) {
            return EndOfRead(n, splitter.SawClosingDelimiter());
        }
        CHttpPartSplitter::Result r = splitter.Commit(n);
        if (r != CHttpPartSplitter::kGoOn) {
            return EndOfSplit(r);
        }
    }
}
