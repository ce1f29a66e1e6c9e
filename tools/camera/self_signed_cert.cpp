#include "self_signed_cert.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace {

EVP_PKEY* NewP256Key() {
    EVP_PKEY* pKey = nullptr;
    EVP_PKEY_CTX* pCtx = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
    if (pCtx != nullptr && EVP_PKEY_keygen_init(pCtx) == 1 &&
        EVP_PKEY_CTX_set_ec_paramgen_curve_nid(pCtx, NID_X9_62_prime256v1) == 1) {
        EVP_PKEY_keygen(pCtx, &pKey);
    }
    EVP_PKEY_CTX_free(pCtx);
    return pKey;
}

bool SetRandomSerial(X509* pCert) {
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof(raw)) != 1) {
        return false;
    }
    raw[0] &= 0x7f; // positive
    BIGNUM* pBn = BN_bin2bn(raw, sizeof(raw), nullptr);
    const bool bOk = pBn != nullptr && BN_to_ASN1_INTEGER(pBn, X509_get_serialNumber(pCert));
    BN_free(pBn);
    return bOk;
}

bool AddExtension(X509* pCert, int nNid, const char* pszValue) {
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, pCert, pCert, nullptr, nullptr, 0);
    X509_EXTENSION* pExt = X509V3_EXT_conf_nid(nullptr, &v3, nNid, pszValue);
    const bool bOk = pExt != nullptr && X509_add_ext(pCert, pExt, -1) == 1;
    X509_EXTENSION_free(pExt);
    return bOk;
}

bool FillCertificate(X509* pCert, EVP_PKEY* pKey) {
    constexpr long kOneDaySec = 24 * 60 * 60;
    X509_NAME* pName = X509_get_subject_name(pCert);
    return X509_set_version(pCert, 2) == 1 && SetRandomSerial(pCert) &&
           X509_gmtime_adj(X509_getm_notBefore(pCert), 0) != nullptr &&
           X509_gmtime_adj(X509_getm_notAfter(pCert), kOneDaySec) != nullptr &&
           X509_set_pubkey(pCert, pKey) == 1 &&
           X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                                      0) == 1 &&
           X509_set_issuer_name(pCert, pName) == 1 &&
           AddExtension(pCert, NID_subject_alt_name, "IP:127.0.0.1, IP:::1, DNS:localhost") &&
           AddExtension(pCert, NID_basic_constraints, "critical,CA:FALSE") &&
           AddExtension(pCert, NID_ext_key_usage, "serverAuth") &&
           X509_sign(pCert, pKey, EVP_sha256()) > 0;
}

} // namespace

bool MakeSelfSignedCertificate(EVP_PKEY** ppKey, X509** ppCert, std::string* pError) {
    EVP_PKEY* pKey = NewP256Key();
    X509* pCert = pKey != nullptr ? X509_new() : nullptr;
    if (pCert == nullptr || !FillCertificate(pCert, pKey)) {
        *pError = "cannot make a certificate: " + OpenSslError();
        X509_free(pCert);
        EVP_PKEY_free(pKey);
        return false;
    }
    *ppKey = pKey;
    *ppCert = pCert;
    return true;
}

std::string CertificateFingerprint(X509* pCert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int nLen = 0;
    if (pCert == nullptr || X509_digest(pCert, EVP_sha256(), md, &nLen) != 1) {
        return std::string();
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < nLen; ++i) {
        if (i > 0) {
            text += ':';
        }
        text += kHex[md[i] >> 4];
        text += kHex[md[i] & 15];
    }
    return text;
}

std::string OpenSslError() {
    const unsigned long nError = ERR_get_error();
    if (nError == 0) {
        return std::string();
    }
    char text[256];
    ERR_error_string_n(nError, text, sizeof(text));
    return text;
}
