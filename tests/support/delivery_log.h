// Records every delivery a data callback receives, for the transport,
// session and demo tests: arguments, bytes, content type and arrival time.
#ifndef DELIVERY_LOG_H
#define DELIVERY_LOG_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "oxr_http.h"

struct Delivery {
    int nFirstArg;
    void* pUserData;
    std::string data;
    std::string type; // szContentType up to its zero
    bool bTypeEnded;  // szContentType had its zero within its 68 bytes
    int64_t tMs;      // OXR_TickMs at the call
};

class CDeliveryLog {
public:
    // The data callback; its user word must be the CDeliveryLog.
    static int OXR_HTTP_CALLBACK Callback(int nFirstArg, void* pUserData, OXR_HTTP_DATA* pData);

    // Runs on the receiver thread after each delivery was recorded (sleeps,
    // calls back into the transport, ...).
    void OnDelivery(std::function<void(const Delivery&)> fn);

    size_t Count() const;
    Delivery At(size_t i) const;
    std::vector<Delivery> All() const;
    // Every delivered byte in order.
    std::string Joined() const;
    // Waits until at least n deliveries were recorded; false after nTimeOutMs.
    bool WaitCount(size_t n, int nTimeOutMs) const;
    // Calls running right now (0 or 1: the receiver calls one at a time).
    int InCallback() const;

private:
    mutable std::mutex m_mutex;
    std::vector<Delivery> m_all;
    std::function<void(const Delivery&)> m_fnOnDelivery;
    int m_nInCallback = 0;
};

#endif // DELIVERY_LOG_H
