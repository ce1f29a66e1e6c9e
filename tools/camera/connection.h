// One accepted connection of the demo camera as the request and stream code
// sees it: read and write bytes, plain TCP or TLS alike.
#ifndef OXR_DEMO_CONNECTION_H
#define OXR_DEMO_CONNECTION_H

#include <cstddef>

class Connection {
public:
    virtual ~Connection() = default;
    // Reads up to nLen bytes: the count read, 0 when the peer has closed,
    // -1 on an error or when the socket's receive time-out passed.
    virtual long Read(void* pData, size_t nLen) = 0;
    // Writes all bytes; false when the peer is gone or the send time-out passed.
    virtual bool Write(const void* pData, size_t nLen) = 0;
    // Waits at most nMs until a Read would not block (data, or the peer's
    // close); false when nothing came in that time.
    virtual bool WaitReadable(int nMs) = 0;
    // Ends the sending side once the answer is complete.
    virtual void Finish() = 0;
    // False once a write failed: an answer may be cut, so the connection
    // cannot carry another request.
    bool Intact() const { return !m_bWriteFailed; }

protected:
    bool m_bWriteFailed = false;
};

// Polls the socket for reading for at most nMs, through signals.
bool SocketReadable(int nSocket, int nMs);

// A connected TCP socket (owned by the listener, which closes it).
class PlainConnection : public Connection {
public:
    explicit PlainConnection(int nSocket) : m_nSocket(nSocket) {}
    long Read(void* pData, size_t nLen) override;
    bool Write(const void* pData, size_t nLen) override;
    bool WaitReadable(int nMs) override { return SocketReadable(m_nSocket, nMs); }
    void Finish() override;

private:
    int m_nSocket;
};

#endif
