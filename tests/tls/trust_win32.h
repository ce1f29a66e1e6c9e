// Windows set-up of test_tls: the test CA in the current user's root store
// for the run (SChannel trusts the system's stores only), and whether this
// SChannel offers TLS 1.3 at all.
#ifndef TRUST_WIN32_H
#define TRUST_WIN32_H

#include <string>

// Adds the CA certificate (PEM file) to the current user's root store; an
// empty answer when done, else why not.
std::string TrustTestCa(const std::string& pemPath);
// Removes every certificate TrustTestCa added, also those of earlier runs.
void UntrustTestCa();
// Whether SChannel here takes credentials for TLS 1.3 and nothing else.
bool PlatformOffersTls13();

#endif // TRUST_WIN32_H
