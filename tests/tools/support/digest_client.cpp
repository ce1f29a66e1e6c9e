#include "digest_client.h"

#include <openssl/evp.h>

namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

std::string TestDigestHash(const std::string& algorithm, const std::string& data) {
    const EVP_MD* pMd = algorithm.compare(0, 7, "SHA-256") == 0 ? EVP_sha256() : EVP_md5();
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int nLen = 0;
    EVP_Digest(data.data(), data.size(), md, &nLen, pMd, nullptr);
    std::string hex;
    for (unsigned int i = 0; i < nLen; ++i) {
        hex += "0123456789abcdef"[md[i] >> 4];
        hex += "0123456789abcdef"[md[i] & 15];
    }
    return hex;
}

std::string DigestAuthorization(const DigestAnswer& a) {
    const std::string alg = a.algorithm.empty() ? "MD5" : a.algorithm;
    std::string ha1 = TestDigestHash(alg, a.username + ":" + a.realm + ":" + a.password);
    if (EndsWith(alg, "-sess")) {
        ha1 = TestDigestHash(alg, ha1 + ":" + a.nonce + ":" + a.cnonce);
    }
    const std::string ha2 =
        TestDigestHash(alg, a.method + ":" + a.uri +
                                (a.qop == "auth-int" ? ":" + TestDigestHash(alg, a.body) : ""));
    const std::string response = a.qop.empty()
                                     ? TestDigestHash(alg, ha1 + ":" + a.nonce + ":" + ha2)
                                     : TestDigestHash(alg, ha1 + ":" + a.nonce + ":" + a.nc + ":" +
                                                               a.cnonce + ":" + a.qop + ":" + ha2);
    const std::string user =
        a.bUserhash ? TestDigestHash(alg, a.username + ":" + a.realm) : a.username;
    std::string line = "Authorization: Digest username=\"" + user + "\", realm=\"" + a.realm +
                       "\", nonce=\"" + a.nonce + "\", uri=\"" + a.uri + "\"";
    if (!a.algorithm.empty()) {
        line += ", algorithm=" + a.algorithm;
    }
    if (!a.qop.empty()) {
        line += ", qop=" + a.qop + ", nc=" + a.nc + ", cnonce=\"" + a.cnonce + "\"";
    }
    if (a.bUserhash) {
        line += ", userhash=true";
    }
    return line + ", response=\"" + response + "\", opaque=\"" + a.opaque + "\"";
}

std::string ChallengeParam(const std::string& challenge, const std::string& name) {
    for (size_t at = challenge.find(name + "="); at != std::string::npos;
         at = challenge.find(name + "=", at + 1)) {
        if (at > 0 && challenge[at - 1] != ' ' && challenge[at - 1] != ',') {
            continue; // the end of a longer name
        }
        size_t v = at + name.size() + 1;
        if (v < challenge.size() && challenge[v] == '"') {
            const size_t close = challenge.find('"', v + 1);
            return close == std::string::npos ? std::string()
                                              : challenge.substr(v + 1, close - v - 1);
        }
        const size_t end = challenge.find(',', v);
        return challenge.substr(v, end == std::string::npos ? end : end - v);
    }
    return std::string();
}
