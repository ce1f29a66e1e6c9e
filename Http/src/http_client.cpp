// The exported functions and the process-wide objects behind them.
#include "oxr_http.h"

#include "http_client.h"
#include "http_log.h"
#include "oxr.h"

std::atomic<int> g_nLastErrNo(0);

// Built at load in this order (log sink first, so the registry can log), torn
// down in the reverse order at unload.
CHttpLog g_cHttpLog;

extern "C" {

int OXR_HTTP_CALL OXR_HTTP_ClientInit(void) { return OXR_Init(); }

int OXR_HTTP_CALL OXR_HTTP_ClientFini(void) {
    OXR_Fini();
    return 0;
}

void OXR_HTTP_CALL OXR_HTTP_SetLog(int nLevel) { g_cHttpLog.SetLevel(nLevel); }

}  // extern "C"
