#include "basic_auth.h"

#include <strings.h>

std::string Base64Encode(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) {
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        if (i + 2 < bytes.size()) {
            v |= static_cast<unsigned char>(bytes[i + 2]);
        }
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

bool IsAuthorized(const std::string& authorizationValue, const std::string& credentials) {
    const std::string scheme = "Basic ";
    if (authorizationValue.size() <= scheme.size() ||
        strncasecmp(authorizationValue.c_str(), scheme.c_str(), scheme.size()) != 0) {
        return false;
    }
    std::string token = authorizationValue.substr(scheme.size());
    const size_t b = token.find_first_not_of(' ');
    token = b == std::string::npos ? std::string() : token.substr(b);
    return token == Base64Encode(credentials);
}
