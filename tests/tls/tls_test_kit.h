// Helpers of test_tls: the TLS peers' ports and fingerprints (from the file
// that tests/tls/peers.sh writes), loopback sockets, reading over OXR_TLS,
// and the byte pattern of the files the peers serve.
#ifndef TLS_TEST_KIT_H
#define TLS_TEST_KIT_H

#include <cstddef>
#include <map>
#include <string>

#include "oxr_tls.h"

// What peers.sh recorded; ok is false (and error says why) without it.
struct TlsPeers {
    bool ok = false;
    std::string error;
    std::map<std::string, std::string> values;

    int Port(const std::string& name) const;
    std::string Get(const std::string& name) const;
    // The SHA-256 recorded as fp_<name>; false when there is none.
    bool Fingerprint(const std::string& name, unsigned char (&out)[32]) const;
    // A path the test program can open (wine sees the Unix root as Z:).
    std::string File(const std::string& name) const;
};
const TlsPeers& Peers(); // read once from $OXR_TLS_PEERS

// A loopback TCP connection, closed with the object.
class TcpLink {
public:
    TcpLink(int nPort, const char* pszAddr = "127.0.0.1");
    ~TcpLink();
    TcpLink(const TcpLink&) = delete;
    TcpLink& operator=(const TcpLink&) = delete;
    int Socket() const { return m_nSocket; }

private:
    int m_nSocket = -1;
};

// Byte i of every file the peers serve, and where body first differs from
// the first nSize pattern bytes (npos when it is exactly those).
unsigned char PatternByte(size_t i);
size_t PatternMismatch(const std::string& body, size_t nSize);

// One OXR_TlsConnect result and its connection, freed with the object.
struct TlsConn {
    int nResult = OXR_TLS_E_PROTOCOL;
    OXR_TLS* pTls = nullptr;
    TlsConn() = default;
    TlsConn(const TlsConn&) = delete;
    TlsConn& operator=(const TlsConn&) = delete;
    ~TlsConn() { OXR_TlsFree(pTls); }
};

// How a receive loop went.
struct RecvStats {
    int nMaxPending = 0;          // largest OXR_TlsPending seen after data
    bool bBlockedPending = false; // WOULD_BLOCK while data was pending (wrong)
    int nWaits = 0;
};
#define TLS_TEST_TIMEOUT (-1000) // RecvAll's own result when time ran out

// Receives until the connection ends, fails, or nTimeOutMs pass, in reads of
// nChunk bytes; waits for the socket only when nothing is pending. Returns
// the last OXR_TlsRecv result (0 end, negative failure) or TLS_TEST_TIMEOUT.
int RecvAll(OXR_TLS* pTls, int nSocket, std::string* pOut, int nTimeOutMs, int nChunk = 65536,
            RecvStats* pStats = nullptr);

// GET of pszPath with "Connection: close"; splits the answer into head and
// body. Returns RecvAll's result (or the send's when that failed).
int HttpGet(OXR_TLS* pTls, int nSocket, const char* pszPath, std::string* pHead, std::string* pBody,
            int nChunk = 65536, RecvStats* pStats = nullptr);

std::string Hex(const unsigned char* p, size_t n);

#endif // TLS_TEST_KIT_H
