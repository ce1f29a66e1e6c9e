// The exported functions and the process-wide objects behind them.
#include "oxr_http.h"

#include "http_client.h"
#include "http_errno.h"
#include "http_log.h"
#include "http_session.h"
#include "oxr.h"

// Built at load in this order (the log sink first, so the registry can log)
// and torn down in the reverse order at unload.
CHttpLog g_cHttpLog;
CHttpSessionMgr g_cSessionMgr;

namespace {

// A session looked up for the length of one export: held, so a Close on
// another thread waits until this call has let it go, and (bAlone) taken
// for this call only, so two threads' calls on one handle take turns.
class CSessionRef {
public:
    CSessionRef(int nHandle, const char* pszFile, int nLine, bool bAlone = true)
        : m_pSession(g_cSessionMgr.GetHttpSession(nHandle)), m_bAlone(bAlone) {
        if (m_pSession == nullptr) {
            SetLastErrNo(HTTP_ERR_NO_SESSION);
            g_cHttpLog.WriteLog(kLogFailure, pszFile, nLine, "%s",
                                "Get HttpSession return NULL, Func Return -1\n");
        } else if (m_bAlone) {
            m_pSession->LockCalls();
        }
    }
    ~CSessionRef() {
        if (m_pSession != nullptr && m_bAlone) {
            m_pSession->UnlockCalls();
        }
        g_cSessionMgr.ReleaseHttpSession(m_pSession);
    }
    CSessionRef(const CSessionRef&) = delete;
    CSessionRef& operator=(const CSessionRef&) = delete;

    CHttpSession* Get() const { return m_pSession; }
    CHttpSession* operator->() const { return m_pSession; }
    // The caller owns the session from here (Close).
    void Detach() { m_pSession = nullptr; }

private:
    CHttpSession* m_pSession;
    bool m_bAlone;
};

// Looks a handle up for this export; a handle with no session sets -11 and
// writes a record naming the export's line.
#define FIND_SESSION(ref, handle) CSessionRef ref((handle), __FILE__, __LINE__)
// The same for an export that only reads atomics (never waits for a call).
#define FIND_SESSION_SHARED(ref, handle) CSessionRef ref((handle), __FILE__, __LINE__, false)

// Creates and opens a session and returns its handle, or -1; a session
// whose open failed is destroyed at once, so its handle goes back to the
// pool instead of leaking. OpenEx's callback is registered before the handle
// can be found, so no request can start a receiver without it.
int OpenSession(const char* pszUrl, int nMethod, const char* pszCredentials, int nUnused,
                int nTimeOutMs, bool bCallback, OXR_HTTP_DataCallback pfnCallback,
                void* pUserData) {
    CHttpSession* pSession = g_cSessionMgr.CreateHttpSession();
    if (pSession == nullptr) {
        return -1;
    }
    if (pSession->Open(pszUrl, nMethod, pszCredentials, nUnused, nTimeOutMs) != 0) {
        g_cSessionMgr.DestroyHttpSession(pSession);
        return -1;
    }
    if (bCallback) {
        pSession->SetDataCallback(pfnCallback, pUserData);
    }
    // Once published, another thread may close it: its handle is read first.
    const int nHandle = pSession->GetIndex();
    g_cSessionMgr.PublishHttpSession(pSession);
    return nHandle;
}

} // namespace

extern "C" {

int OXR_HTTP_CALL OXR_HTTP_ClientInit(void) {
    return OXR_Init();
}

int OXR_HTTP_CALL OXR_HTTP_ClientFini(void) {
    OXR_Fini();
    return 0;
}

void OXR_HTTP_CALL OXR_HTTP_SetLog(int nLevel) {
    g_cHttpLog.SetLevel(nLevel);
}

int OXR_HTTP_CALL OXR_HTTP_GetErrNo(int nHandle) {
    CHttpSession* pSession = g_cSessionMgr.GetHttpSession(nHandle);
    const int nErrNo = pSession != nullptr ? pSession->GetErrNo() : g_nLastErrNo.load();
    g_cSessionMgr.ReleaseHttpSession(pSession);
    return nErrNo;
}

int OXR_HTTP_CALL OXR_HTTP_Open(const char* pszUrl, int nMethod, const char* pszCredentials,
                                int nUnused, int nTimeOutMs) {
    const int nHandle =
        OpenSession(pszUrl, nMethod, pszCredentials, nUnused, nTimeOutMs, false, nullptr, nullptr);
    if (nHandle == -1) {
        HTTP_LOG(kLogFailure, "Create HttpSession return NULL, Func Return -1\n");
    }
    return nHandle;
}

int OXR_HTTP_CALL OXR_HTTP_OpenEx(const char* pszUrl, int nMethod, const char* pszCredentials,
                                  int nUnused, int nTimeOutMs, OXR_HTTP_DataCallback pfnCallback,
                                  void* pUserData) {
    const int nHandle = OpenSession(pszUrl, nMethod, pszCredentials, nUnused, nTimeOutMs, true,
                                    pfnCallback, pUserData);
    if (nHandle == -1) {
        HTTP_LOG(kLogFailure, "Create HttpSession return NULL, Func Return -1\n");
    }
    return nHandle;
}

int OXR_HTTP_CALL OXR_HTTP_SendRequest(int nHandle, const char* pszContentLength, const char* pBody,
                                       int nBodyLen, int nTimeOutMs) {
    FIND_SESSION(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return -1;
    }
    return pSession->SendRequest(pszContentLength, pBody, nBodyLen, nTimeOutMs);
}

int OXR_HTTP_CALL OXR_HTTP_AddHeader(int nHandle, const char* pszName, const char* pszValue) {
    FIND_SESSION(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return -1;
    }
    return pSession->AddHeader(pszName, pszValue);
}

int OXR_HTTP_CALL OXR_HTTP_RemoveHeader(int nHandle, const char* pszName) {
    FIND_SESSION(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return -1;
    }
    return pSession->RemoveHeader(pszName);
}

int OXR_HTTP_CALL OXR_HTTP_GetInfoByType(int nHandle, int nType, int nArg1, int nArg2) {
    FIND_SESSION(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return -1;
    }
    return pSession->GetInfoByType(nType, nArg1, nArg2) == 0 ? -1 : 0;
}

const char* OXR_HTTP_CALL OXR_HTTP_GetInfoByName(int nHandle, const char* pszName) {
    FIND_SESSION(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return nullptr;
    }
    return pSession->GetInfoByName(pszName);
}

int OXR_HTTP_CALL OXR_HTTP_GetContent(int nHandle, int nUnused) {
    FIND_SESSION(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return -1;
    }
    return pSession->GetContent(nUnused);
}

int OXR_HTTP_CALL OXR_HTTP_Close(int nHandle) {
    // Not taken alone: Close wakes the call in progress instead of waiting.
    FIND_SESSION_SHARED(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return -1;
    }
    // Closing from the session's own data callback cannot wait for the
    // receiver it runs on: refused (by the transport, which says so), and
    // the session stays.
    if (pSession->OnOwnReceiver()) {
        return pSession->Close();
    }
    const CHttpReceiver* pCaller = CHttpReceiver::OfCallingThread();
    const int nTaken = g_cSessionMgr.TakeHttpSession(pSession.Get(), pCaller);
    if (nTaken == -2) {
        HTTP_LOG(kLogFailure, "Close Return -1, its receiver is closing the caller's session\n");
        return -1;
    }
    if (nTaken != 0) {
        // Another thread's Close took it first.
        SetLastErrNo(HTTP_ERR_NO_SESSION);
        HTTP_LOG(kLogFailure, "Get HttpSession return NULL, Func Return -1\n");
        return -1;
    }
    CHttpSession* pOwned = pSession.Get();
    pSession.Detach();
    pOwned->Close();
    g_cSessionMgr.EndJoin(pCaller);
    g_cSessionMgr.DestroyHttpSession(pOwned);
    return 0;
}

int OXR_HTTP_CALL OXR_HTTP_GetStatus(int nHandle, char* pszReason, int nReasonSize) {
    FIND_SESSION(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return -1;
    }
    return pSession->GetStatus(pszReason, nReasonSize);
}

int OXR_HTTP_CALL OXR_HTTP_GetStreamState(int nHandle, int* pnReason, int* pnDeliveries) {
    FIND_SESSION_SHARED(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return -1;
    }
    return pSession->GetStreamState(pnReason, pnDeliveries);
}

int OXR_HTTP_CALL OXR_HTTP_SetOption(int nHandle, int nOption, int nValue, const char* pszValue) {
    FIND_SESSION(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return -1;
    }
    const int nResult = RecordResult(pSession->SetOption(nOption, nValue, pszValue));
    if (nResult != 0) {
        HTTP_LOG(kLogFailure, "OXR_HTTP_SetOption Return -1, IN Param is Invalid\n");
    }
    return nResult;
}

int OXR_HTTP_CALL OXR_HTTP_GetOption(int nHandle, int nOption) {
    FIND_SESSION(pSession, nHandle);
    if (pSession.Get() == nullptr) {
        return -1;
    }
    return pSession->GetOption(nOption);
}

} // extern "C"
