// A demo camera running on a thread of the test process, on an ephemeral
// loopback port; it stops when destroyed or after its run time.
#ifndef OXR_TOOLS_TEST_IN_PROCESS_CAMERA_H
#define OXR_TOOLS_TEST_IN_PROCESS_CAMERA_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "camera_context.h"
#include "camera_options.h"
#include "camera_server.h"

class InProcessCamera {
public:
    // Quiet, 25 frames a second, stops after nRunTimeSec.
    static CameraOptions TestOptions(int nRunTimeSec = 60);

    explicit InProcessCamera(int nRunTimeSec = 60) : InProcessCamera(TestOptions(nRunTimeSec)) {}
    explicit InProcessCamera(const CameraOptions& options);
    ~InProcessCamera();
    InProcessCamera(const InProcessCamera&) = delete;
    InProcessCamera& operator=(const InProcessCamera&) = delete;

    bool Listening() const { return m_bListening; }
    const std::string& Error() const { return m_error; }
    uint16_t Port() const { return m_pServer->Port(); }
    std::string Fingerprint() const { return m_pServer->CertificateFingerprint(); }
    // Waits at most `limit` for the camera to stop by itself; joins it if it did.
    void JoinWithin(std::chrono::milliseconds limit, bool* pJoined);

private:
    std::unique_ptr<CameraContext> m_pCtx;
    std::unique_ptr<CameraServer> m_pServer;
    std::atomic<bool> m_bStop{false};
    bool m_bListening = false;
    std::string m_error;
    std::thread m_thread;
};

#endif
