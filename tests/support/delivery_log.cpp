#include "delivery_log.h"

#include <cstring>

#include "oxr.h"

int OXR_HTTP_CALLBACK CDeliveryLog::Callback(int nFirstArg, void* pUserData, OXR_HTTP_DATA* pData) {
    CDeliveryLog* pLog = static_cast<CDeliveryLog*>(pUserData);
    Delivery d;
    d.nFirstArg = nFirstArg;
    d.pUserData = pUserData;
    if (pData->nDataLen > 0) {
        d.data.assign(pData->pData, static_cast<size_t>(pData->nDataLen));
    }
    const void* pZero = std::memchr(pData->szContentType, 0, sizeof(pData->szContentType));
    d.bTypeEnded = pZero != nullptr;
    d.type.assign(pData->szContentType, pZero != nullptr
                                            ? static_cast<const char*>(pZero) - pData->szContentType
                                            : sizeof(pData->szContentType));
    d.tMs = OXR_TickMs();
    std::function<void(const Delivery&)> fn;
    {
        std::lock_guard<std::mutex> lock(pLog->m_mutex);
        pLog->m_all.push_back(d);
        pLog->m_nInCallback++;
        fn = pLog->m_fnOnDelivery;
    }
    if (fn) {
        fn(d);
    }
    std::lock_guard<std::mutex> lock(pLog->m_mutex);
    pLog->m_nInCallback--;
    return 0;
}

void CDeliveryLog::OnDelivery(std::function<void(const Delivery&)> fn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fnOnDelivery = fn;
}

size_t CDeliveryLog::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_all.size();
}

Delivery CDeliveryLog::At(size_t i) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return i < m_all.size() ? m_all[i] : Delivery{-1, nullptr, "", "", false, 0};
}

std::vector<Delivery> CDeliveryLog::All() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_all;
}

std::string CDeliveryLog::Joined() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string s;
    for (const Delivery& d : m_all) {
        s += d.data;
    }
    return s;
}

bool CDeliveryLog::WaitCount(size_t n, int nTimeOutMs) const {
    int64_t tEnd = OXR_TickMs() + nTimeOutMs;
    while (Count() < n) {
        if (OXR_TickMs() >= tEnd) {
            return false;
        }
        OXR_Sleep(1);
    }
    return true;
}

int CDeliveryLog::InCallback() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nInCallback;
}
