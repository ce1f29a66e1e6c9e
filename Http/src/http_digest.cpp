// Digest challenges read strictly and bounded, and the answer computed with
// the runtime's hashes (MD5, SHA-256).
#include "http_digest.h"

#include <cstdio>
#include <cstring>

#include "http_text.h"
#include "oxr.h"

namespace {

bool IsOws(char c) {
    return c == ' ' || c == '\t';
}

// A character of an HTTP token (RFC 9110 tchar).
bool IsTChar(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && std::strchr("\"(),/:;<=>?@[\\]{}", c) == nullptr;
}

bool NameIs(const char* p, size_t n, const char* pszName) {
    return std::strlen(pszName) == n && OXR_Memcasemem(p, p + n, pszName, n) == p;
}

enum ValueResult { kValueOk, kValueTooLong, kValueUnterminated };

// A parameter value at p: a quoted string (backslash escapes, commas
// inside) or a bare value up to a comma or blank. Kept in szOut up to
// kHttpDigestParamMax characters; a longer one is skipped whole.
ValueResult ReadValue(const char*& p, const char* pEnd, char* szOut) {
    int n = 0;
    bool bTooLong = false;
    auto put = [&](char c) {
        if (n < kHttpDigestParamMax) {
            szOut[n++] = c;
        } else {
            bTooLong = true;
        }
    };
    if (p < pEnd && *p == '"') {
        ++p;
        for (;;) {
            if (p >= pEnd) {
                szOut[n] = '\0';
                return kValueUnterminated;
            }
            char c = *p++;
            if (c == '"') {
                break;
            }
            if (c == '\\') {
                if (p >= pEnd) {
                    szOut[n] = '\0';
                    return kValueUnterminated;
                }
                c = *p++;
            }
            put(c);
        }
    } else {
        while (p < pEnd && *p != ',' && !IsOws(*p)) {
            put(*p++);
        }
    }
    szOut[n] = '\0';
    return bTooLong ? kValueTooLong : kValueOk;
}

// Copies a parameter into a challenge field that holds it whole.
void SetText(char* pszField, size_t nField, const char* pszValue) {
    std::snprintf(pszField, nField, "%s", pszValue);
}

// The Digest challenge being read, with what it still lacks.
struct Pending {
    bool bDigest = false;
    HttpDigestChallenge c;
    bool bRealm = false;
    bool bNonce = false;
    bool bBadAlgorithm = false;
    bool bQopSeen = false;
    bool bAuth = false;
    bool bAuthInt = false;
    const char* pszWhy = nullptr; // a reading error
};

void ReadQop(Pending& cur, const char* pszList) {
    cur.bQopSeen = true;
    const char* p = pszList;
    const char* pEnd = pszList + std::strlen(pszList);
    while (p < pEnd) {
        while (p < pEnd && (IsOws(*p) || *p == ',')) {
            ++p;
        }
        const char* pTok = p;
        while (p < pEnd && *p != ',' && !IsOws(*p)) {
            ++p;
        }
        const size_t n = static_cast<size_t>(p - pTok);
        cur.bAuth = cur.bAuth || NameIs(pTok, n, "auth");
        cur.bAuthInt = cur.bAuthInt || NameIs(pTok, n, "auth-int");
    }
}

bool HasControl(const char* psz) {
    for (; *psz != '\0'; ++psz) {
        const unsigned char u = static_cast<unsigned char>(*psz);
        if (u < 0x20 || u == 0x7f) {
            return true;
        }
    }
    return false;
}

void Apply(Pending& cur, const char* pName, size_t nName, const char* pszValue) {
    // These are quoted back in the answer as they are: a control character
    // in one would reach the Authorization line (CR or LF would end it).
    static const struct {
        const char* pszName;
        const char* pszWhy;
    } kEchoed[] = {{"realm", "control character in realm"},
                   {"nonce", "control character in nonce"},
                   {"opaque", "control character in opaque"}};
    for (const auto& e : kEchoed) {
        if (NameIs(pName, nName, e.pszName) && HasControl(pszValue)) {
            cur.pszWhy = e.pszWhy;
            return;
        }
    }
    HttpDigestChallenge& c = cur.c;
    if (NameIs(pName, nName, "realm")) {
        SetText(c.szRealm, sizeof(c.szRealm), pszValue);
        cur.bRealm = true;
    } else if (NameIs(pName, nName, "nonce")) {
        SetText(c.szNonce, sizeof(c.szNonce), pszValue);
        cur.bNonce = true;
    } else if (NameIs(pName, nName, "opaque")) {
        SetText(c.szOpaque, sizeof(c.szOpaque), pszValue);
        c.bOpaque = true;
    } else if (NameIs(pName, nName, "algorithm")) {
        static const struct {
            const char* pszName;
            int nAlgorithm;
        } kAlgorithms[] = {{"MD5", kDigestMd5},
                           {"MD5-sess", kDigestMd5Sess},
                           {"SHA-256", kDigestSha256},
                           {"SHA-256-sess", kDigestSha256Sess}};
        cur.bBadAlgorithm = true;
        for (const auto& a : kAlgorithms) {
            if (OXR_Strcasecmp(pszValue, a.pszName) == 0) {
                c.nAlgorithm = a.nAlgorithm;
                SetText(c.szAlgorithm, sizeof(c.szAlgorithm), pszValue);
                cur.bBadAlgorithm = false;
            }
        }
    } else if (NameIs(pName, nName, "qop")) {
        ReadQop(cur, pszValue);
    } else if (NameIs(pName, nName, "stale")) {
        c.bStale = OXR_Strcasecmp(pszValue, "true") == 0;
    } else if (NameIs(pName, nName, "userhash")) {
        c.bUserhash = OXR_Strcasecmp(pszValue, "true") == 0;
    }
}

int Rank(int nAlgorithm) {
    return nAlgorithm == kDigestSha256 || nAlgorithm == kDigestSha256Sess ? 2 : 1;
}

// A challenge read to its end: kept when it can be answered and is better.
void Finish(Pending& cur, HttpDigestChallenge* pBest, bool* pbHave, const char** ppszWhy) {
    if (!cur.bDigest) {
        return;
    }
    const char* pszWhy = cur.pszWhy;
    if (pszWhy == nullptr) {
        pszWhy = !cur.bNonce                                   ? "no nonce"
                 : !cur.bRealm                                 ? "no realm"
                 : cur.bBadAlgorithm                           ? "unknown algorithm"
                 : cur.bQopSeen && !cur.bAuth && !cur.bAuthInt ? "unknown qop"
                                                               : nullptr;
    }
    if (pszWhy != nullptr) {
        *ppszWhy = pszWhy;
        return;
    }
    // "auth" when it is offered; "auth-int" only when it is all there is.
    cur.c.nQop = cur.bAuth ? kQopAuth : (cur.bAuthInt ? kQopAuthInt : kQopNone);
    if (!*pbHave || Rank(cur.c.nAlgorithm) > Rank(pBest->nAlgorithm)) {
        *pBest = cur.c;
        *pbHave = true;
    }
}

void Reset(Pending& cur, bool bDigest) {
    cur = Pending();
    std::memset(&cur.c, 0, sizeof(cur.c));
    cur.c.nAlgorithm = kDigestMd5;
    cur.bDigest = bDigest;
}

// Lower-case hex of the digest of [p, p + n) into szHex (65 bytes).
bool HexDigest(int nAlgorithm, const char* p, size_t n, char* szHex) {
    const int nHash = nAlgorithm == kDigestSha256 || nAlgorithm == kDigestSha256Sess
                          ? OXR_HASH_SHA256
                          : OXR_HASH_MD5;
    unsigned char digest[32];
    const int nLen = OXR_Hash(nHash, p, n, digest);
    if (nLen <= 0) {
        return false;
    }
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < nLen; ++i) {
        szHex[2 * i] = kHex[digest[i] >> 4];
        szHex[2 * i + 1] = kHex[digest[i] & 15];
    }
    szHex[2 * nLen] = '\0';
    return true;
}

typedef CHttpText<kHttpDigestAnswerMax> Text;

bool HexOf(int nAlgorithm, const Text& t, char* szHex) {
    return !t.Overflow() && HexDigest(nAlgorithm, t.Data(), static_cast<size_t>(t.Length()), szHex);
}

// name="value", with quotes and backslashes escaped.
void AppendQuoted(Text& t, const char* pszName, const char* pszValue) {
    t.AppendF("%s=\"", pszName);
    for (const char* p = pszValue; *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') {
            t.Append("\\", 1);
        }
        t.Append(p, 1);
    }
    t.Append("\"");
}

const char* QopName(int nQop) {
    return nQop == kQopAuthInt ? "auth-int" : "auth";
}

} // namespace

int HttpReadDigestChallenges(const char* pszValue, HttpDigestChallenge* pBest, bool* pbHave,
                             const char** ppszWhy) {
    if (pszValue == nullptr) {
        return 0;
    }
    char szValue[kHttpDigestParamMax + 1];
    Pending cur;
    Reset(cur, false);
    int nSeen = 0;
    const char* p = pszValue;
    const char* pEnd = pszValue + std::strlen(pszValue);
    while (p < pEnd) {
        while (p < pEnd && (IsOws(*p) || *p == ',')) {
            ++p;
        }
        const char* pTok = p;
        while (p < pEnd && IsTChar(*p)) {
            ++p;
        }
        if (p == pTok) {
            if (p < pEnd) {
                ++p; // a stray character (a token68's padding): no challenge of ours
            }
            continue;
        }
        const size_t nTok = static_cast<size_t>(p - pTok);
        const char* q = p;
        while (q < pEnd && IsOws(*q)) {
            ++q;
        }
        if (q < pEnd && *q == '=') {
            p = q + 1;
            while (p < pEnd && IsOws(*p)) {
                ++p;
            }
            const ValueResult r = ReadValue(p, pEnd, szValue);
            if (r == kValueUnterminated) {
                cur.pszWhy = "unterminated quote";
                break; // nothing after it can be told apart
            }
            if (r == kValueTooLong) {
                cur.pszWhy = "parameter longer than 1 KiB";
            } else if (cur.bDigest) {
                Apply(cur, pTok, nTok, szValue);
            }
            continue;
        }
        // A scheme name starts the next challenge.
        Finish(cur, pBest, pbHave, ppszWhy);
        const bool bDigest = NameIs(pTok, nTok, "Digest");
        Reset(cur, bDigest);
        nSeen += bDigest ? 1 : 0;
        p = q;
    }
    Finish(cur, pBest, pbHave, ppszWhy);
    return nSeen;
}

int HttpDigestAnswer(const HttpDigestChallenge& c, const HttpDigestRequest& r, char* pszOut,
                     int nOutSize) {
    char szHa1[65];
    char szHa2[65];
    char szResponse[65];
    char szUser[65];
    char szCount[9];
    std::snprintf(szCount, sizeof(szCount), "%08x", r.nCount);
    const int a = c.nAlgorithm;
    const bool bSess = a == kDigestMd5Sess || a == kDigestSha256Sess;
    bool bOk = true;
    {
        Text t; // holds the password: wiped when it goes
        t.AppendF("%s:%s:%s", r.pszUser, c.szRealm, r.pszPassword);
        bOk = HexOf(a, t, szHa1);
    }
    if (bOk && bSess) {
        Text t;
        t.AppendF("%s:%s:%s", szHa1, c.szNonce, r.pszCnonce);
        bOk = HexOf(a, t, szHa1);
    }
    if (bOk) {
        Text t;
        t.AppendF("%s:%s", r.pszMethod, r.pszUri);
        if (c.nQop == kQopAuthInt) {
            char szBody[65];
            bOk = HexDigest(a, r.pBody != nullptr ? r.pBody : "",
                            r.nBodyLen > 0 ? static_cast<size_t>(r.nBodyLen) : 0, szBody);
            t.AppendF(":%s", szBody);
        }
        bOk = bOk && HexOf(a, t, szHa2);
    }
    if (bOk) {
        Text t;
        if (c.nQop == kQopNone) {
            t.AppendF("%s:%s:%s", szHa1, c.szNonce, szHa2);
        } else {
            t.AppendF("%s:%s:%s:%s:%s:%s", szHa1, c.szNonce, szCount, r.pszCnonce, QopName(c.nQop),
                      szHa2);
        }
        bOk = HexOf(a, t, szResponse);
    }
    if (bOk && c.bUserhash) {
        Text t;
        t.AppendF("%s:%s", r.pszUser, c.szRealm);
        bOk = HexOf(a, t, szUser);
    }
    volatile char* pHa1 = szHa1;
    for (size_t i = 0; i < sizeof(szHa1); ++i) {
        pHa1[i] = 0;
    }
    if (!bOk) {
        return -1;
    }
    Text out;
    out.Append("Digest ");
    AppendQuoted(out, "username", c.bUserhash ? szUser : r.pszUser);
    out.Append(", ");
    AppendQuoted(out, "realm", c.szRealm);
    out.Append(", ");
    AppendQuoted(out, "nonce", c.szNonce);
    out.Append(", ");
    AppendQuoted(out, "uri", r.pszUri);
    if (c.szAlgorithm[0] != '\0') {
        out.AppendF(", algorithm=%s", c.szAlgorithm);
    }
    out.AppendF(", response=\"%s\"", szResponse);
    if (c.bOpaque) {
        out.Append(", ");
        AppendQuoted(out, "opaque", c.szOpaque);
    }
    if (c.nQop != kQopNone) {
        out.AppendF(", qop=%s, nc=%s, ", QopName(c.nQop), szCount);
        AppendQuoted(out, "cnonce", r.pszCnonce);
    }
    if (c.bUserhash) {
        out.Append(", userhash=true");
    }
    if (out.Overflow() || out.Length() >= nOutSize) {
        return -1;
    }
    std::memcpy(pszOut, out.Data(), static_cast<size_t>(out.Length()) + 1);
    return 0;
}
