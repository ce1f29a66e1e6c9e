// A scriptable HTTP server on loopback for the transport, session and demo
// tests. Each accepted connection plays one script: send bytes (whole, in
// pieces, with pauses), pause, wait for a request and capture it, signal the
// test, wait for the client to close, cut the connection at a chosen offset.
// Built on the runtime's sockets and threads only, so it also runs under
// wine. Every wait is bounded and the destructor stops and joins everything.
#ifndef TEST_SERVER_H
#define TEST_SERVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "oxr.h"

class CTestScript {
public:
    enum Kind { kSend, kPause, kWaitRequest, kMark, kWaitPeerClose, kReset };
    struct Step {
        Kind eKind;
        std::string bytes; // kSend
        int nMs;           // kPause, kWaitRequest and kWaitPeerClose: the bound; kMark: the id
    };

    CTestScript& Send(const std::string& bytes);
    // Sends in pieces of nPiece bytes with nPauseMs between them.
    CTestScript& SendPieces(const std::string& bytes, size_t nPiece, int nPauseMs);
    // Sends pieces that end at the given offsets (ascending), then the rest,
    // with nPauseMs between them.
    CTestScript& SendSplit(const std::string& bytes, const std::vector<size_t>& ends, int nPauseMs);
    CTestScript& Pause(int nMs);
    // Reads one request (head, and a body as long as its Content-Length) and
    // keeps its exact bytes. The script ends if none arrives in time.
    CTestScript& WaitRequest(int nTimeOutMs = 5000);
    // Lets the test know this point was reached (CTestServer::WaitMark).
    CTestScript& Mark(int nId);
    // Reads and keeps whatever comes until the client closes, at most nTimeOutMs.
    CTestScript& WaitPeerClose(int nTimeOutMs);
    // Closes the connection once nOffset bytes have been sent in total, in
    // whichever step that happens.
    CTestScript& CloseAt(size_t nOffset);
    // Ends the connection with a reset (and the script with it).
    CTestScript& Reset();

    const std::vector<Step>& Steps() const { return m_steps; }
    size_t CutOffset() const { return m_nCutAt; }

private:
    std::vector<Step> m_steps;
    size_t m_nCutAt = static_cast<size_t>(-1);
};

class CTestServer {
public:
    // pszAddr: "127.0.0.1" or "::1".
    explicit CTestServer(const char* pszAddr = "127.0.0.1");
    ~CTestServer();
    CTestServer(const CTestServer&) = delete;
    CTestServer& operator=(const CTestServer&) = delete;

    // The script of the next connection accepted; call before Start.
    void Add(const CTestScript& script);
    // Listens on an ephemeral port and starts accepting one connection per
    // script. Accepting gives up after nAcceptForMs.
    bool Start(int nAcceptForMs = 10000);
    // Stops every script at its next step or wait and joins all threads.
    void Stop();

    uint16_t Port() const { return m_wPort; }
    const std::string& Address() const { return m_addr; }
    // Host text for a URL: "127.0.0.1" or "[::1]".
    std::string UrlHost() const;
    std::string Url(const std::string& path) const;

    int Accepted() const { return m_nAccepted.load(); }
    // Waits until a script reached Mark(nId); false after nTimeOutMs.
    bool WaitMark(int nId, int nTimeOutMs);
    // Waits until every accepted connection finished its script.
    bool WaitDone(int nTimeOutMs);
    // Requests captured on connection nConn (in accept order), exact bytes.
    std::vector<std::string> Requests(int nConn) const;
    // Every byte received on connection nConn.
    std::string Received(int nConn) const;
    // Whether connection nConn saw the client close during WaitPeerClose.
    bool PeerClosed(int nConn) const;
    // Bytes sent on connection nConn.
    size_t Sent(int nConn) const;

private:
    struct Conn {
        CTestServer* pServer = nullptr;
        int nIndex = 0;
        int nSocket = -1; // guarded by m_mutex; -1 once closed
        OXR_THREAD hThread = nullptr;
        std::string pending; // received, not yet taken as a request
        std::vector<std::string> requests;
        std::string received;
        bool bPeerClosed = false;
        bool bDone = false;
        size_t nSent = 0;
    };

    static int AcceptProc(void* pArg);
    static int ConnProc(void* pArg);
    void Play(Conn* pConn, const CTestScript& script);
    bool SendBytes(Conn* pConn, const std::string& bytes, size_t nCutAt);
    bool ReadRequest(Conn* pConn, int nTimeOutMs);
    int ReadSome(Conn* pConn, int nTimeOutMs);
    void PauseFor(int nMs);
    void CloseConn(Conn* pConn);

    std::string m_addr;
    uint16_t m_wPort = 0;
    int m_nListen = -1;
    int m_nAcceptForMs = 0;
    OXR_THREAD m_hAccept = nullptr;
    std::vector<CTestScript> m_scripts;
    std::vector<Conn*> m_conns; // guarded by m_mutex
    std::set<int> m_marks;      // guarded by m_mutex
    mutable std::mutex m_mutex;
    std::atomic<int> m_bStop{0};
    std::atomic<int> m_bAcceptEnded{0};
    std::atomic<int> m_nAccepted{0};
};

#endif // TEST_SERVER_H
