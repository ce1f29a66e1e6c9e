#include "test_ca.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "child_process.h"

namespace {

const char kConfig[] = "[req]\n"
                       "distinguished_name = dn\n"
                       "[dn]\n"
                       "[ca]\n"
                       "basicConstraints = critical, CA:TRUE\n"
                       "keyUsage = critical, keyCertSign, cRLSign\n"
                       "subjectKeyIdentifier = hash\n"
                       "[leaf]\n"
                       "basicConstraints = CA:FALSE\n"
                       "subjectAltName = IP:127.0.0.1, IP:::1, DNS:localhost\n"
                       "extendedKeyUsage = serverAuth\n"
                       "subjectKeyIdentifier = hash\n"
                       "authorityKeyIdentifier = keyid\n";

} // namespace

TestCa::TestCa() {
    char dirTemplate[] = "/tmp/oxr-camera-ca-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        m_error = "no temporary directory";
        return;
    }
    m_dir = dirTemplate;
    const std::string cnf = m_dir + "/openssl.cnf";
    std::ofstream(cnf) << kConfig;
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                         "-nodes"};
    std::vector<std::string> ca = {"req", "-x509", "-config", cnf, "-extensions", "ca"};
    ca.insert(ca.end(), ec.begin(), ec.end());
    ca.insert(ca.end(), {"-keyout", m_dir + "/ca.key", "-out", CaFile(), "-subj", "/CN=oxr test CA",
                         "-days", "1"});
    std::vector<std::string> csr = {"req", "-new", "-config", cnf};
    csr.insert(csr.end(), ec.begin(), ec.end());
    csr.insert(csr.end(),
               {"-keyout", KeyFile(), "-out", m_dir + "/leaf.csr", "-subj", "/CN=127.0.0.1"});
    const std::vector<std::string> sign = {
        "x509",        "-req",    "-in",         m_dir + "/leaf.csr",
        "-CA",         CaFile(),  "-CAkey",      m_dir + "/ca.key",
        "-set_serial", "2",       "-days",       "1",
        "-extfile",    cnf,       "-extensions", "leaf",
        "-out",        CertFile()};
    std::string fingerprint;
    if (Openssl("CA", ca) && Openssl("request", csr) && Openssl("signing", sign) &&
        Openssl("fingerprint", {"x509", "-in", CertFile(), "-noout", "-fingerprint", "-sha256"},
                &fingerprint)) {
        m_fingerprintLine = fingerprint.substr(0, fingerprint.find('\n'));
    }
}

TestCa::~TestCa() {
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

bool TestCa::Openssl(const std::string& what, const std::vector<std::string>& args,
                     std::string* pOut) {
    const ProcessResult r = RunProcess(kOpensslBin, args, 20000);
    if (r.nExit != 0) {
        m_error = "openssl " + what + " failed: " + r.err;
        return false;
    }
    if (pOut != nullptr) {
        *pOut = r.out;
    }
    return true;
}
