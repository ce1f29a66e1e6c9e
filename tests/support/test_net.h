// Socket helpers only the tests need: a listening socket, accept and a
// connected loopback pair, and blocking reads with a time-out. Built on the
// platform's sockets beside the runtime (test_net_posix.cpp,
// test_net_win32.cpp); the library never uses them.
#ifndef TEST_NET_H
#define TEST_NET_H

#include <cstdint>

// Listens on pszAddr (numeric) and port (0: any); the socket or -1.
// *pwBoundPort receives the port actually bound.
int TestListen(const char* pszAddr, uint16_t wPort, uint16_t* pwBoundPort);
// Waits at most nTimeOutMs for a connection; the new (blocking) socket, or -1.
int TestAccept(int nListenSocket, int nTimeOutMs);
// A blocking socket connected to pszAddr:wPort within nTimeOutMs, or -1.
int TestConnect(const char* pszAddr, uint16_t wPort, int nTimeOutMs);
// One receive that waits at most nTimeOutMs; 0 or less on time-out, close or error.
int TestRecvWithTimeOut(int nSocket, char* pBuf, int nLen, int nTimeOutMs);
// Receives until nLen bytes have arrived, each wait bounded by nTimeOutMs:
// nLen, or the count received before a time-out or close (0 or less for none).
int TestRecvn(int nSocket, char* pBuf, int nLen, int nTimeOutMs);
// Closes the socket with a reset instead of an orderly close.
void TestResetSocket(int nSocket);
// The socket's TCP keep-alive: whether it is on, and its idle time, probe
// interval and probe count (-1 where the platform does not tell them).
bool TestKeepAlive(int nSocket, int* pnIdleS, int* pnIntervalS, int* pnProbes);

#endif // TEST_NET_H
