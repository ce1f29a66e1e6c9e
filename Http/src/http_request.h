// The transport of one session: the connection, the request exchange
// (http_request.cpp) and the receiver thread that hands the rest of the
// stream to the data callback (http_receiver.cpp). Failures come back as
// results; the session records the error numbers.
#ifndef HTTP_REQUEST_H
#define HTTP_REQUEST_H

#include <atomic>
#include <cstdint>

#include "http_chunked.h"
#include "http_parse.h"
#include "http_part.h"
#include "oxr.h"
#include "oxr_http.h"
#include "oxr_tls.h"

// Receive buffer of the response head, and the largest raw piece delivered.
const int kHttpRecvBufSize = 16384;
// Longest wait of the multipart receiver for more of the stream.
const int kHttpStreamTimeOutMs = 8000;

class CHttpPartSplitter;

class CHttpRequest {
public:
    CHttpRequest();
    ~CHttpRequest();
    CHttpRequest(const CHttpRequest&) = delete;
    CHttpRequest& operator=(const CHttpRequest&) = delete;

    // Resolves and connects within nTimeOutMs (below 0: no limit but Abort).
    // 0, HTTP_ERR_CONNECT or HTTP_ERR_SOCKET.
    int ConnectToServer(const char* pszHost, uint16_t wPort, int nTimeOutMs);
    // https: the TLS handshake over the connection, the certificate checked
    // against the host (nVerify 1) or the SHA-256 pin (pPin, 32 bytes, when
    // given). 0, or HTTP_ERR_CONNECT with a record naming the reason.
    int StartTls(const char* pszHost, int nVerify, const unsigned char* pPin, int nTimeOutMs);
    bool HasTls() const { return m_pTls != nullptr; }
    // Sends every byte, each wait for room bounded by the send time-out.
    // 0 or HTTP_ERR_SOCKET.
    int SendMsg(const char* pData, int nLen);
    // Bounds every wait of the following sends for the device to take more
    // bytes (below 0: no bound).
    void SetSendTimeOut(int nTimeOutMs) { m_nSendTimeOutMs = nTimeOutMs; }
    // A new request begins: the last one's status and stream state no longer
    // apply (unless its receiver still runs: the request will be refused).
    void ForgetLastExchange();
    // Receives and parses the response head, each wait for more bytes
    // bounded by nTimeOutMs (below 0: no limit but Abort). 0; -1 when no
    // complete head arrived or its status is refused; or the parse's error
    // number.
    int RecvHead(int nTimeOutMs);
    // Starts the receiver for the response just received; 0, or -1.
    int StartRecvThread();
    void SetDataCallback(int nIndex, OXR_HTTP_DataCallback pfnCallback, void* pUserData);
    // One last delivery (no data) when the receiver ends, telling why.
    void SetEndRecord(bool bOn) { m_bEndRecord = bOn ? 1 : 0; }
    bool GetEndRecord() const { return m_bEndRecord.load() != 0; }
    // Wakes whatever this transport waits in, on any thread, and makes every
    // later wait end at once: the session is being closed.
    void Abort();
    // Stops the receiver and closes the connection; 0, or -1 when called
    // from the receiver's own callback.
    int Close();

    // The receiver's progress, readable from any thread.
    int GetStreamState() const; // HTTP_STREAM_*
    int GetEndReason() const;   // HTTP_END_* once ended
    int GetDeliveries() const { return m_nDeliveries.load(); }
    // Status code of the last head received and understood, 0 when none.
    int GetStatus() const { return m_nStatus.load(); }
    // Its reason phrase; read it on the thread that sent the request.
    const char* GetReason() const { return m_cRecvParser.GetReason(); }

    CHttpParser& GetRecvParser() { return m_cRecvParser; }
    int GetSocket() const { return m_nSocket; }
    int GetHeadLen() const { return m_nHeadLen; }
    int GetRecvLen() const { return m_nRecvLen; }
    int GetLeftLen() const { return m_nLeftLen; }
    int IsMultipart() const { return m_bMultipart; }
    int IsChunked() const { return m_bChunked; }
    const char* GetBoundary() const { return m_szBoundary; }
    const char* GetRecvBuf() const { return m_szRecvBuf; }
    // A receiver was started and has not been joined yet.
    bool HasReceiver() const { return m_hThread.load() != nullptr; }
    // Called on the receiver's own thread (from its data callback).
    bool OnReceiverThread() const {
        OXR_THREAD hThread = m_hThread.load();
        return hThread != nullptr && OXR_Thread_IsCurrent(hThread) != 0;
    }
    // The receiver started last has returned (or none was started).
    bool ReceiverEnded() const { return m_bRecvEnded.load() != 0; }

    // Seams for tests and fuzzing: runtime failures that loopback cannot
    // provoke, a stream time-out shorter than kHttpStreamTimeOutMs, and a
    // byte source in place of the socket (it never has to wait; 0 is the end).
    typedef int (*SendFn)(int nSocket, const char* pData, int nLen, int nFlags);
    typedef OXR_THREAD (*ThreadCreateFn)(OXR_THREAD_PROC pfnProc, void* pArg, int, int, int, int);
    typedef int (*SourceFn)(void* pCtx, char* pBuf, int nLen);
    void SetRuntimeSeams(SendFn pfnSendn, ThreadCreateFn pfnThreadCreate);
    void SetStreamTimeOut(int nTimeOutMs) { m_nStreamTimeOutMs = nTimeOutMs; }
    int GetStreamTimeOut() const { return m_nStreamTimeOutMs; }
    void SetSource(SourceFn pfnSource, void* pCtx);
    // Runs the receiver on the calling thread, as its own thread would,
    // after RecvHead.
    void ReceiveHere();

private:
    // What a read of the receiver ends with, besides bytes.
    enum {
        kReadClosed = 0,
        kReadTimeOut = -1,
        kReadStopped = -2,
        kReadFailed = -3,
        kReadFraming = -4
    };

    // Chooses raw or multipart from the response head; false when no
    // receiver is needed (raw, and no callback to hand the bytes to).
    bool ChooseMode();
    static int RecvThreadProc(void* pArg);
    void Receive();
    // Each returns why it ended (HTTP_END_*).
    int RecvStream();
    int RecvMultipart();
    int EndOfRead(int nRead, bool bClosing) const;
    static void DeliverPart(void* pCtx, char* pData, int nLen, const char* pszType);
    void Deliver(int nFirstArg, char* pData, int nLen, const char* pszType);
    void End(int nReason);

    // Joins a receiver that has ended; true while one still runs (a new
    // request would then share its socket).
    bool ReceiverRunning();
    // One receive that never waits: bytes, 0 at the end, OXR_E_WOULDBLOCK,
    // -1 on failure.
    int RecvNow(char* p, int nLen);
    // Waits until the connection can be read (or written), at most
    // nTimeOutMs (below 0: no limit), looking at the stop flag every
    // kStopCheckMs. >0 ready, 0 time-out, <0 stopped or failed.
    int WaitConn(bool bWrite, int nTimeOutMs, const std::atomic<int>& bStop);
    // Receives whatever arrives, waiting at most nTimeOutMs (below 0: no
    // limit): bytes, or one of the kRead* ends.
    int RecvSome(char* p, int nLen, int nTimeOutMs);
    // As RecvSome with the stream time-out, but yields body bytes: chunked
    // framing removed in place when the response uses it.
    int ReadBody(char* p, int nLen);

    // Read anew by the receiver for every receive; closed only after the
    // receiver has been joined, so it never names another session's socket.
    std::atomic<int> m_nSocket;
    int m_bMultipart;
    int m_nRecvLen;
    int m_nLeftLen;
    int m_nHeadLen;
    std::atomic<int> m_bStop;      // asks the receiver to end; set by Close
    std::atomic<int> m_bAborted;   // set once by Abort: every wait ends
    std::atomic<int> m_bRecvEnded; // set by the receiver as it returns
    CHttpParser m_cRecvParser;
    char m_szBoundary[kHttpBoundaryMax + 1];
    char m_szRecvBuf[kHttpRecvBufSize];
    int m_bChunked;              // multipart body in chunked framing
    CHttpChunkDecoder m_cChunks; // receiver thread only, once started
    // Written by the starting thread; read by the receiver (in a callback
    // that calls Close) only after it has passed m_hStartMutex.
    std::atomic<OXR_THREAD> m_hThread;
    // Held while the receiver is created and its handle stored, and while the
    // socket is shut down by Abort or closed and replaced by its owner.
    OXR_MUTEX m_hMutex;
    int m_nIndex;
    OXR_HTTP_DataCallback m_pfnDataCallback;
    void* m_pUserData;
    int m_nSendTimeOutMs;
    std::atomic<int> m_nStreamTimeOutMs; // may be set while the receiver runs
    std::atomic<int> m_bEndRecord;
    // Progress, read from other threads: HTTP_END_* once the receiver ended
    // (0 before), deliveries so far, and whether one was started.
    std::atomic<int> m_nEndReason;
    std::atomic<int> m_nDeliveries;
    std::atomic<int> m_bStarted;
    std::atomic<int> m_nStatus;
    SendFn m_pfnSendn;
    ThreadCreateFn m_pfnThreadCreate;
    SourceFn m_pfnSource;
    void* m_pSourceCtx;
    // Wakes this transport's waits when Close or Abort comes from another
    // thread (NULL: waits come back in short slices instead).
    OXR_WAKER* m_pWaker;
    // https: the TLS connection over m_nSocket. Used by one thread at a time
    // (the request's, then the receiver's); freed only after the receiver
    // has been joined.
    OXR_TLS* m_pTls;
};

#endif // HTTP_REQUEST_H
