// The process-wide last error number; see http_errno.h.
#include "http_errno.h"

std::atomic<int> g_nLastErrNo(0);
