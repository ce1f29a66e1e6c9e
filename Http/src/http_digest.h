// Digest authorization (RFC 7616, and the RFC 2617 / RFC 2069 forms): reads
// the challenges of a WWW-Authenticate value and computes the answer. Text
// in, text out: the session decides when to answer and sends it.
#ifndef HTTP_DIGEST_H
#define HTTP_DIGEST_H

// Longest challenge parameter the library answers to (realm, nonce, ...).
const int kHttpDigestParamMax = 1024;
// Room for an Authorization value built from one challenge.
const int kHttpDigestAnswerMax = 8192;

enum HttpDigestAlgorithm { kDigestMd5, kDigestMd5Sess, kDigestSha256, kDigestSha256Sess };
enum HttpDigestQop { kQopNone, kQopAuth, kQopAuthInt };

struct HttpDigestChallenge {
    char szRealm[kHttpDigestParamMax + 1];
    char szNonce[kHttpDigestParamMax + 1];
    char szOpaque[kHttpDigestParamMax + 1];
    char szAlgorithm[16]; // as the challenge named it; empty when it named none
    int nAlgorithm;       // HttpDigestAlgorithm
    int nQop;             // HttpDigestQop chosen from what was offered
    bool bOpaque;
    bool bStale;
    bool bUserhash;
};

// Reads the challenges of one WWW-Authenticate value. A Digest challenge
// that can be answered replaces *pBest when *pbHave is false or it is the
// better one (SHA-256 before MD5); *pbHave is then true. Returns the number
// of Digest challenges seen; when one could not be answered, *ppszWhy names
// the reason ("no nonce", "unterminated quote", ...).
int HttpReadDigestChallenges(const char* pszValue, HttpDigestChallenge* pBest, bool* pbHave,
                             const char** ppszWhy);

struct HttpDigestRequest {
    const char* pszUser;
    const char* pszPassword;
    const char* pszMethod;
    const char* pszUri; // exactly as on the request line
    const char* pBody;  // for auth-int
    int nBodyLen;
    unsigned nCount;       // nc, 1 for the first answer to a nonce
    const char* pszCnonce; // fresh for every answer
};

// Writes the Authorization value ("Digest username=..., response=...") for
// the challenge, zero-terminated, into pszOut (nOutSize bytes). 0, or -1
// when it does not fit or a hash failed.
int HttpDigestAnswer(const HttpDigestChallenge& c, const HttpDigestRequest& r, char* pszOut,
                     int nOutSize);

#endif // HTTP_DIGEST_H
