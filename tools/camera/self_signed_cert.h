// The certificate the demo camera makes for itself at start with --tls, and
// the SHA-256 fingerprint by which a client can pin a certificate.
#ifndef OXR_DEMO_SELF_SIGNED_CERT_H
#define OXR_DEMO_SELF_SIGNED_CERT_H

#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

// An EC P-256 key and a certificate for it, signed by itself with SHA-256:
// subject CN 127.0.0.1, subjectAltName IP:127.0.0.1, IP:::1, DNS:localhost,
// valid from now for one day. The caller frees both; false with a reason.
bool MakeSelfSignedCertificate(EVP_PKEY** ppKey, X509** ppCert, std::string* pError);

// SHA-256 of the certificate's DER form as upper-case hex pairs joined by
// colons, the way `openssl x509 -noout -fingerprint -sha256` shows it.
std::string CertificateFingerprint(X509* pCert);

// The last OpenSSL error of this thread as text (empty when there is none).
std::string OpenSslError();

#endif
