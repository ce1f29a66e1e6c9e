// Platform-independent part of the runtime: string search, the helper
// classes built on the mutex functions, and the texts of TLS results.
#include "oxr.h"
#include "oxr_tls.h"

#include <cstring>

namespace {

inline unsigned char Lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

} // namespace

int64_t OXR_DeadlineOf(int nTimeOutMs) {
    return nTimeOutMs < 0 ? -1 : OXR_TickMs() + nTimeOutMs;
}

int OXR_MsLeft(int64_t tDeadline) {
    if (tDeadline < 0) {
        return -1;
    }
    const int64_t nLeft = tDeadline - OXR_TickMs();
    return nLeft <= 0 ? 0 : (nLeft > 0x7fffffff ? 0x7fffffff : static_cast<int>(nLeft));
}

char* OXR_Strstr(const char* pszText, const char* pszPattern) {
    if (pszText == nullptr || pszPattern == nullptr) {
        return nullptr;
    }
    return const_cast<char*>(std::strstr(pszText, pszPattern));
}

int OXR_Strcasecmp(const char* pszA, const char* pszB) {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(pszA);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(pszB);
    for (;; ++a, ++b) {
        int d = Lower(*a) - Lower(*b);
        if (d != 0 || *a == 0) {
            return d;
        }
    }
}

const char* OXR_Memmem(const char* pBegin, const char* pEnd, const char* pNeedle, size_t nLen) {
    if (pBegin == nullptr || pEnd < pBegin || static_cast<size_t>(pEnd - pBegin) < nLen) {
        return nullptr;
    }
    if (nLen == 0) {
        return pBegin;
    }
    const char* pLast = pEnd - nLen;
    for (const char* p = pBegin; p <= pLast; ++p) {
        p = static_cast<const char*>(
            std::memchr(p, pNeedle[0], static_cast<size_t>(pLast - p) + 1));
        if (p == nullptr) {
            return nullptr;
        }
        if (std::memcmp(p, pNeedle, nLen) == 0) {
            return p;
        }
    }
    return nullptr;
}

const char* OXR_Memcasemem(const char* pBegin, const char* pEnd, const char* pNeedle, size_t nLen) {
    if (pBegin == nullptr || pEnd < pBegin || static_cast<size_t>(pEnd - pBegin) < nLen) {
        return nullptr;
    }
    const char* pLast = pEnd - nLen;
    for (const char* p = pBegin; p <= pLast; ++p) {
        size_t i = 0;
        while (i < nLen && Lower(static_cast<unsigned char>(p[i])) ==
                               Lower(static_cast<unsigned char>(pNeedle[i]))) {
            ++i;
        }
        if (i == nLen) {
            return p;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------- helper classes

OXR_Mutex::OXR_Mutex() {
    OXR_MutexCreate(&m_mutex, 0);
}
OXR_Mutex::~OXR_Mutex() {
    OXR_MutexDestroy(&m_mutex);
}
int OXR_Mutex::Lock() {
    return OXR_MutexLock(&m_mutex);
}
int OXR_Mutex::Unlock() {
    return OXR_MutexUnlock(&m_mutex);
}

OXR_Mutex& OXR_Mutex::operator=(const OXR_Mutex& other) {
    if (this != &other) {
        std::memcpy(m_mutex.bytes, other.m_mutex.bytes, sizeof(m_mutex.bytes));
    }
    return *this;
}

OXR_Sema& OXR_Sema::operator=(const OXR_Sema& other) {
    m_nState = other.m_nState;
    return *this;
}

OXR_Guard::OXR_Guard(OXR_Mutex* pMutex) : m_pMutex(pMutex) {
    m_pMutex->Lock();
}
OXR_Guard::~OXR_Guard() {
    Release();
}

void OXR_Guard::Release() {
    if (m_pMutex != nullptr) {
        m_pMutex->Unlock();
        m_pMutex = nullptr;
    }
}

OXR_Guard& OXR_Guard::operator=(const OXR_Guard& other) {
    m_pMutex = other.m_pMutex;
    return *this;
}

// ---------------------------------------------------------------- TLS

const char* OXR_TlsResultText(int nResult) {
    switch (nResult) {
    case OXR_TLS_OK:
        return "ok";
    case OXR_TLS_E_UNTRUSTED:
        return "certificate not trusted";
    case OXR_TLS_E_NAME:
        return "name mismatch";
    case OXR_TLS_E_PIN:
        return "pinned certificate mismatch";
    case OXR_TLS_E_PROTOCOL:
        return "protocol failure";
    case OXR_TLS_E_TIMEOUT:
        return "time-out";
    case OXR_TLS_E_STOPPED:
        return "stopped";
    case OXR_TLS_E_NO_MEMORY:
        return "no memory";
    case OXR_TLS_WOULD_BLOCK:
        return "would block";
    default:
        return "unknown";
    }
}
