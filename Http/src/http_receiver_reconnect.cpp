// CHttpReceiver after a drop: pauses that grow while attempts fail, and the
// request made again through the session's hook, until a new stream has
// begun or the session is closed.
#include "http_receiver.h"

namespace {

// The first pause after a drop, and again once a new stream has delivered.
const int kFirstPauseMs = 250;

} // namespace

int CHttpReceiver::Reconnect(int nReason, int* pnPauseMs) {
    m_nDropReason = nReason;
    m_bReconnecting = 1;
    ++m_nReconnects;
    Announce("reconnect", nReason);
    for (;;) {
        const int nMaxMs = m_nReconnectMaxMs.load();
        int nPauseMs = *pnPauseMs == 0 ? kFirstPauseMs : 2 * *pnPauseMs;
        nPauseMs = nMaxMs > 0 && nPauseMs > nMaxMs ? nMaxMs : nPauseMs;
        *pnPauseMs = nPauseMs;
        if (m_bStop.load() != 0 || !m_pConn->Pause(nPauseMs)) {
            return -1;
        }
        // No head within the stream time-out, a refused status, a failed
        // connect: the attempt failed, and the next pause is longer.
        m_bRestarting = 1;
        const int nResult = m_pfnRestart(m_pRestartCtx, m_nStreamTimeOutMs.load());
        m_bRestarting = 0;
        if (m_bStop.load() != 0 || m_pConn->Aborted()) {
            return -1;
        }
        if (nResult == kRestartImpossible) {
            m_bReconnecting = 0;
            return 1;
        }
        if (nResult == 0) {
            break;
        }
    }
    ChooseMode();
    m_bReconnecting = 0;
    return 0;
}
