// The client side of Digest authorization for the tests, written apart from
// the camera's code: it hashes with libcrypto and builds the answer itself.
#ifndef OXR_TOOLS_TEST_DIGEST_CLIENT_H
#define OXR_TOOLS_TEST_DIGEST_CLIENT_H

#include <string>

struct DigestAnswer {
    std::string algorithm = "MD5"; // MD5, MD5-sess, SHA-256, SHA-256-sess; "" names none (MD5)
    std::string username = "admin";
    std::string password = "demo";
    std::string realm = "oxr-demo-camera";
    std::string nonce;
    std::string opaque;
    std::string method = "GET";
    std::string uri;
    std::string qop = "auth"; // "" for the RFC 2069 form
    std::string nc = "00000001";
    std::string cnonce = "0a4f113b";
    std::string body;       // hashed for auth-int
    bool bUserhash = false; // send H(username ":" realm) as the username
};

// Lower-case hex of MD5 or SHA-256 (by the algorithm's name) of data.
std::string TestDigestHash(const std::string& algorithm, const std::string& data);

// The complete header line "Authorization: Digest username=..., ...".
std::string DigestAuthorization(const DigestAnswer& answer);

// The value of name="..." or name=token in one challenge; "" when absent.
std::string ChallengeParam(const std::string& challenge, const std::string& name);

#endif
