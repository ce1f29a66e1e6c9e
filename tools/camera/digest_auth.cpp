#include "digest_auth.h"

#include <strings.h>

#include <openssl/evp.h>

namespace {

const DigestAlgorithm kAlgorithms[] = {DigestAlgorithm::kMd5, DigestAlgorithm::kMd5Sess,
                                       DigestAlgorithm::kSha256, DigestAlgorithm::kSha256Sess};

} // namespace

bool IsSessionAlgorithm(DigestAlgorithm algorithm) {
    return algorithm == DigestAlgorithm::kMd5Sess || algorithm == DigestAlgorithm::kSha256Sess;
}

const char* AlgorithmName(DigestAlgorithm algorithm) {
    switch (algorithm) {
    case DigestAlgorithm::kMd5:
        return "MD5";
    case DigestAlgorithm::kMd5Sess:
        return "MD5-sess";
    case DigestAlgorithm::kSha256:
        return "SHA-256";
    case DigestAlgorithm::kSha256Sess:
        return "SHA-256-sess";
    }
    return "MD5";
}

bool AlgorithmFromName(const std::string& name, DigestAlgorithm* pAlgorithm) {
    for (DigestAlgorithm a : kAlgorithms) {
        if (strcasecmp(name.c_str(), AlgorithmName(a)) == 0) {
            *pAlgorithm = a;
            return true;
        }
    }
    return false;
}

std::string DigestHash(DigestAlgorithm algorithm, const std::string& data) {
    const bool bSha =
        algorithm == DigestAlgorithm::kSha256 || algorithm == DigestAlgorithm::kSha256Sess;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int nLen = 0;
    if (EVP_Digest(data.data(), data.size(), md, &nLen, bSha ? EVP_sha256() : EVP_md5(), nullptr) !=
        1) {
        return std::string(); // never matches an answer
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < nLen; ++i) {
        hex += kHex[md[i] >> 4];
        hex += kHex[md[i] & 15];
    }
    return hex;
}

std::string DigestResponse(const DigestInput& in) {
    const DigestAlgorithm a = in.algorithm;
    std::string ha1 = DigestHash(a, in.username + ":" + in.realm + ":" + in.password);
    if (IsSessionAlgorithm(a)) {
        ha1 = DigestHash(a, ha1 + ":" + in.nonce + ":" + in.cnonce);
    }
    std::string a2 = in.method + ":" + in.uri;
    if (in.qop == "auth-int") {
        a2 += ":" + DigestHash(a, in.body);
    }
    const std::string ha2 = DigestHash(a, a2);
    if (in.qop.empty()) {
        return DigestHash(a, ha1 + ":" + in.nonce + ":" + ha2);
    }
    return DigestHash(a, ha1 + ":" + in.nonce + ":" + in.nc + ":" + in.cnonce + ":" + in.qop + ":" +
                             ha2);
}

DigestOffer OfferFor(const Request& request) {
    DigestOffer offer;
    const std::string algorithm = request.Query("algorithm");
    DigestAlgorithm one = DigestAlgorithm::kMd5;
    if (strcasecmp(algorithm.c_str(), "none") == 0) {
        offer.algorithms = {DigestAlgorithm::kMd5};
        offer.bNameAlgorithm = false;
    } else if (AlgorithmFromName(algorithm, &one)) {
        offer.algorithms = {one};
    } else {
        offer.algorithms = {DigestAlgorithm::kSha256, DigestAlgorithm::kMd5};
    }
    const std::string qop = request.Query("qop");
    offer.qop = qop == "none" ? DigestQop::kNone
                              : (qop == "auth-int" ? DigestQop::kAuthInt : DigestQop::kAuth);
    offer.bUserhash = request.Query("userhash") == "1";
    return offer;
}

bool Offers(const DigestOffer& offer, DigestAlgorithm algorithm) {
    for (DigestAlgorithm a : offer.algorithms) {
        if (a == algorithm) {
            return true;
        }
    }
    return false;
}

const char* QopName(DigestQop qop) {
    switch (qop) {
    case DigestQop::kAuth:
        return "auth";
    case DigestQop::kAuthInt:
        return "auth-int";
    case DigestQop::kNone:
        break;
    }
    return "";
}

std::vector<std::string> DigestChallenges(const DigestOffer& offer, const std::string& nonce,
                                          const std::string& opaque, bool bStale) {
    std::vector<std::string> challenges;
    for (DigestAlgorithm a : offer.algorithms) {
        std::string c = std::string("Digest realm=\"") + kCameraRealm + "\"";
        if (offer.qop != DigestQop::kNone) {
            c += std::string(", qop=\"") + QopName(offer.qop) + "\"";
        }
        if (offer.bNameAlgorithm) {
            c += std::string(", algorithm=") + AlgorithmName(a);
        }
        c += ", nonce=\"" + nonce + "\", opaque=\"" + opaque + "\"";
        if (offer.bUserhash) {
            c += ", userhash=true";
        }
        if (bStale) {
            c += ", stale=true";
        }
        challenges.push_back(c);
    }
    return challenges;
}
