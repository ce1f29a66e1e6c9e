// The demo camera's listener: accepts connections on loopback and serves
// each on its own thread (one request after the other while the client
// keeps it) until the run-time limit or a stop request. A kept connection
// that idles holds only its own thread.
#ifndef OXR_DEMO_CAMERA_SERVER_H
#define OXR_DEMO_CAMERA_SERVER_H

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "camera_context.h"
#include "tls_server.h"

class CameraServer {
public:
    explicit CameraServer(CameraContext& ctx);
    ~CameraServer();
    CameraServer(const CameraServer&) = delete;
    CameraServer& operator=(const CameraServer&) = delete;

    // Binds and listens (with --tls after setting up the certificate);
    // false with a reason on failure.
    bool Listen(std::string* pError);
    uint16_t Port() const { return m_wPort; }
    // With --tls the SHA-256 fingerprint of the certificate served, else "".
    std::string CertificateFingerprint() const;
    // Serves until the run-time limit passes or externalStop becomes true,
    // then ends every connection and returns once all threads have ended.
    void Run(const std::atomic<bool>& externalStop);

private:
    struct Worker { // one accepted connection and the thread serving it
        int nSocket;
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> pDone;
    };

    void Serve(int nSocket);
    void Log(const std::string& text) const; // on stderr unless --quiet
    void Accept();
    void ReapFinished();
    void EndAll();

    CameraContext& m_ctx;
    std::unique_ptr<TlsServer> m_pTls; // null for plain HTTP
    int m_nListen = -1;
    uint16_t m_wPort = 0;
    // Sockets stay open until their thread is joined, so a shutdown from
    // EndAll never hits a descriptor number that was reused meanwhile.
    std::list<Worker> m_connections;
};

#endif
