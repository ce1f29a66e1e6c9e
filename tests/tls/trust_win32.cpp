// Windows set-up of test_tls (see trust_win32.h).
#define SECURITY_WIN32
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h> // UNICODE_STRING, for SCH_CREDENTIALS
#define SCHANNEL_USE_BLACKLISTS
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "trust_win32.h"

namespace {

const wchar_t kCaName[] = L"oxrhttp test CA"; // the subject peers.sh gives its CA

HCERTSTORE OpenRoot() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
}

bool Acquire(void* pAuth, CredHandle* pCred) {
    return AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                     nullptr, pAuth, nullptr, nullptr, pCred, nullptr) == SEC_E_OK;
}

} // namespace

std::string TrustTestCa(const std::string& pemPath) {
    std::ifstream in(pemPath, std::ios::binary);
    std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (pem.empty()) {
        return "cannot read " + pemPath;
    }
    DWORD cb = 0;
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &cb, nullptr,
                              nullptr)) {
        return "not a PEM certificate: " + pemPath;
    }
    std::vector<BYTE> der(cb);
    CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &cb, nullptr,
                         nullptr);
    UntrustTestCa();
    HCERTSTORE hRoot = OpenRoot();
    if (hRoot == nullptr) {
        return "cannot open the current user's root store";
    }
    BOOL bOk = CertAddEncodedCertificateToStore(hRoot, X509_ASN_ENCODING, der.data(), cb,
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(hRoot, 0);
    return bOk ? std::string() : "the current user's root store refused the test CA";
}

void UntrustTestCa() {
    HCERTSTORE hRoot = OpenRoot();
    if (hRoot == nullptr) {
        return;
    }
    for (int i = 0; i < 100; ++i) {
        PCCERT_CONTEXT pCert = CertFindCertificateInStore(
            hRoot, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, kCaName, nullptr);
        if (pCert == nullptr) {
            break;
        }
        CertDeleteCertificateFromStore(pCert); // frees pCert too
    }
    CertCloseStore(hRoot, 0);
}

// Acquires credentials for TLS 1.3 alone; whether they really allow it, as
// far as SChannel tells (wine 8 takes SCH_CREDENTIALS but ignores what they disable).
bool PlatformOffersTls13() {
    TLS_PARAMETERS params{};
    params.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS sch{};
    sch.dwVersion = SCH_CREDENTIALS_VERSION;
    sch.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    sch.cTlsParameters = 1;
    sch.pTlsParameters = &params;
    SCHANNEL_CRED old{};
    old.dwVersion = SCHANNEL_CRED_VERSION;
    old.grbitEnabledProtocols = SP_PROT_TLS1_3_CLIENT;
    old.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    void* const tries[] = {&sch, &old};
    for (void* pAuth : tries) {
        CredHandle cred;
        if (!Acquire(pAuth, &cred)) {
            continue;
        }
        SecPkgCred_SupportedProtocols prot{};
        bool bOffered = QueryCredentialsAttributesA(&cred, SECPKG_ATTR_SUPPORTED_PROTOCOLS,
                                                    &prot) != SEC_E_OK ||
                        (prot.grbitProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
        FreeCredentialsHandle(&cred);
        if (bOffered) {
            return true;
        }
    }
    return false;
}
