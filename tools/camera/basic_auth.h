// Basic authorization as the demo camera checks it.
#ifndef OXR_DEMO_BASIC_AUTH_H
#define OXR_DEMO_BASIC_AUTH_H

#include <string>

// Standard Base64 with "=" padding.
std::string Base64Encode(const std::string& bytes);

// True when the Authorization value is "Basic " and the Base64 text of
// "user:password" as configured (the scheme name compared ignoring case).
bool IsAuthorized(const std::string& authorizationValue, const std::string& credentials);

#endif
