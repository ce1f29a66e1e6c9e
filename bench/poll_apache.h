// Apache httpd for bench_poll: started on 127.0.0.1 for the run with a
// configuration, a self-signed certificate and files made for it, and stopped
// by its process id (by a time limit regardless).
#ifndef OXR_BENCH_POLL_APACHE_H
#define OXR_BENCH_POLL_APACHE_H

#include <sys/types.h>

#include <map>
#include <string>

namespace bench {

// What the access log says about the requests of one tag (the query
// "?t=TAG" a client puts on its URL).
struct LogCount {
    int nRequests = 0;
    int nConnections = 0; // requests that were the first on their connection
    int nUnauthorized = 0;
    int nFullHandshakes = 0; // https: connections with a new TLS session
    int nResumed = 0;        // https: connections that resumed one
};

class Apache {
public:
    // The files it serves: the snapshot at /snap.jpg and the stream at
    // /stream.mjpg, the same again behind Digest under /private/.
    Apache(const std::string& sSnapshot, const std::string& sStream, const char* pszStreamType);
    ~Apache();
    Apache(const Apache&) = delete;
    Apache& operator=(const Apache&) = delete;

    // Writes everything and starts httpd, which stops by itself after
    // nLifeS seconds; waits until both ports answer. "" or what failed.
    std::string Start(unsigned nLifeS);
    // Stops httpd (its log is then complete).
    void Stop();

    int HttpPort() const { return m_nHttpPort; }
    int HttpsPort() const { return m_nHttpsPort; }
    std::string ErrorLog() const;
    // The access log, by tag.
    std::map<std::string, LogCount> Counts() const;

    static const char* Binary();
    static std::string Version();
    static const char* kUser;
    static const char* kPassword;
    static const char* kRealm;

private:
    std::string m_sDir;
    std::string m_sSnapshot;
    std::string m_sStream;
    std::string m_sStreamType;
    int m_nHttpPort = 0;
    int m_nHttpsPort = 0;
    pid_t m_pid = -1;
};

} // namespace bench

#endif // OXR_BENCH_POLL_APACHE_H
