#include "in_process_camera.h"

CameraOptions InProcessCamera::TestOptions(int nRunTimeSec) {
    CameraOptions options;
    options.bQuiet = true;
    options.nRunTimeSec = nRunTimeSec;
    options.nFps = 25;
    return options;
}

InProcessCamera::InProcessCamera(const CameraOptions& options) {
    m_pCtx = std::make_unique<CameraContext>(options);
    m_pServer = std::make_unique<CameraServer>(*m_pCtx);
    m_bListening = m_pServer->Listen(&m_error);
    if (m_bListening) {
        m_thread = std::thread([this] { m_pServer->Run(m_bStop); });
    }
}

InProcessCamera::~InProcessCamera() {
    m_bStop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void InProcessCamera::JoinWithin(std::chrono::milliseconds limit, bool* pJoined) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!m_pCtx->Stopping() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *pJoined = m_pCtx->Stopping();
    if (*pJoined) {
        m_thread.join();
    }
}
