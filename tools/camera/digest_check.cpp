#include "digest_check.h"

#include <cctype>
#include <strings.h>

#include <openssl/crypto.h>

#include "auth_params.h"

namespace {

DigestCheck Refuse(const std::string& reason) {
    return DigestCheck{DigestVerdict::kRefused, reason};
}

std::string Lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

bool ParseNonceCount(const std::string& text, uint32_t* pCount) {
    if (text.size() != 8) {
        return false;
    }
    uint32_t v = 0;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
        v = v * 16 +
            static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                      ? c - '0'
                                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    *pCount = v;
    return true;
}

DigestCheck CheckDigestAnswer(const Request& request, const DigestOffer& offer,
                              const std::string& credentials, NonceTable& nonces) {
    const std::string value = request.Header("Authorization");
    if (value.empty()) {
        return Refuse("no Authorization");
    }
    AuthParams p;
    if (!ParseAuthParams(value, &p) || strcasecmp(p.scheme.c_str(), "Digest") != 0) {
        return Refuse("not a well-formed Digest answer");
    }
    for (const char* name : {"username", "realm", "nonce", "uri", "response"}) {
        if (!p.Has(name)) {
            return Refuse(std::string("no ") + name);
        }
    }
    if (p.Get("realm") != kCameraRealm) {
        return Refuse("wrong realm");
    }
    DigestAlgorithm algorithm = DigestAlgorithm::kMd5; // when the answer names none
    if (p.Has("algorithm") && !AlgorithmFromName(p.Get("algorithm"), &algorithm)) {
        return Refuse("unknown algorithm");
    }
    if (!Offers(offer, algorithm)) {
        return Refuse(std::string("algorithm ") + AlgorithmName(algorithm) + " was not offered");
    }
    const std::string qop = p.Get("qop");
    if (qop != QopName(offer.qop)) {
        return Refuse(offer.qop == DigestQop::kNone ? "qop was not offered"
                                                    : "qop missing or not the one offered");
    }
    uint32_t nc = 0;
    if (!qop.empty() && !ParseNonceCount(p.Get("nc"), &nc)) {
        return Refuse("nc is not eight hex digits");
    }
    if ((!qop.empty() || IsSessionAlgorithm(algorithm)) && p.Get("cnonce").empty()) {
        return Refuse("no cnonce");
    }
    if (p.Get("uri") != request.target) {
        return Refuse("uri is not the request target");
    }
    if (p.Get("opaque") != nonces.Opaque()) {
        return Refuse("opaque not returned unchanged");
    }
    const size_t colon = credentials.find(':');
    const std::string user = credentials.substr(0, colon);
    const std::string password = colon == std::string::npos ? "" : credentials.substr(colon + 1);
    const bool bUserhash = strcasecmp(p.Get("userhash").c_str(), "true") == 0;
    if (bUserhash && !offer.bUserhash) {
        return Refuse("userhash was not offered");
    }
    const std::string expectedName =
        bUserhash ? DigestHash(algorithm, user + ":" + kCameraRealm) : user;
    if (!SameText(bUserhash ? Lower(p.Get("username")) : p.Get("username"), expectedName)) {
        return Refuse("unknown user");
    }
    DigestInput in;
    in.algorithm = algorithm;
    in.username = user;
    in.realm = kCameraRealm;
    in.password = password;
    in.method = request.method;
    in.uri = request.target;
    in.nonce = p.Get("nonce");
    in.nc = p.Get("nc");
    in.cnonce = p.Get("cnonce");
    in.qop = qop;
    in.body = request.body;
    if (!SameText(Lower(p.Get("response")), DigestResponse(in))) {
        return Refuse("wrong response (password?)");
    }
    switch (nonces.Accept(in.nonce, !qop.empty(), nc)) {
    case NonceTable::Verdict::kAccepted:
        return DigestCheck{DigestVerdict::kAccepted, ""};
    case NonceTable::Verdict::kUnknown:
        return DigestCheck{DigestVerdict::kStale, "unknown nonce"};
    case NonceTable::Verdict::kStale:
        return DigestCheck{DigestVerdict::kStale, "nonce used up"};
    case NonceTable::Verdict::kCountNotGreater:
        break;
    }
    return Refuse("nc not greater than the last one accepted with this nonce");
}
