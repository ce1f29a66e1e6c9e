// Digest access authentication as the demo camera offers it (RFC 7616, with
// the RFC 2617 and RFC 2069 forms): hashes, the response value, and the
// challenges of a 401 answer.
#ifndef OXR_DEMO_DIGEST_AUTH_H
#define OXR_DEMO_DIGEST_AUTH_H

#include <string>
#include <vector>

#include "http_exchange.h"

constexpr const char* kCameraRealm = "oxr-demo-camera";

enum class DigestAlgorithm { kMd5, kMd5Sess, kSha256, kSha256Sess };

const char* AlgorithmName(DigestAlgorithm algorithm);
// MD5-sess and SHA-256-sess: A1 takes in the nonce and cnonce.
bool IsSessionAlgorithm(DigestAlgorithm algorithm);
// "MD5", "MD5-sess", "SHA-256", "SHA-256-sess", ignoring case.
bool AlgorithmFromName(const std::string& name, DigestAlgorithm* pAlgorithm);
// Lower-case hex of MD5 or SHA-256 (libcrypto), whichever the algorithm is built on.
std::string DigestHash(DigestAlgorithm algorithm, const std::string& data);

// What goes into a response value; qop "" is the RFC 2069 form (no nc, cnonce).
struct DigestInput {
    DigestAlgorithm algorithm = DigestAlgorithm::kMd5;
    std::string username; // the user's name itself, also with userhash
    std::string realm;
    std::string password;
    std::string method;
    std::string uri;
    std::string nonce;
    std::string nc;
    std::string cnonce;
    std::string qop;  // "", "auth" or "auth-int"
    std::string body; // hashed into A2 for auth-int
};

// The response value the client has to send for these inputs.
std::string DigestResponse(const DigestInput& in);

enum class DigestQop { kAuth, kAuthInt, kNone };

// The challenges one request gets, chosen by its query: algorithm=MD5,
// MD5-sess, SHA-256, SHA-256-sess or none (no algorithm parameter, so MD5);
// qop=none or auth-int; userhash=1. By default SHA-256 and MD5, qop="auth".
struct DigestOffer {
    std::vector<DigestAlgorithm> algorithms; // one challenge each, in this order
    bool bNameAlgorithm = true;              // false: the challenge has no algorithm parameter
    DigestQop qop = DigestQop::kAuth;
    bool bUserhash = false;
};

DigestOffer OfferFor(const Request& request);
bool Offers(const DigestOffer& offer, DigestAlgorithm algorithm);
const char* QopName(DigestQop qop); // "" for kNone

// The WWW-Authenticate values of a 401 answer, one per offered algorithm.
std::vector<std::string> DigestChallenges(const DigestOffer& offer, const std::string& nonce,
                                          const std::string& opaque, bool bStale);

#endif
