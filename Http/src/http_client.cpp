// The exported functions and the process-wide objects behind them.
#include "oxr_http.h"

#include "http_client.h"
#include "http_log.h"
#include "http_session.h"
#include "oxr.h"

std::atomic<int> g_nLastErrNo(0);

// Built at load in this order (the log sink first, so the registry can log)
// and torn down in the reverse order at unload.
CHttpLog g_cHttpLog;
CHttpSessionMgr g_cSessionMgr;

namespace {

// Looks a handle up; a handle with no session sets -11 and writes a record.
CHttpSession* FindSession(int nHandle, const char* pszFile, int nLine) {
    CHttpSession* pSession = g_cSessionMgr.GetHttpSession(nHandle);
    if (pSession == nullptr) {
        SetLastErrNo(HTTP_ERR_NO_SESSION);
        g_cHttpLog.WriteLog(2, pszFile, nLine, "%s", "Get HttpSession return NULL, Func Return -1\n");
    }
    return pSession;
}

#define FIND_SESSION(handle) FindSession((handle), __FILE__, __LINE__)

// Creates and opens a session; a session whose open failed is destroyed at
// once, so its handle goes back to the pool instead of leaking.
CHttpSession* OpenSession(const char* pszUrl, int nMethod, const char* pszCredentials,
                          int nUnused, int nTimeOutMs) {
    CHttpSession* pSession = g_cSessionMgr.CreateHttpSession();
    if (pSession == nullptr) {
        return nullptr;
    }
    if (pSession->Open(pszUrl, nMethod, pszCredentials, nUnused, nTimeOutMs) != 0) {
        g_cSessionMgr.DestroyHttpSession(pSession);
        return nullptr;
    }
    return pSession;
}

}  // namespace

extern "C" {

int OXR_HTTP_CALL OXR_HTTP_ClientInit(void) { return OXR_Init(); }

int OXR_HTTP_CALL OXR_HTTP_ClientFini(void) {
    OXR_Fini();
    return 0;
}

void OXR_HTTP_CALL OXR_HTTP_SetLog(int nLevel) { g_cHttpLog.SetLevel(nLevel); }

int OXR_HTTP_CALL OXR_HTTP_GetErrNo(int nHandle) {
    CHttpSession* pSession = g_cSessionMgr.GetHttpSession(nHandle);
    return pSession != nullptr ? pSession->GetErrNo() : g_nLastErrNo.load();
}

int OXR_HTTP_CALL OXR_HTTP_Open(const char* pszUrl, int nMethod, const char* pszCredentials,
                                int nUnused, int nTimeOutMs) {
    CHttpSession* pSession = OpenSession(pszUrl, nMethod, pszCredentials, nUnused, nTimeOutMs);
    if (pSession == nullptr) {
        HTTP_LOG(2, "Create HttpSession return NULL, Func Return -1\n");
        return -1;
    }
    return pSession->GetIndex();
}

int OXR_HTTP_CALL OXR_HTTP_OpenEx(const char* pszUrl, int nMethod, const char* pszCredentials,
                                  int nUnused, int nTimeOutMs, OXR_HTTP_DataCallback pfnCallback,
                                  void* pUserData) {
    CHttpSession* pSession = OpenSession(pszUrl, nMethod, pszCredentials, nUnused, nTimeOutMs);
    if (pSession == nullptr) {
        HTTP_LOG(2, "Create HttpSession return NULL, Func Return -1\n");
        return -1;
    }
    pSession->SetDataCallback(pfnCallback, pUserData);
    return pSession->GetIndex();
}

int OXR_HTTP_CALL OXR_HTTP_SendRequest(int nHandle, const char* pszContentLength,
                                       const char* pBody, int nBodyLen, int nTimeOutMs) {
    CHttpSession* pSession = FIND_SESSION(nHandle);
    if (pSession == nullptr) {
        return -1;
    }
    return pSession->SendRequest(pszContentLength, pBody, nBodyLen, nTimeOutMs);
}

int OXR_HTTP_CALL OXR_HTTP_AddHeader(int nHandle, const char* pszName, const char* pszValue) {
    CHttpSession* pSession = FIND_SESSION(nHandle);
    if (pSession == nullptr) {
        return -1;
    }
    return pSession->AddHeader(pszName, pszValue);
}

int OXR_HTTP_CALL OXR_HTTP_RemoveHeader(int nHandle, const char* pszName) {
    CHttpSession* pSession = FIND_SESSION(nHandle);
    if (pSession == nullptr) {
        return -1;
    }
    return pSession->RemoveHeader(pszName);
}

int OXR_HTTP_CALL OXR_HTTP_GetInfoByType(int nHandle, int nType, int nArg1, int nArg2) {
    CHttpSession* pSession = FIND_SESSION(nHandle);
    if (pSession == nullptr) {
        return -1;
    }
    return pSession->GetInfoByType(nType, nArg1, nArg2) == 0 ? -1 : 0;
}

const char* OXR_HTTP_CALL OXR_HTTP_GetInfoByName(int nHandle, const char* pszName) {
    CHttpSession* pSession = FIND_SESSION(nHandle);
    if (pSession == nullptr) {
        return nullptr;
    }
    return pSession->GetInfoByName(pszName);
}

int OXR_HTTP_CALL OXR_HTTP_GetContent(int nHandle, int nUnused) {
    CHttpSession* pSession = FIND_SESSION(nHandle);
    if (pSession == nullptr) {
        return -1;
    }
    return pSession->GetContent(nUnused);
}

int OXR_HTTP_CALL OXR_HTTP_Close(int nHandle) {
    CHttpSession* pSession = FIND_SESSION(nHandle);
    if (pSession == nullptr) {
        return -1;
    }
    // Closing from the session's own data callback cannot wait for the
    // receiver it runs on: refused, and the session stays.
    if (pSession->Close() != 0) {
        return -1;
    }
    g_cSessionMgr.DestroyHttpSession(pSession);
    return 0;
}

}  // extern "C"
