// Certificate checks of the Windows TLS client (SChannel validates nothing
// itself here): trust through the system's chain engine, the host name or
// address against the certificate's subjectAltName, and SHA-256 pins.
#include "oxr_tls_schannel.h"

#include <cstring>

namespace {

bool ChainTrusted(PCCERT_CONTEXT pCert) {
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    PCCERT_CHAIN_CONTEXT pChain = nullptr;
    // Cache only: fetching missing issuers from the network would not keep
    // to the handshake's time-out; the server must send its intermediates.
    if (!CertGetCertificateChain(nullptr, pCert, nullptr, pCert->hCertStore, &para,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &pChain)) {
        return false;
    }
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER; // no server name: the name is checked below
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    BOOL bOk = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, pChain, &policy, &status);
    // Revocation is not asked for, so its status is unknown by design.
    DWORD dwErrors = pChain->TrustStatus.dwErrorStatus &
                     ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                         CERT_TRUST_IS_OFFLINE_REVOCATION);
    CertFreeCertificateChain(pChain);
    return bOk && status.dwError == 0 && dwErrors == 0;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// A DNS name from the certificate against the host, ASCII case ignored; a
// leading "*." stands for exactly one whole label, and only below two more.
bool DnsNameMatches(const wchar_t* pwszPattern, const char* pszHost) {
    char szPattern[256];
    size_t n = 0;
    for (; pwszPattern[n] != 0; ++n) {
        if (n + 1 >= sizeof(szPattern) || pwszPattern[n] > 0x7e || pwszPattern[n] < 0x21) {
            return false;
        }
        szPattern[n] = Lower(static_cast<char>(pwszPattern[n]));
    }
    if (n > 0 && szPattern[n - 1] == '.') {
        --n;
    }
    szPattern[n] = '\0';
    char szHost[256];
    size_t m = std::strlen(pszHost);
    if (m == 0 || m >= sizeof(szHost)) {
        return false;
    }
    for (size_t i = 0; i <= m; ++i) {
        szHost[i] = Lower(pszHost[i]);
    }
    if (szPattern[0] == '*' && szPattern[1] == '.') {
        const char* pszSuffix = szPattern + 1; // ".example.com"
        const char* pszDot = std::strchr(szHost, '.');
        return std::strchr(pszSuffix + 1, '.') != nullptr && pszDot != nullptr &&
               pszDot != szHost && std::strcmp(pszDot, pszSuffix) == 0;
    }
    return std::strchr(szPattern, '*') == nullptr && std::strcmp(szPattern, szHost) == 0;
}

// As OpenSSL does: subjectAltName entries; the subject's common name only
// for a host name and only when the certificate lists no DNS names.
bool NameMatches(PCCERT_CONTEXT pCert, const char* pszHost, bool bIp) {
    unsigned char ip[16];
    DWORD nIp = 0;
    if (bIp) {
        nIp = inet_pton(AF_INET, pszHost, ip) == 1
                  ? 4
                  : (inet_pton(AF_INET6, pszHost, ip) == 1 ? 16 : 0);
        if (nIp == 0) {
            return false;
        }
    }
    bool bMatch = false;
    bool bAnyDns = false;
    const CERT_INFO* pInfo = pCert->pCertInfo;
    PCERT_EXTENSION pExt =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, pInfo->cExtension, pInfo->rgExtension);
    CERT_ALT_NAME_INFO* pNames = nullptr;
    DWORD cb = 0;
    if (pExt != nullptr &&
        CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, pExt->Value.pbData,
                            pExt->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &pNames, &cb)) {
        for (DWORD i = 0; i < pNames->cAltEntry && !bMatch; ++i) {
            const CERT_ALT_NAME_ENTRY& e = pNames->rgAltEntry[i];
            if (e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
                bAnyDns = true;
                bMatch = !bIp && e.pwszDNSName != nullptr && DnsNameMatches(e.pwszDNSName, pszHost);
            } else if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
                bMatch = bIp && e.IPAddress.cbData == nIp &&
                         std::memcmp(e.IPAddress.pbData, ip, nIp) == 0;
            }
        }
        LocalFree(pNames);
    }
    if (!bMatch && !bIp && !bAnyDns) {
        wchar_t wszCn[256];
        if (CertGetNameStringW(pCert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                               wszCn, 256) > 1) {
            bMatch = DnsNameMatches(wszCn, pszHost);
        }
    }
    return bMatch;
}

} // namespace

int OXR_TlsCertSha256(PCCERT_CONTEXT pCert, unsigned char* pOut32) {
    DWORD n = 32;
    return CryptHashCertificate2(L"SHA256", 0, nullptr, pCert->pbCertEncoded, pCert->cbCertEncoded,
                                 pOut32, &n) &&
                   n == 32
               ? 0
               : -1;
}

int OXR_TlsCheckPeerCertificate(PCCERT_CONTEXT pCert, const char* pszHost, bool bIp, int nVerify,
                                const unsigned char* pPin) {
    if (pPin != nullptr) {
        unsigned char md[32];
        if (OXR_TlsCertSha256(pCert, md) != 0) {
            return OXR_TLS_E_NO_MEMORY;
        }
        return std::memcmp(md, pPin, 32) == 0 ? OXR_TLS_OK : OXR_TLS_E_PIN;
    }
    if (nVerify == 0) {
        return OXR_TLS_OK;
    }
    if (!ChainTrusted(pCert)) {
        return OXR_TLS_E_UNTRUSTED;
    }
    return NameMatches(pCert, pszHost, bIp) ? OXR_TLS_OK : OXR_TLS_E_NAME;
}
