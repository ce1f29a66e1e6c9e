#include "camera_context.h"

CameraContext::CameraContext(const CameraOptions& options)
    : nonces(options.nNonceUses), m_options(options), m_start(std::chrono::steady_clock::now()) {}

void CameraContext::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_wake.notify_all();
}

bool CameraContext::SleepUntil(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_until(lock, until, [this] { return m_bStop.load(); });
    return !m_bStop.load();
}

bool CameraContext::SleepMs(long nMs) {
    return SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs));
}

int64_t CameraContext::UptimeMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 m_start)
        .count();
}

int64_t CameraContext::WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
