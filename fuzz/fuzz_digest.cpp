// Feeds arbitrary bytes to the Digest challenge reader as one
// WWW-Authenticate value and, when a challenge is accepted, builds its
// answer with a fixed password. Checks what the answer promises: it is
// bounded and terminated, a smaller buffer is refused exactly when the
// answer does not fit, it reads back as a list of parameters whose realm,
// nonce and opaque are the challenge's own, and the password is never in it.
//
// Input: byte 0 chooses the size of the smaller buffer, the rest up to the
// first zero byte is the challenge value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "http_digest.h"

namespace {

void Check(bool bOk) {
    if (!bOk) {
        __builtin_trap();
    }
}

// Letters, digits and dashes only: it can show in an answer only inside a
// value the challenge itself put there, never across a quote or comma.
const char kPassword[] = "Pw-6b1f0e-never-sent";
const char kUser[] = "Mufasa";
const char kUri[] = "/dir/index.html";

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// The answer's parameters: "Digest " then name=value pairs joined by ", ",
// each value a quoted string (backslash escapes) or a bare token. False when
// the text is not exactly that, or names a parameter twice.
bool ReadAnswer(const std::string& answer, std::map<std::string, std::string>* pParams) {
    if (answer.compare(0, 7, "Digest ") != 0) {
        return false;
    }
    size_t i = 7;
    while (i < answer.size()) {
        const size_t nEq = answer.find('=', i);
        if (nEq == std::string::npos || nEq == i) {
            return false;
        }
        const std::string name = answer.substr(i, nEq - i);
        std::string value;
        i = nEq + 1;
        if (i < answer.size() && answer[i] == '"') {
            for (++i;; ++i) {
                if (i >= answer.size()) {
                    return false;
                }
                if (answer[i] == '"') {
                    ++i;
                    break;
                }
                if (answer[i] == '\\') {
                    if (++i >= answer.size()) {
                        return false;
                    }
                }
                value += answer[i];
            }
        } else {
            while (i < answer.size() && answer[i] != ',') {
                value += answer[i++];
            }
        }
        if (!pParams->emplace(name, value).second) {
            return false;
        }
        if (i < answer.size()) {
            if (answer.compare(i, 2, ", ") != 0) {
                return false;
            }
            i += 2;
        }
    }
    return true;
}

bool IsHex(const std::string& s) {
    return s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 1 || nSize > 1 << 20) {
        return 0;
    }
    const std::string value(reinterpret_cast<const char*>(pData) + 1,
                            strnlen(reinterpret_cast<const char*>(pData) + 1, nSize - 1));
    const int nSmall = pData[0] * 40;

    HttpDigestChallenge c;
    std::memset(&c, 0, sizeof(c));
    bool bHave = false;
    const char* pszWhy = nullptr;
    const int nSeen = HttpReadDigestChallenges(value.c_str(), &c, &bHave, &pszWhy);
    Check(nSeen >= 0 && (nSeen > 0 || !bHave));
    Check(bHave || nSeen == 0 || pszWhy != nullptr);
    if (!bHave) {
        return 0;
    }
    Check(std::strlen(c.szRealm) <= static_cast<size_t>(kHttpDigestParamMax));
    Check(std::strlen(c.szNonce) <= static_cast<size_t>(kHttpDigestParamMax));
    Check(std::strlen(c.szOpaque) <= static_cast<size_t>(kHttpDigestParamMax));

    const HttpDigestRequest r = {kUser, kPassword, "GET", kUri, "body", 4, 1, "0a4f113b"};
    // Exactly the size given: ASan sees any byte written past it.
    std::vector<char> out(static_cast<size_t>(kHttpDigestAnswerMax));
    if (HttpDigestAnswer(c, r, out.data(), kHttpDigestAnswerMax) != 0) {
        return 0; // too long for its text: refused, nothing to check
    }
    const size_t nLen = strnlen(out.data(), out.size());
    Check(nLen < out.size());
    const std::string answer(out.data(), nLen);

    // The same answer in a smaller buffer: written whole or not at all.
    std::vector<char> small(static_cast<size_t>(nSmall > 0 ? nSmall : 1));
    const int nSmallResult = HttpDigestAnswer(c, r, small.data(), nSmall);
    Check((nSmallResult == 0) == (nLen < static_cast<size_t>(nSmall)));
    Check(nSmallResult != 0 || std::strcmp(small.data(), answer.c_str()) == 0);

    for (char ch : answer) {
        const unsigned char u = static_cast<unsigned char>(ch);
        Check(u >= 0x20 && u != 0x7f);
    }
    std::map<std::string, std::string> params;
    Check(ReadAnswer(answer, &params));
    Check(params["realm"] == c.szRealm);
    Check(params["nonce"] == c.szNonce);
    Check(params["uri"] == kUri);
    Check(params.count("opaque") == (c.bOpaque ? 1u : 0u));
    Check(!c.bOpaque || params["opaque"] == c.szOpaque);
    Check(c.bUserhash || params["username"] == kUser);
    const size_t nHex =
        c.nAlgorithm == kDigestSha256 || c.nAlgorithm == kDigestSha256Sess ? 64 : 32;
    Check(params["response"].size() == nHex && IsHex(params["response"]));

    const std::string password = kPassword;
    Check(Count(answer, password) <= Count(c.szRealm, password) + Count(c.szNonce, password) +
                                         (c.bOpaque ? Count(c.szOpaque, password) : 0));
    return 0;
}
