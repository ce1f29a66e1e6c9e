// Splits an Authorization value of the auth-param form (RFC 7235):
// `Digest name=token, name="quoted \"string\"", ...`.
#ifndef OXR_DEMO_AUTH_PARAMS_H
#define OXR_DEMO_AUTH_PARAMS_H

#include <map>
#include <string>

struct AuthParams {
    std::string scheme;                        // as sent, e.g. "Digest"
    std::map<std::string, std::string> values; // names lower-cased, quoted strings unescaped
    std::string Get(const std::string& lowerName) const;
    bool Has(const std::string& lowerName) const { return values.count(lowerName) != 0; }
};

// False when the value is not a scheme followed by a list of name=value
// parameters: a missing "=", an unterminated quoted string, a stray
// character, or a name given twice (names compare ignoring case).
bool ParseAuthParams(const std::string& text, AuthParams* pParams);

#endif
