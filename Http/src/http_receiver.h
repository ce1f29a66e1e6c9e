// The receiver of a session: after a response head, one thread reads the
// body and hands it to the data callback, raw or one whole part at a time;
// it keeps the stream's state (running, ended and why, deliveries) for any
// thread to read.
#ifndef HTTP_RECEIVER_H
#define HTTP_RECEIVER_H

#include <atomic>

#include "http_body.h"
#include "http_connection.h"
#include "http_head.h"
#include "http_part.h"
#include "http_splitter.h"
#include "oxr.h"
#include "oxr_http.h"

// Longest wait of the multipart receiver for more of the stream.
const int kHttpStreamTimeOutMs = 8000;
// What a restart hook gives when the request cannot be made again.
const int kRestartImpossible = -2;

class CHttpReceiver {
public:
    CHttpReceiver();
    ~CHttpReceiver();
    CHttpReceiver(const CHttpReceiver&) = delete;
    CHttpReceiver& operator=(const CHttpReceiver&) = delete;

    void SetDataCallback(int nIndex, OXR_HTTP_DataCallback pfnCallback, void* pUserData);
    // One last delivery (no data) when the receiver ends, telling why.
    void SetEndRecord(bool bOn) { m_bEndRecord = bOn ? 1 : 0; }
    bool GetEndRecord() const { return m_bEndRecord.load() != 0; }
    // May be set while the receiver runs: read at each wait. Once the
    // application has set it, it bounds raw streams too.
    void SetStreamTimeOut(int nTimeOutMs) {
        m_nStreamTimeOutMs = nTimeOutMs;
        m_bTimeOutSet = 1;
    }
    int GetStreamTimeOut() const { return m_nStreamTimeOutMs.load(); }

    // Makes the request again over a new connection within nTimeOutMs, on
    // the receiver's thread: 0 when a head was accepted and its body can be
    // read, -1 when the attempt failed, kRestartImpossible when the request
    // cannot be made again at all.
    typedef int (*RestartFn)(void* pCtx, int nTimeOutMs);
    void SetRestart(RestartFn pfnRestart, void* pCtx) {
        m_pfnRestart = pfnRestart;
        m_pRestartCtx = pCtx;
    }
    // Reconnect: the longest pause between attempts in ms (0: off). A stream
    // that the device ends, that goes quiet or whose framing breaks is made
    // again until Close.
    void SetReconnect(int nMaxMs) { m_nReconnectMaxMs = nMaxMs; }
    int GetReconnect() const { return m_nReconnectMaxMs.load(); }
    int GetReconnects() const { return m_nReconnects.load(); }

    // A new exchange begins: the last one's stream state no longer applies.
    // The one place the state is reset (the last receiver has ended).
    void Forget();
    // No head came for this exchange: the state says why (HTTP_END_*).
    void NoHead(int nWhy) { m_nEndReason = nWhy; }

    // Starts delivering the body of the response whose head is in cHead,
    // read through pBody, on a thread of its own, or on the calling thread
    // (bHere: it returns when the stream has ended). 0 (also when no
    // receiver is needed: raw and no callback), or -1 with a record when the
    // thread could not start.
    int Start(CHttpConnection& cConn, CHttpResponseHead& cHead, CHttpBodyReader* pBody,
              bool bHere = false);
    // No more deliveries: Close has begun (the caller then interrupts the
    // connection, which ends the receiver's wait).
    void Stop() { m_bStop = 1; }
    // Joins a receiver that has ended; true while one still runs (on
    // another thread than the caller's).
    bool Running();
    // Waits for the receiver's thread to end (not from that thread).
    void Join();
    bool HasThread() const { return m_hThread.load() != nullptr; }
    // Called on the receiver's own thread (from its data callback).
    bool OnOwnThread() const {
        OXR_THREAD hThread = m_hThread.load();
        return hThread != nullptr && OXR_Thread_IsCurrent(hThread) != 0;
    }
    // The receiver started last has returned (or none was started).
    bool Ended() const { return m_bRecvEnded.load() != 0; }
    // The receiver whose thread calls this (from its data callback), or NULL.
    static const CHttpReceiver* OfCallingThread() {
        return static_cast<const CHttpReceiver*>(OXR_Thread_Arg(RecvThreadProc));
    }

    // Progress, readable from any thread.
    // HTTP_STREAM_*, and in *pnReason why it ended, dropped or no head came.
    int GetStreamState(int* pnReason) const;
    int GetStreamState() const {
        int nReason = HTTP_END_NONE;
        return GetStreamState(&nReason);
    }
    int GetEndReason() const {
        int nReason = HTTP_END_NONE;
        GetStreamState(&nReason);
        return nReason;
    }
    int GetDeliveries() const { return m_nDeliveries.load(); }
    // How the last stream was read: multipart (with its boundary), chunked.
    bool IsMultipart() const { return m_bMultipart; }
    bool IsChunked() const { return m_bChunked; }
    const char* GetBoundary() const { return m_szBoundary; }

private:
    static int RecvThreadProc(void* pArg);
    void Receive();
    // Each returns why it ended (HTTP_END_*).
    int RecvStream();
    int RecvMultipart();
    int EndOfRead(int nRead, bool bClosing) const;
    static void DeliverPart(void* pCtx, char* pData, int nLen, const char* pszType);
    void Deliver(int nFirstArg, char* pData, int nLen, const char* pszType);
    // A delivery without data that tells what happened ("end:...", "reconnect:...").
    void Announce(const char* pszWhat, int nReason);
    void End(int nReason);
    // Raw or multipart, from the head in m_pHead.
    void ChooseMode();
    // After a drop: pauses and makes the request again until a new stream
    // has begun (0), the session is closed (-1), or the request cannot be
    // made again (1). *pnPauseMs: the last pause, 0 for none yet.
    int Reconnect(int nReason, int* pnPauseMs);

    // Held while the thread is created and its handle stored: the thread
    // passes it before it reads anything, so a callback that calls Close is
    // recognised before it could join itself.
    OXR_MUTEX m_hMutex;
    std::atomic<OXR_THREAD> m_hThread;
    std::atomic<int> m_bStop;      // set by Stop: nothing more is delivered
    std::atomic<int> m_bRecvEnded; // set by the receiver as it returns
    // Written before the receiver starts, read by it alone afterwards.
    CHttpConnection* m_pConn;
    CHttpResponseHead* m_pHead;
    CHttpBodyReader* m_pBody;
    RestartFn m_pfnRestart;
    void* m_pRestartCtx;
    bool m_bMultipart;
    bool m_bChunked;
    char m_szBoundary[kHttpBoundaryMax + 1];
    bool m_bBoundaryCut; // the boundary was longer than m_szBoundary holds
    bool m_bDocument;    // raw with a Content-Length: never made again
    int m_nIndex;
    OXR_HTTP_DataCallback m_pfnDataCallback;
    void* m_pUserData;
    std::atomic<int> m_nStreamTimeOutMs;
    std::atomic<int> m_bTimeOutSet; // by the application: raw streams are bounded too
    std::atomic<int> m_bEndRecord;
    std::atomic<int> m_nReconnectMaxMs;
    std::atomic<int> m_nReconnects; // since the session was opened
    // While a dropped stream is made again: set, with why it dropped.
    std::atomic<int> m_bReconnecting;
    std::atomic<int> m_nDropReason;
    std::atomic<int> m_bRestarting; // its own thread makes the request again
    // HTTP_END_* once the receiver ended (0 before), deliveries so far, and
    // whether one was started for the last exchange.
    std::atomic<int> m_nEndReason;
    std::atomic<int> m_nDeliveries;
    std::atomic<int> m_bStarted;
};

#endif // HTTP_RECEIVER_H
