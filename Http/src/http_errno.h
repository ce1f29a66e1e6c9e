// The process-wide last error number (http_errno.cpp). Only the exports and
// the session layer include this: the units below them hand their failures
// up as results, and these record them.
#ifndef HTTP_ERRNO_H
#define HTTP_ERRNO_H

#include <atomic>

// Last error number: 0 at load, set to a negative code by every failure that
// reports one, never reset. Written by application and receiver threads.
extern std::atomic<int> g_nLastErrNo;

inline void SetLastErrNo(int nErrNo) {
    g_nLastErrNo = nErrNo;
}

// A lower unit's result: 0, -1 (failed, no error number to record) or an
// error number (HTTP_ERR_*, all below -1). Records an error number and
// hands -1 up in its place; anything else unchanged.
inline int RecordResult(int nResult) {
    if (nResult < -1) {
        SetLastErrNo(nResult);
        return -1;
    }
    return nResult;
}

#endif // HTTP_ERRNO_H
