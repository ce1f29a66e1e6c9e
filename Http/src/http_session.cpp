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
      m_pszCredentials(nullptr), m_nMethod(HTTP_METHOD_INVALID), m_cTarget(), m_cConnected(),
      m_bCredentials(true), m_nFollow(0), m_nHops(0), m_szHops(), m_aszHop(), m_pKeptBody(nullptr),
      m_nKeptBodyLen(0), m_bBodyLost(false), m_bDigest(false), m_nNonceCount(0),
      m_nAuthScheme(HTTP_AUTH_NONE), m_bTlsVerify(1), m_bTlsPin(false), m_aTlsPin(), m_nRefs(0),
      m_bOpen(false), m_bClosing(false) {
    std::memset(m_szScheme, 0, sizeof(m_szScheme));
    std::memset(m_szHost, 0, sizeof(m_szHost));
    std::memset(m_szZone, 0, sizeof(m_szZone));
    m_wPort = 0;
    std::memset(m_szPath, 0, sizeof(m_szPath));
    std::memset(m_szQuery, 0, sizeof(m_szQuery));
    std::memset(m_szParams, 0, sizeof(m_szParams));
    std::memset(m_szFragment, 0, sizeof(m_szFragment));
    std::memset(m_szRequestUri, 0, sizeof(m_szRequestUri));
    m_cRequest.GetReceiver().SetRestart(RestartThunk, this);
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
    KeepBody(nullptr, 0);
    OXR_MutexDestroy(&m_hCallMutex);
}

int CHttpSession::Open(const char* pszUrl, int nMethod, const char* pszCredentials, int,
                       int nTimeOutMs) {
    if (ParseUrl(pszUrl) == -1) {
        SetLastErrNo(HTTP_ERR_BAD_URL);
        HTTP_LOG(kLogFailure, "CHttpSession Open Return -1, ParseUrl URL Error\n");
        return -1;
    }
    // A link-local address's zone picks the interface; the HOST line and
    // the TLS name carry the address without it.
    HttpSplitZone(m_szHost, m_szZone, sizeof(m_szZone));
    m_nMethod = nMethod;
    AimAtOwnUrl();
    if (pszCredentials != nullptr) {
        SetCredentials(pszCredentials);
    }
    char szConnectHost[sizeof(m_szHost) + sizeof(m_szZone) + 2];
    ConnectHost(m_cTarget, szConnectHost, sizeof(szConnectHost));
    const int nResult = m_cRequest.ConnectToServer(szConnectHost, m_wPort, nTimeOutMs);
    if (nResult == 0) {
        m_cConnected = m_cTarget;
    }
    return RecordResult(nResult);
}

void CHttpSession::SetDataCallback(OXR_HTTP_DataCallback pfnCallback, void* pUserData) {
    m_pfnDataCallback = pfnCallback;
    m_pUserData = pUserData;
    m_cRequest.SetDataCallback(m_nIndex, pfnCallback, pUserData);
}

int CHttpSession::AddHeader(const char* pszName, const char* pszValue) {
    return RecordResult(m_cParser.AddHeader(pszName, pszValue));
}

int CHttpSession::RemoveHeader(const char* pszName) {
    return m_cParser.RemoveHeader(pszName);
}

const char* CHttpSession::GetInfoByName(const char* pszName) {
    if (pszName != nullptr && pszName[0] == ':') {
        // Pseudo fields: a colon never begins a header's name.
        if (std::strcmp(pszName, ":redirects") == 0) {
            std::snprintf(m_szHops, sizeof(m_szHops), "%d", m_nHops);
            return m_szHops;
        }
        if (std::strncmp(pszName, ":redirect-", 10) == 0) {
            const int n = std::atoi(pszName + 10);
            return n >= 1 && n <= m_nHops && n <= kHopsKept ? m_aszHop[n - 1] : nullptr;
        }
        return nullptr;
    }
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
    return m_cRequest.GetReceiver().OnOwnThread();
}
