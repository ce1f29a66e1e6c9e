// What every connection of the demo camera shares: its settings, its stop
// signal, its Digest nonces, the video streams it cut on purpose and a few
// counters for /cgi-bin/status.
#ifndef OXR_DEMO_CAMERA_CONTEXT_H
#define OXR_DEMO_CAMERA_CONTEXT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "camera_options.h"
#include "drop_ledger.h"
#include "nonce_table.h"

class CameraContext {
public:
    explicit CameraContext(const CameraOptions& options);

    const CameraOptions& Options() const { return m_options; }

    // Asks every connection to finish; wakes sleepers at once.
    void Stop();
    bool Stopping() const { return m_bStop.load(); }
    // Sleeps until the given moment; false when the camera stops first.
    bool SleepUntil(std::chrono::steady_clock::time_point until);
    bool SleepMs(long nMs);

    int64_t UptimeMs() const;
    // Milliseconds since the Unix epoch (system clock): stamped into frames
    // and events so a receiver on the same machine can measure delivery delay.
    static int64_t WallClockMs();

    std::atomic<unsigned> nConnections{0}; // accepted, for telling kept connections apart
    std::atomic<unsigned> nRequests{0};
    std::atomic<unsigned> nFramesSent{0};
    std::atomic<unsigned> nEventsSent{0};
    NonceTable nonces; // of the Digest challenges
    DropLedger drops;  // video streams cut by ?drop=N, to go on from

private:
    CameraOptions m_options;
    std::chrono::steady_clock::time_point m_start;
    std::atomic<bool> m_bStop{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
};

#endif
