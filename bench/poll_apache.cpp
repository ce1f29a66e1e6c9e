// Apache httpd for bench_poll. The approach of the project's interop test
// (a configuration of its own in a temporary directory, one process in the
// foreground under timeout), here with keep-alive, mod_ssl and an access log
// that says which request came first on its connection and which TLS sessions
// were resumed.
#include "poll_apache.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <openssl/evp.h>

#include "bench_util.h"

namespace fs = std::filesystem;

namespace bench {

const char* Apache::kUser = "admin";
const char* Apache::kPassword = "demo";
const char* Apache::kRealm = "oxr-poll";

namespace {

const char kModules[] = "/usr/lib/apache2/modules";

std::string Md5Hex(const std::string& s) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_Digest(s.data(), s.size(), d, &n, EVP_md5(), nullptr);
    std::string hex;
    char sz[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(sz, sizeof(sz), "%02x", d[i]);
        hex += sz;
    }
    return hex;
}

// Files the workers read: readable by all, as httpd may switch to www-data.
bool Write(const fs::path& p, const std::string& s, bool bPublic = true) {
    std::ofstream out(p, std::ios::binary);
    out << s;
    out.close();
    std::error_code ec;
    fs::permissions(p,
                    bPublic ? fs::perms::owner_read | fs::perms::owner_write |
                                  fs::perms::group_read | fs::perms::others_read
                            : fs::perms::owner_read | fs::perms::owner_write,
                    ec);
    return out.good() && !ec;
}

// Runs argv with its output in sLog; true when it exited with 0.
bool Run(const char* const* argv, const std::string& sLog) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(sLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execv(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    int nStatus = 0;
    return pid > 0 && waitpid(pid, &nStatus, 0) == pid && WIFEXITED(nStatus) &&
           WEXITSTATUS(nStatus) == 0;
}

// Root in the first user namespace can hand the workers to www-data; root
// of a namespace made by unshare -r cannot, and then nobody is switched.
bool CanSwitchUser() {
    std::ifstream map("/proc/self/uid_map");
    std::string sInside, sOutside, sCount;
    return geteuid() == 0 && (map >> sInside >> sOutside >> sCount) && sOutside == "0";
}

// A port free now; httpd takes it a moment later.
int FreePort() {
    int nPort = 0;
    int s = ListenLoopback(1, &nPort);
    if (s < 0) {
        return 0;
    }
    close(s);
    return nPort;
}

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

Apache::Apache(const std::string& sSnapshot, const std::string& sStream, const char* pszStreamType)
    : m_sSnapshot(sSnapshot), m_sStream(sStream), m_sStreamType(pszStreamType) {}

Apache::~Apache() {
    Stop();
    if (!m_sDir.empty()) {
        std::error_code ec;
        fs::remove_all(m_sDir, ec);
    }
}

const char* Apache::Binary() {
    return "/usr/sbin/apache2";
}

std::string Apache::Version() {
    char tmpl[] = "/tmp/oxr-poll-version-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) {
        return "?";
    }
    close(fd);
    const char* const argv[] = {"/usr/bin/timeout", "10", Binary(), "-v", nullptr};
    std::string s = Run(argv, tmpl) ? Slurp(tmpl) : "";
    unlink(tmpl);
    size_t n = s.find("Apache/");
    return n == std::string::npos ? "?" : s.substr(n, s.find_first_of(" \n", n) - n);
}

std::string Apache::Start(unsigned nLifeS) {
    if (access(Binary(), X_OK) != 0) {
        return std::string(Binary()) + " is not installed (Debian package apache2)";
    }
    char tmpl[] = "/tmp/oxr-poll-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        return "no temporary directory";
    }
    m_sDir = tmpl;
    const fs::path dir = m_sDir;
    const fs::path docs = dir / "htdocs";
    std::error_code ec;
    fs::create_directories(docs / "private", ec);
    for (const fs::path& d : {dir, docs, docs / "private"}) {
        fs::permissions(d,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec,
                        ec);
    }
    bool bOk = true;
    for (const fs::path& d : {docs, docs / "private"}) {
        bOk = bOk && Write(d / "snap.jpg", m_sSnapshot) && Write(d / "stream.mjpg", m_sStream);
    }
    const std::string sUserLine = std::string(kUser) + ":" + kRealm + ":";
    bOk = bOk && Write(dir / "digest.pw", sUserLine + Md5Hex(sUserLine + kPassword) + "\n");
    if (!bOk) {
        return "cannot write the files in " + m_sDir;
    }
    // A self-signed EC P-256 certificate for 127.0.0.1, valid for a day.
    const std::string sKey = (dir / "key.pem").string();
    const std::string sCert = (dir / "cert.pem").string();
    const std::string sOpensslLog = (dir / "openssl.log").string();
    const char* const openssl[] = {"/usr/bin/timeout",
                                   "30",
                                   "openssl",
                                   "req",
                                   "-x509",
                                   "-newkey",
                                   "ec",
                                   "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1",
                                   "-nodes",
                                   "-days",
                                   "1",
                                   "-subj",
                                   "/CN=127.0.0.1",
                                   "-addext",
                                   "subjectAltName=IP:127.0.0.1",
                                   "-keyout",
                                   sKey.c_str(),
                                   "-out",
                                   sCert.c_str(),
                                   nullptr};
    if (!Run(openssl, sOpensslLog)) {
        return "openssl req failed: " + Slurp(sOpensslLog);
    }

    m_nHttpPort = FreePort();
    m_nHttpsPort = FreePort();
    if (m_nHttpPort == 0 || m_nHttpsPort == 0 || m_nHttpPort == m_nHttpsPort) {
        return "no free port on 127.0.0.1";
    }
    const std::string d = m_sDir;
    std::ostringstream conf;
    for (const char* m : {"mpm_event", "authn_core", "authn_file", "authz_core", "authz_user",
                          "auth_digest", "mime", "ssl"}) {
        conf << "LoadModule " << m << "_module " << kModules << "/mod_" << m << ".so\n";
    }
    conf << "ServerName 127.0.0.1\nServerRoot " << d << "\nDefaultRuntimeDir " << d << "\nPidFile "
         << d << "/httpd.pid\nErrorLog " << d << "/error.log\nLogLevel warn\n"
         << "Listen 127.0.0.1:" << m_nHttpPort << "\nListen 127.0.0.1:" << m_nHttpsPort
         << "\n"
         // Keep-alive as a device that allows it: every connection may carry
         // any number of requests, and an idle one stays for 5 s.
         << "KeepAlive On\nMaxKeepAliveRequests 0\nKeepAliveTimeout 5\n"
         << "TypesConfig /dev/null\nAddType image/jpeg .jpg\nAddType \"" << m_sStreamType
         << "\" .mjpg\nDocumentRoot " << d
         << "/htdocs\n"
         // %k: the requests before this one on its connection (0: a new one).
         << "LogFormat \"%k %>s %{SSL_SESSION_RESUMED}x %U%q\" poll\nCustomLog " << d
         << "/access.log poll\n"
         << "<Directory " << d << "/htdocs/private>\n  AuthType Digest\n  AuthName \"" << kRealm
         << "\"\n  AuthDigestProvider file\n  AuthUserFile " << d
         << "/digest.pw\n  Require valid-user\n</Directory>\n"
         // TLS 1.3 with one suite, as bench_compare's server.
         << "<VirtualHost 127.0.0.1:" << m_nHttpsPort << ">\n  SSLEngine on\n"
         << "  SSLProtocol -all +TLSv1.3\n  SSLCipherSuite TLSv1.3 TLS_AES_128_GCM_SHA256\n"
         << "  SSLCertificateFile " << sCert << "\n  SSLCertificateKeyFile " << sKey
         << "\n</VirtualHost>\n";
    if (CanSwitchUser()) {
        conf << "User www-data\nGroup www-data\n";
    }
    const std::string sConf = (dir / "httpd.conf").string();
    if (!Write(sConf, conf.str(), false)) {
        return "cannot write " + sConf;
    }
    const std::string sLife = std::to_string(nLifeS);
    m_pid = fork();
    if (m_pid == 0) {
        // One process in the foreground; timeout ends it after nLifeS
        // seconds whatever happens (and kills it 5 s after that).
        int fd = open((dir / "stderr.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execl("/usr/bin/timeout", "timeout", "-k", "5", sLife.c_str(), Binary(), "-X", "-f",
              sConf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (m_pid < 0) {
        return "fork failed";
    }
    for (int i = 0; i < 100; ++i) {
        usleep(50000);
        int a = ConnectLoopback(m_nHttpPort);
        int b = a >= 0 ? ConnectLoopback(m_nHttpsPort) : -1;
        if (a >= 0) {
            close(a);
        }
        if (b >= 0) {
            close(b);
            return "";
        }
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
    }
    return "httpd did not come up: " + Slurp(dir / "stderr.log") + ErrorLog();
}

void Apache::Stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

std::string Apache::ErrorLog() const {
    return m_sDir.empty() ? "" : Slurp(fs::path(m_sDir) / "error.log");
}

std::map<std::string, LogCount> Apache::Counts() const {
    std::map<std::string, LogCount> counts;
    std::ifstream in(fs::path(m_sDir) / "access.log");
    std::string sLine;
    while (std::getline(in, sLine)) {
        std::istringstream fields(sLine);
        int nBefore = -1;
        int nStatus = 0;
        std::string sResumed, sUri;
        if (!(fields >> nBefore >> nStatus >> sResumed >> sUri)) {
            continue;
        }
        size_t n = sUri.find("?t=");
        if (n == std::string::npos) {
            continue;
        }
        LogCount& c = counts[sUri.substr(n + 3, sUri.find('&', n) - (n + 3))];
        ++c.nRequests;
        c.nUnauthorized += nStatus == 401;
        if (nBefore == 0) {
            ++c.nConnections;
            c.nFullHandshakes += sResumed == "Initial";
            c.nResumed += sResumed == "Resumed";
        }
    }
    return counts;
}

} // namespace bench
