// Digest authorization against a server no one on the project wrote: Apache
// httpd's mod_auth_digest, started on 127.0.0.1 with a configuration of the
// test's own and stopped by its process id (and by a time limit regardless).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "oxr.h"
#include "oxr_http.h"
#include "test_net.h"

namespace fs = std::filesystem;

namespace {

const char kApache[] = "/usr/sbin/apache2";
const char kModules[] = "/usr/lib/apache2/modules";

std::string Md5Hex(const std::string& text) {
    unsigned char d[16];
    OXR_Hash(OXR_HASH_MD5, text.data(), text.size(), d);
    char sz[33];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(sz + 2 * i, 3, "%02x", d[i]);
    }
    return sz;
}

void Write(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
    fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::others_read);
}

// Root in the first user namespace can hand the workers to www-data; root
// of a namespace made by unshare -r cannot, and then nobody is switched.
bool CanSwitchUser() {
    std::ifstream map("/proc/self/uid_map");
    std::string inside, outside, count;
    return geteuid() == 0 && (map >> inside >> outside >> count) && outside == "0";
}

class Apache {
public:
    Apache() {
        char tmpl[] = "/tmp/oxr-apache-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            return;
        }
        m_dir = tmpl;
        const fs::path docs = m_dir / "htdocs" / "private";
        fs::create_directories(docs);
        for (const fs::path& d : {m_dir, m_dir / "htdocs", docs}) {
            fs::permissions(d, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
        }
        Write(docs / "hello.txt", kHello);
        Write(docs / "stream.mjpg", Stream());
        Write(m_dir / "digest.pw", "admin:oxr-test:" + Md5Hex("admin:oxr-test:demo") + "\n");
        // A free port now; Apache takes it a moment later.
        int s = TestListen("127.0.0.1", 0, &m_wPort);
        OXR_CloseSocket(s, 0);
        std::string conf = "ServerName 127.0.0.1\nListen 127.0.0.1:" + std::to_string(m_wPort) +
                           "\nPidFile " + (m_dir / "httpd.pid").string() + "\nErrorLog " +
                           (m_dir / "error.log").string() + "\nDocumentRoot " +
                           (m_dir / "htdocs").string() + "\nTypesConfig /dev/null\nKeepAlive Off\n" +
                           "AddType text/plain .txt\n"
                           "AddType \"multipart/x-mixed-replace;boundary=fr\" .mjpg\n"
                           "<Directory " +
                           docs.string() +
                           ">\n  AuthType Digest\n  AuthName \"oxr-test\"\n"
                           "  AuthDigestProvider file\n  AuthUserFile " +
                           (m_dir / "digest.pw").string() + "\n  Require valid-user\n</Directory>\n";
        for (const char* m : {"mpm_event", "authn_core", "authn_file", "authz_core", "authz_user",
                              "auth_digest", "mime"}) {
            conf = "LoadModule " + std::string(m) + "_module " + kModules + "/mod_" + m +
                   ".so\n" + conf;
        }
        if (CanSwitchUser()) {
            conf += "User www-data\nGroup www-data\n";
        }
        Write(m_dir / "httpd.conf", conf);
        m_pid = fork();
        if (m_pid == 0) {
            // In the foreground, one process; gone after a minute whatever happens.
            execl("/usr/bin/timeout", "timeout", "60", kApache, "-X", "-f",
                  (m_dir / "httpd.conf").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !m_bUp; ++i) {
            OXR_Sleep(50);
            int c = TestConnect("127.0.0.1", m_wPort, 200);
            m_bUp = c >= 0;
            OXR_CloseSocket(c, 0);
        }
    }
    ~Apache() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    bool Up() const { return m_bUp; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_wPort) + path;
    }
    std::string Log() const {
        std::ifstream in(m_dir / "error.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static constexpr const char* kHello = "hello through digest\n";
    static std::vector<std::string> Parts() { return {"first", std::string(3000, 'x'), "3rd"}; }

private:
    static std::string Stream() {
        std::string s;
        for (const std::string& p : Parts()) {
            s += "--fr\r\nContent-Type: text/plain\r\nContent-Length: " +
                 std::to_string(p.size()) + "\r\n\r\n" + p + "\r\n";
        }
        return s + "--fr--\r\n";
    }

    fs::path m_dir;
    uint16_t m_wPort = 0;
    pid_t m_pid = -1;
    bool m_bUp = false;
};

struct Got {
    std::mutex mutex;
    std::vector<std::string> data;
};

int OXR_HTTP_CALLBACK Keep(int, void* pUser, OXR_HTTP_DATA* pData) {
    Got* g = static_cast<Got*>(pUser);
    std::lock_guard<std::mutex> lock(g->mutex);
    g->data.emplace_back(pData->pData, static_cast<size_t>(pData->nDataLen));
    return 0;
}

// Receives path with the credentials until the stream ends; the pieces.
std::vector<std::string> Fetch(const Apache& a, const std::string& path,
                               const char* pszCredentials, int* pnStatus) {
    Got got;
    int h = OXR_HTTP_OpenEx(a.Url(path).c_str(), HTTP_METHOD_GET, pszCredentials, 0, 3000, Keep,
                            &got);
    if (h < 0) {
        return {};
    }
    if (OXR_HTTP_SendRequest(h, "0", nullptr, 0, 3000) == 0) {
        for (int i = 0; i < 2000; ++i) {
            if (OXR_HTTP_GetStreamState(h, nullptr, nullptr) == HTTP_STREAM_ENDED) {
                break;
            }
            OXR_Sleep(5);
        }
    }
    *pnStatus = OXR_HTTP_GetStatus(h, nullptr, 0);
    OXR_HTTP_Close(h);
    std::lock_guard<std::mutex> lock(got.mutex);
    return got.data;
}

TEST(ApacheDigest, FilesAndStreamsBehindModAuthDigest) {
    if (access(kApache, X_OK) != 0) {
        GTEST_SKIP() << kApache << " is not installed (Debian package apache2)";
    }
    Apache a;
    ASSERT_TRUE(a.Up()) << a.Log();
    int nStatus = 0;
    std::string body;
    for (const std::string& piece : Fetch(a, "/private/hello.txt", "admin:demo", &nStatus)) {
        body += piece;
    }
    EXPECT_EQ(nStatus, 200);
    EXPECT_EQ(body, Apache::kHello);
    EXPECT_EQ(Fetch(a, "/private/stream.mjpg", "admin:demo", &nStatus), Apache::Parts());
    EXPECT_EQ(nStatus, 200);
    EXPECT_TRUE(Fetch(a, "/private/hello.txt", "admin:wrong", &nStatus).empty());
    EXPECT_EQ(nStatus, 401);
    EXPECT_TRUE(Fetch(a, "/private/hello.txt", nullptr, &nStatus).empty());
    EXPECT_EQ(nStatus, 401);
}

} // namespace
