// A throw-away certificate authority for the TLS tests, made with the
// openssl command in a temporary directory that is removed afterwards.
#ifndef OXR_TOOLS_TEST_TEST_CA_H
#define OXR_TOOLS_TEST_TEST_CA_H

#include <string>
#include <vector>

constexpr const char* kOpensslBin = "/usr/bin/openssl";

class TestCa {
public:
    // Makes ca.pem and a server certificate signed by it (leaf.pem,
    // leaf.key: CN 127.0.0.1, subjectAltName 127.0.0.1, ::1, localhost).
    TestCa();
    ~TestCa();
    TestCa(const TestCa&) = delete;
    TestCa& operator=(const TestCa&) = delete;

    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }
    std::string CaFile() const { return m_dir + "/ca.pem"; }
    std::string CertFile() const { return m_dir + "/leaf.pem"; }
    std::string KeyFile() const { return m_dir + "/leaf.key"; }
    // `openssl x509 -noout -fingerprint -sha256` of leaf.pem, without the line end.
    const std::string& OpensslFingerprintLine() const { return m_fingerprintLine; }

private:
    bool Openssl(const std::string& what, const std::vector<std::string>& args,
                 std::string* pOut = nullptr);
    std::string m_dir;
    std::string m_error;
    std::string m_fingerprintLine;
};

#endif
