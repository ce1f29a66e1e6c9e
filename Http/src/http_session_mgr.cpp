// CHttpSessionMgr: the handle registry. A session found here is held by
// its finder until released, so closing it waits for calls in progress.
#include <new>

#include "http_log.h"
#include "http_session.h"

namespace {

// How often a Close looks again whether the calls it woke have let go.
const int kReleasePollMs = 1;

} // namespace

CHttpSessionMgr::CHttpSessionMgr() {
    OXR_MutexCreate(&m_hMutex, 0);
    for (int i = 0; i < kHttpMaxSessions; ++i) {
        m_dqFreeHandles.push_back(i);
    }
}

// Sessions still registered are not closed or freed: the application closes
// every handle before it unloads the library.
CHttpSessionMgr::~CHttpSessionMgr() {
    OXR_MutexDestroy(&m_hMutex);
    m_mapSessions.clear();
    m_dqFreeHandles.clear();
}

CHttpSession* CHttpSessionMgr::CreateHttpSession() {
    OXR_MutexLock(&m_hMutex);
    if (m_dqFreeHandles.empty()) {
        OXR_MutexUnlock(&m_hMutex);
        HTTP_LOG(kLogFailure, "Create HttpSession return NULL, Index Pool Is Empty\n");
        return nullptr;
    }
    int nHandle = m_dqFreeHandles.front();
    m_dqFreeHandles.pop_front();
    CHttpSession* pSession = new (std::nothrow) CHttpSession(nHandle);
    if (pSession != nullptr && !pSession->Constructed()) {
        delete pSession;
        pSession = nullptr;
    }
    if (pSession != nullptr) {
        try {
            m_mapSessions[nHandle] = pSession;
        } catch (const std::bad_alloc&) {
            delete pSession;
            pSession = nullptr;
        }
    }
    if (pSession == nullptr) {
        HTTP_LOG(kLogFailure, "Create HttpSession return NULL, operate new CHttpSession Failed\n");
        m_dqFreeHandles.push_back(nHandle);
        OXR_MutexUnlock(&m_hMutex);
        return nullptr;
    }
    pSession->m_nRefs = 1;
    OXR_MutexUnlock(&m_hMutex);
    return pSession;
}

CHttpSession* CHttpSessionMgr::GetHttpSession(int nHandle) {
    OXR_MutexLock(&m_hMutex);
    auto it = m_mapSessions.find(nHandle);
    CHttpSession* pSession = it != m_mapSessions.end() ? it->second : nullptr;
    if (pSession != nullptr && (!pSession->m_bOpen || pSession->m_bClosing)) {
        pSession = nullptr;
    }
    if (pSession != nullptr) {
        ++pSession->m_nRefs;
    }
    OXR_MutexUnlock(&m_hMutex);
    return pSession;
}

void CHttpSessionMgr::PublishHttpSession(CHttpSession* pSession) {
    OXR_MutexLock(&m_hMutex);
    pSession->m_bOpen = true;
    --pSession->m_nRefs;
    OXR_MutexUnlock(&m_hMutex);
}

void CHttpSessionMgr::ReleaseHttpSession(CHttpSession* pSession) {
    if (pSession == nullptr) {
        return;
    }
    OXR_MutexLock(&m_hMutex);
    --pSession->m_nRefs;
    OXR_MutexUnlock(&m_hMutex);
}

int CHttpSessionMgr::TakeHttpSession(CHttpSession* pSession, const CHttpReceiver* pCaller) {
    OXR_MutexLock(&m_hMutex);
    if (pSession->m_bClosing) {
        OXR_MutexUnlock(&m_hMutex);
        return -1;
    }
    if (pCaller != nullptr) {
        // Callbacks that close each other's sessions would join each other's
        // threads for ever: the one that would close the ring is refused.
        const CHttpReceiver* p = pSession->GetReceiver();
        for (int i = 0; p != nullptr && i <= kHttpMaxSessions; ++i) {
            if (p == pCaller) {
                OXR_MutexUnlock(&m_hMutex);
                return -2;
            }
            auto it = m_mapJoins.find(p);
            p = it != m_mapJoins.end() ? it->second : nullptr;
        }
        try {
            m_mapJoins[pCaller] = pSession->GetReceiver();
        } catch (const std::bad_alloc&) {
            OXR_MutexUnlock(&m_hMutex);
            return -2;
        }
    }
    pSession->m_bClosing = true;
    m_mapSessions.erase(pSession->GetIndex());
    OXR_MutexUnlock(&m_hMutex);
    // Calls in progress on other threads fail within a stop check of their
    // waits; the wait for them is as long as that.
    pSession->Abort();
    for (;;) {
        OXR_MutexLock(&m_hMutex);
        const bool bAlone = pSession->m_nRefs <= 1;
        OXR_MutexUnlock(&m_hMutex);
        if (bAlone) {
            return 0;
        }
        OXR_Sleep(kReleasePollMs);
    }
}

void CHttpSessionMgr::EndJoin(const CHttpReceiver* pCaller) {
    if (pCaller == nullptr) {
        return;
    }
    OXR_MutexLock(&m_hMutex);
    m_mapJoins.erase(pCaller);
    OXR_MutexUnlock(&m_hMutex);
}

int CHttpSessionMgr::DestroyHttpSession(CHttpSession* pSession) {
    if (pSession == nullptr) {
        HTTP_LOG(kLogFailure, "Destroy HttpSession return -1, IN Param is NULL\n");
        return -1;
    }
    OXR_MutexLock(&m_hMutex);
    int nHandle = pSession->GetIndex();
    auto it = m_mapSessions.find(nHandle);
    if (it != m_mapSessions.end() && it->second == pSession) {
        m_mapSessions.erase(it);
    }
    m_dqFreeHandles.push_back(nHandle);
    delete pSession;
    OXR_MutexUnlock(&m_hMutex);
    return 0;
}
