// Process-wide state shared by every unit: the last error number.
#ifndef HTTP_CLIENT_H
#define HTTP_CLIENT_H

#include <atomic>

// Last error number: 0 at load, set to a negative code by every failure that
// reports one, never reset. Written by application and receiver threads.
extern std::atomic<int> g_nLastErrNo;

inline void SetLastErrNo(int nErrNo) {
    g_nLastErrNo = nErrNo;
}

#endif // HTTP_CLIENT_H
