// One TCP connection of a session, plain or TLS: connect, handshake, send,
// read what has arrived, wait, abort, close. The only unit that knows a TLS
// connection from a plain one; the head reader and the receiver read through
// it alone.
#ifndef HTTP_CONNECTION_H
#define HTTP_CONNECTION_H

#include <atomic>
#include <cstdint>

#include "oxr.h"
#include "oxr_tls.h"

// What Read gives besides bytes (> 0). Apart from the library's error numbers
// (-2 to -13) and the runtime's results, so no value means two things.
enum HttpReadEnd {
    kReadClosed = 0,     // the peer ended the connection in order
    kReadTimeOut = -301, // nothing arrived within the time-out
    kReadStopped = -302, // woken: the session is being closed
    kReadFailed = -303,  // a reset, a broken TLS record, no connection
};

// Stands in for the socket in tests and fuzzing: reads never have to wait
// (0 is the end, below 0 a failure); pfnWrite may be NULL (everything taken)
// or return how many bytes it took (0 or below fails the send).
struct HttpByteSource {
    int (*pfnRead)(void* pCtx, char* pBuf, int nLen);
    int (*pfnWrite)(void* pCtx, const char* pData, int nLen);
    void* pCtx;
};

class CHttpConnection {
public:
    CHttpConnection();
    ~CHttpConnection();
    CHttpConnection(const CHttpConnection&) = delete;
    CHttpConnection& operator=(const CHttpConnection&) = delete;

    // Resolves and connects within nTimeOutMs, replacing a connection there
    // is (the caller has stopped its readers). 0, HTTP_ERR_CONNECT or
    // HTTP_ERR_SOCKET, with one record naming the reason.
    int Connect(const char* pszHost, uint16_t wPort, int nTimeOutMs);
    // The TLS handshake over the connection, the certificate checked against
    // the host (nVerify 1) or the SHA-256 pin (pPin, 32 bytes, when given),
    // within nTimeOutMs. 0, or HTTP_ERR_CONNECT with a record naming why
    // (*pnTls: the TLS result); the connection is then closed.
    int Handshake(const char* pszHost, int nVerify, const unsigned char* pPin, int nTimeOutMs,
                  int* pnTls);
    // False when the connection could not get what its waits need (no
    // memory): it can never connect.
    bool Usable() const { return m_pWaker != nullptr; }
    // Connections made so far; responses whose head was read on this one.
    int GetConnections() const { return m_nConnections.load(); }
    int Exchanges() const { return m_nExchanges; }
    void CountExchange() { ++m_nExchanges; }
    // An idle connection that has nothing to read: the device has neither
    // closed it nor sent anything unasked.
    bool IsQuiet();
    // Keep a TLS session when the connection closes, and offer it to the
    // next handshake of the same session, so the device may resume it.
    void SetResume(bool bOn) { m_bResume = bOn; }
    // Handshakes also with old devices (TLS 1.0 and 1.1, weak keys).
    void SetTlsLegacy(bool bOn) { m_bTlsLegacy = bOn; }
    bool GetTlsLegacy() const { return m_bTlsLegacy; }
    bool IsOpen() const { return m_nSocket.load() != -1 || m_pSource != nullptr; }
    bool HasTls() const { return m_pTls != nullptr; }
    // Sends every byte within nTimeOutMs. 0, or HTTP_ERR_SOCKET with a record.
    int Send(const char* pData, int nLen, int nTimeOutMs);
    // Takes what has arrived, waiting at most nTimeOutMs for something: bytes,
    // or an HttpReadEnd. bWaitFirst: nothing can be there yet (a request has
    // just gone out), so the first receive would only be wasted.
    int Read(char* pBuf, int nLen, int nTimeOutMs, bool bWaitFirst = false);
    // Any thread: ends every wait of this connection at once, also the ones
    // that begin later, and the connection with them (its socket is shut
    // down). bForGood: the session is being closed, and no connection made
    // later waits either.
    void Interrupt(bool bForGood);
    bool Aborted() const { return m_bAborted.load() != 0; }
    // Waits nMs, or until Interrupt: false when interrupted.
    bool Pause(int nMs);
    // The socket, for a test to look at its options; -1 when there is none.
    int GetSocket() const { return m_nSocket.load(); }
    // Releases TLS and the socket. The caller has stopped every reader.
    void Close();
    // Tests and fuzzing: a byte source in place of the socket (NULL: none).
    void SetSource(const HttpByteSource* pSource);

private:
    int ConnectTo(const char* pszHost, uint16_t wPort, int64_t tDeadline);
    // Waits until the socket can be read (or written) by tDeadline: >0 ready,
    // or an HttpReadEnd.
    int Wait(bool bWrite, int64_t tDeadline);
    int SendPlain(const char* pData, int nLen, int64_t tDeadline);

    // Read anew by every wait: shut down (not closed) by Interrupt from any
    // thread, closed only by Close, under m_hMutex, so a shutdown never
    // reaches a descriptor that already belongs to another session.
    std::atomic<int> m_nSocket;
    std::atomic<int> m_bWoken;   // set by Interrupt, cleared by the next Connect
    std::atomic<int> m_bAborted; // set once by Interrupt(true)
    OXR_MUTEX m_hMutex;
    OXR_WAKER* m_pWaker;
    // https: the TLS connection over m_nSocket, used by one thread at a time
    // (the request's, then the receiver's).
    OXR_TLS* m_pTls;
    const HttpByteSource* m_pSource;
    std::atomic<int> m_nConnections; // read by any thread (an option)
    int m_nExchanges;
    bool m_bResume;
    bool m_bTlsLegacy;
    // The TLS session of the last connection, with what its certificate was
    // checked against; offered to the next handshake that checks the same.
    OXR_TLS_SESSION* m_pSaved;
    int m_nSavedVerify;
    bool m_bSavedLegacy;
    bool m_bSavedPin;
    unsigned char m_aSavedPin[32];
};

#endif // HTTP_CONNECTION_H
