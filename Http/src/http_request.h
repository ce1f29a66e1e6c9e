// The transport of one session: connection, request exchange, and the
// receiver thread that hands the rest of the stream to the data callback.
#ifndef HTTP_REQUEST_H
#define HTTP_REQUEST_H

#include <atomic>
#include <cstdint>

#include "http_chunked.h"
#include "http_parse.h"
#include "oxr.h"
#include "oxr_http.h"

const int kHttpRecvBufSize = 16384;
// Longest wait of the multipart receiver for more of the stream.
const int kHttpStreamTimeOutMs = 8000;

struct HttpPartBuffer;

class CHttpRequest {
public:
    CHttpRequest();
    ~CHttpRequest();
    CHttpRequest(const CHttpRequest&) = delete;
    CHttpRequest& operator=(const CHttpRequest&) = delete;

    // Resolves and connects within nTimeOutMs; 0, or a negative result.
    int ConnectToServer(const char* pszHost, uint16_t wPort, int nTimeOutMs);
    // Sends every byte; 0, or -1.
    int SendMsg(const char* pData, int nLen);
    // Bounds every wait of the following sends for the device to take more
    // bytes (0 or less: no bound).
    void SetSendTimeOut(int nTimeOutMs);
    // Receives and parses the response head; 0, -1, or the parse's result.
    int RecvHead(int nTimeOutMs);
    // Starts the receiver for the response just received; 0, or -1.
    int StartRecvThread();
    void SetDataCallback(int nIndex, OXR_HTTP_DataCallback pfnCallback, void* pUserData);
    // Stops the receiver and closes the connection; 0, or -1 when called
    // from the receiver's own callback.
    int Close();

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
    // The receiver started last has returned (or none was started).
    bool ReceiverEnded() const { return m_bRecvEnded.load() != 0; }

    // Seams for tests: runtime failures that loopback cannot provoke, and a
    // shorter stream time-out than kHttpStreamTimeOutMs.
    typedef int (*SendFn)(int nSocket, const char* pData, int nLen, int nFlags);
    typedef OXR_THREAD (*ThreadCreateFn)(OXR_THREAD_PROC pfnProc, void* pArg, int, int, int, int);
    void SetRuntimeSeams(SendFn pfnSendn, ThreadCreateFn pfnThreadCreate);
    void SetStreamTimeOut(int nTimeOutMs) { m_nStreamTimeOutMs = nTimeOutMs; }

private:
    static int RecvThreadProc(void* pArg);
    int RecvStream();
    int RecvMultipart();

    // Joins a receiver that has ended; true while one still runs (a new
    // request would then share its socket).
    bool ReceiverRunning();
    // One receive of whatever arrives, waiting at most nTimeOutMs (< 0: no
    // limit); > 0 bytes, 0 on time-out or close, < 0 on failure or stop.
    int RecvSome(char* p, int nLen, int nTimeOutMs);
    // As RecvSome with the stream time-out, but yields body bytes: chunked
    // framing removed when the response uses it; 0 also once the last chunk
    // has passed.
    int ReadStream(char* p, int nLen);
    // Fills all nLen bytes; -1 if the stream ends, stalls or is stopped first.
    int ReadFull(char* p, int nLen);
    void Deliver(int nFirstArg, char* pData, int nLen, const char* pszType);

    int SeekPartHead(HttpPartBuffer& buf, int* pnHeadEnd);
    int TakeSizedBody(HttpPartBuffer& buf, int nBody, int nLength);
    int TakeOpenBody(HttpPartBuffer& buf, int nBody);
    int SpillOpenBody(HttpPartBuffer& buf, int nBody);
    void Consume(HttpPartBuffer& buf, int nCount);

    // Read anew by the receiver for every receive; closed only after the
    // receiver has been joined, so it never names another session's socket.
    std::atomic<int> m_nSocket;
    int m_bMultipart;
    int m_nRecvLen;
    int m_nLeftLen;
    int m_nHeadLen;
    std::atomic<int> m_bStop;      // asks the receiver to end; set by Close
    std::atomic<int> m_bRecvEnded; // set by the receiver as it returns
    CHttpParser m_cRecvParser;
    char m_szBoundary[72];
    char m_szRecvBuf[kHttpRecvBufSize];
    int m_bChunked;              // multipart body in chunked framing
    CHttpChunkDecoder m_cChunks; // receiver thread only, once started
    // Written by the starting thread; read by the receiver (in a callback
    // that calls Close) only after it has passed m_hStartMutex.
    std::atomic<OXR_THREAD> m_hThread;
    OXR_MUTEX m_hStartMutex; // held while the receiver is created and its handle stored
    int m_nIndex;
    OXR_HTTP_DataCallback m_pfnDataCallback;
    void* m_pUserData;
    int m_nStreamTimeOutMs;
    SendFn m_pfnSendn;
    ThreadCreateFn m_pfnThreadCreate;
};

#endif // HTTP_REQUEST_H
