// The transport of one session: connection, request exchange, and the
// receiver thread that hands the rest of the stream to the data callback.
#ifndef HTTP_REQUEST_H
#define HTTP_REQUEST_H

#include <atomic>
#include <cstdint>

#include "http_parse.h"
#include "oxr.h"
#include "oxr_http.h"

const int kHttpRecvBufSize = 16384;

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
    const char* GetBoundary() const { return m_szBoundary; }
    const char* GetRecvBuf() const { return m_szRecvBuf; }

private:
    static int RecvThreadProc(void* pArg);
    int RecvStream();
    int RecvMultipart();

    std::atomic<int> m_nSocket;  // read anew by the receiver for every receive
    int m_bMultipart;
    int m_nRecvLen;
    std::atomic<int> m_nLeftLen;
    int m_nHeadLen;
    std::atomic<int> m_bStop;  // asks the receiver to end
    CHttpParser m_cRecvParser;
    char m_szBoundary[72];
    char m_szRecvBuf[kHttpRecvBufSize];
    OXR_THREAD m_hThread;
    int m_nIndex;
    OXR_HTTP_DataCallback m_pfnDataCallback;
    void* m_pUserData;
};

#endif  // HTTP_REQUEST_H
