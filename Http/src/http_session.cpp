// CHttpSession: opening, sending, header access and closing of one handle.
#include "http_session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "http_errno.h"
#include "http_log.h"
#include "http_text.h"

// ---------------------------------------------------------------- session

CHttpSession::CHttpSession(int nIndex)
    : m_nIndex(nIndex), m_pfnDataCallback(nullptr), m_pUserData(nullptr), m_nErrNo(0),
      m_pszCredentials(nullptr), m_bDigest(false), m_nNonceCount(0), m_nAuthScheme(HTTP_AUTH_NONE),
      m_bTlsVerify(1), m_bTlsPin(false), m_aTlsPin(), m_nRefs(0), m_bOpen(false),
      m_bClosing(false) {
    std::memset(m_szScheme, 0, sizeof(m_szScheme));
    std::memset(m_szHost, 0, sizeof(m_szHost));
    m_wPort = 0;
    std::memset(m_szPath, 0, sizeof(m_szPath));
    std::memset(m_szQuery, 0, sizeof(m_szQuery));
    std::memset(m_szParams, 0, sizeof(m_szParams));
    std::memset(m_szFragment, 0, sizeof(m_szFragment));
    std::memset(m_szRequestUri, 0, sizeof(m_szRequestUri));
    OXR_MutexCreate(&m_hCallMutex, 0);
}

// Members go in reverse order: the transport (which joins a receiver still
// running) before the request codec, which wipes its Authorization texts.
CHttpSession::~CHttpSession() {
    if (m_pszCredentials != nullptr) {
        HttpWipe(m_pszCredentials, std::strlen(m_pszCredentials));
        delete[] m_pszCredentials;
    }
    HttpWipe(&m_cChallenge, sizeof(m_cChallenge));
    OXR_MutexDestroy(&m_hCallMutex);
}

int CHttpSession::Open(const char* pszUrl, int nMethod, const char* pszCredentials, int,
                       int nTimeOutMs) {
    if (ParseUrl(pszUrl) == -1) {
        SetLastErrNo(HTTP_ERR_BAD_URL);
        HTTP_LOG(kLogFailure, "CHttpSession Open Return -1, ParseUrl URL Error\n");
        return -1;
    }
    m_cParser.SetHost(m_szHost);
    m_cParser.SetRequestLine(nMethod, m_szRequestUri);
    if (pszCredentials != nullptr) {
        SetCredentials(pszCredentials);
    }
    return RecordResult(m_cRequest.ConnectToServer(m_szHost, m_wPort, nTimeOutMs));
}

void CHttpSession::SetDataCallback(OXR_HTTP_DataCallback pfnCallback, void* pUserData) {
    m_pfnDataCallback = pfnCallback;
    m_pUserData = pUserData;
    m_cRequest.SetDataCallback(m_nIndex, pfnCallback, pUserData);
}

int CHttpSession::SendRequest(const char* pszContentLength, const char* pBody, int nBodyLen,
                              int nTimeOutMs) {
    // The caller's text is sent unchanged; a null one is refused by AddHeader
    // and the request goes on without (or with an earlier) Content-Length.
    RecordResult(m_cParser.AddHeader("Content-Length", pszContentLength));
    m_cRequest.ForgetLastExchange();
    // https: the handshake comes with the first request (or the first after
    // a new connection), so the application can set the options before.
    if (IsHttps() && !m_cRequest.HasTls()) {
        // After a refused handshake (its connection is gone) a new one first.
        int nResult = m_cRequest.GetSocket() == -1
                          ? m_cRequest.ConnectToServer(m_szHost, m_wPort, nTimeOutMs)
                          : 0;
        if (nResult == 0) {
            nResult = m_cRequest.StartTls(m_szHost, m_bTlsVerify, m_bTlsPin ? m_aTlsPin : nullptr,
                                          nTimeOutMs);
        }
        if (nResult != 0) {
            return RecordResult(nResult);
        }
    }
    // A Digest challenge accepted before is answered at once, with the next
    // nonce count, so the request needs no extra round trip.
    if (m_bDigest && PutDigestAnswer(pBody, nBodyLen) != 0) {
        return -1;
    }
    // A 401 with a Digest challenge is answered on a fresh connection; a
    // second 401 is final unless its nonce only went stale. Two retries at
    // the most, whatever the device sends.
    for (int nRetries = 0;; ++nRetries) {
        int nResult = Exchange(pBody, nBodyLen, nTimeOutMs);
        if (nResult == 0) {
            return m_cRequest.StartRecvThread();
        }
        if (nRetries == 2 || AnswerChallenge(nRetries > 0, pBody, nBodyLen) != 0) {
            return RecordResult(nResult);
        }
        nResult = m_cRequest.ConnectToServer(m_szHost, m_wPort, nTimeOutMs);
        if (nResult == 0 && IsHttps()) {
            nResult = m_cRequest.StartTls(m_szHost, m_bTlsVerify, m_bTlsPin ? m_aTlsPin : nullptr,
                                          nTimeOutMs);
        }
        if (nResult != 0) {
            return RecordResult(nResult);
        }
    }
}

int CHttpSession::Exchange(const char* pBody, int nBodyLen, int nTimeOutMs) {
    int nMsgLen = 0;
    char* pMsg = m_cParser.FormatMsg(&nMsgLen, pBody, nBodyLen);
    if (pMsg == nullptr || nMsgLen <= 0) {
        HTTP_LOG(kLogFailure, "CHttpSession SendRequest Return -1, m_cParser.FormatMsg Error\n");
        // Headers that fit one by one but not together: the caller's to fix.
        return m_cParser.HeadFits() ? -1 : HTTP_ERR_BAD_PARAM;
    }
    // A device that stops reading would otherwise hold the caller in the
    // send for ever; the request's time-out bounds each wait for progress.
    m_cRequest.SetSendTimeOut(nTimeOutMs);
    int nResult = m_cRequest.SendMsg(pMsg, nMsgLen);
    if (nResult != 0) {
        return nResult;
    }
    return m_cRequest.RecvHead(nTimeOutMs);
}

int CHttpSession::AddHeader(const char* pszName, const char* pszValue) {
    return RecordResult(m_cParser.AddHeader(pszName, pszValue));
}

int CHttpSession::RemoveHeader(const char* pszName) {
    return m_cParser.RemoveHeader(pszName);
}

const char* CHttpSession::GetInfoByName(const char* pszName) {
    return m_cRequest.GetRecvParser().GetResponseHeader(pszName);
}

int CHttpSession::GetInfoByType(int, int, int) {
    m_nErrNo = HTTP_ERR_INFO_TYPE;
    return 0;
}

int CHttpSession::GetContent(int) {
    return 0;
}

int CHttpSession::Close() {
    return m_cRequest.Close();
}

bool CHttpSession::OnOwnReceiver() const {
    return m_cRequest.OnReceiverThread();
}
