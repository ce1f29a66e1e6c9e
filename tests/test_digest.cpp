// Digest authorization: the published examples reproduced exactly, and the
// challenge reader's choices and refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http_digest.h"

namespace {

// The examples of RFC 7616 section 3.9.1 (the cnonce fixed, as an answer's
// only random part).
struct AnswerRow {
    const char* challenge;
    const char* password;
    const char* cnonce;
    const char* expected; // the whole Authorization value
};

TEST(DigestAnswer, ReproducesThePublishedExamples) {
    const AnswerRow rows[] = {
        {"Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=MD5, "
         "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
         "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"",
         "Circle of Life", "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ",
         "Digest username=\"Mufasa\", realm=\"http-auth@example.org\", "
         "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", uri=\"/dir/index.html\", "
         "algorithm=MD5, response=\"8ca523f5e9506fed4657c9700eebdbec\", "
         "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\", qop=auth, nc=00000001, "
         "cnonce=\"f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ\""},
        {"Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=SHA-256, "
         "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
         "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"",
         "Circle of Life", "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ",
         "Digest username=\"Mufasa\", realm=\"http-auth@example.org\", "
         "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", uri=\"/dir/index.html\", "
         "algorithm=SHA-256, "
         "response=\"753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1\", "
         "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\", qop=auth, nc=00000001, "
         "cnonce=\"f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ\""},
        // RFC 2617 section 3.5 (algorithm not named), and the same credentials
        // in the RFC 2069 form without qop
        {"Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
         "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
         "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
         "Circle Of Life", "0a4f113b",
         "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
         "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
         "response=\"6629fae49393a05397450978507c4ef1\", "
         "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", qop=auth, nc=00000001, cnonce=\"0a4f113b\""},
        {"Digest realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\"",
         "Circle Of Life", "unused",
         "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
         "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
         "response=\"670fd8c2df070c60b045671b8b24ff02\""},
    };
    for (const AnswerRow& r : rows) {
        HttpDigestChallenge c;
        bool bHave = false;
        const char* pszWhy = nullptr;
        ASSERT_EQ(HttpReadDigestChallenges(r.challenge, &c, &bHave, &pszWhy), 1);
        ASSERT_TRUE(bHave) << (pszWhy != nullptr ? pszWhy : "");
        HttpDigestRequest req = {"Mufasa", r.password, "GET", "/dir/index.html",
                                 nullptr,  0,          1,     r.cnonce};
        char szOut[kHttpDigestAnswerMax];
        ASSERT_EQ(HttpDigestAnswer(c, req, szOut, sizeof(szOut)), 0);
        EXPECT_EQ(std::string(szOut), r.expected);
    }
}

struct ChallengeRow {
    const char* name;
    std::string value;     // one WWW-Authenticate value
    int nSeen;             // Digest challenges in it
    const char* algorithm; // of the one kept; nullptr: none kept
    int nQop;
    const char* why; // the reason given when none is kept
};

TEST(DigestChallenge, ReadsChoosesAndRefuses) {
    const std::string kLong(1025, 'n');
    const ChallengeRow rows[] = {
        {"bare MD5", "Digest realm=\"r\", nonce=\"n\"", 1, "", kQopNone, nullptr},
        {"names in any case, token values", "DIGEST REALM=r, Nonce=n, QOP=auth, Algorithm=md5", 1,
         "md5", kQopAuth, nullptr},
        {"commas and escapes inside quotes", "Digest realm=\"a, \\\"b\\\"\", nonce=\"x,y\"", 1, "",
         kQopNone, nullptr},
        {"SHA-256 preferred over MD5 in one field",
         "Digest realm=\"r\", nonce=\"1\", algorithm=MD5, Digest realm=\"r\", nonce=\"2\", "
         "algorithm=SHA-256",
         2, "SHA-256", kQopNone, nullptr},
        {"beside other schemes", "Basic realm=\"r\", Negotiate abc==, Digest realm=\"r\", nonce=n",
         1, "", kQopNone, nullptr},
        {"auth-int only when it is the sole qop", "Digest realm=r, nonce=n, qop=\"auth-int\"", 1,
         "", kQopAuthInt, nullptr},
        {"auth wins over auth-int", "Digest realm=r, nonce=n, qop=\"auth-int,auth\"", 1, "",
         kQopAuth, nullptr},
        {"-sess algorithm", "Digest realm=r, nonce=n, algorithm=SHA-256-sess", 1, "SHA-256-sess",
         kQopNone, nullptr},
        {"no Digest at all", "Basic realm=\"cam\"", 0, nullptr, 0, nullptr},
        {"no nonce", "Digest realm=\"r\"", 1, nullptr, 0, "no nonce"},
        {"no realm", "Digest nonce=\"n\"", 1, nullptr, 0, "no realm"},
        {"unknown algorithm only", "Digest realm=r, nonce=n, algorithm=SHA-512-256", 1, nullptr, 0,
         "unknown algorithm"},
        {"unknown qop only", "Digest realm=r, nonce=n, qop=auth-conf", 1, nullptr, 0,
         "unknown qop"},
        {"unterminated quote", "Digest realm=\"r, nonce=n", 1, nullptr, 0, "unterminated quote"},
        {"parameter longer than 1 KiB", "Digest realm=r, nonce=\"" + kLong + "\"", 1, nullptr, 0,
         "parameter longer than 1 KiB"},
        {"a good one beside a bad one", "Digest realm=r, Digest realm=r, nonce=n", 2, "", kQopNone,
         nullptr},
        // values quoted back in the answer hold no control character
        {"CR in realm", "Digest realm=\"c\ram\", nonce=n", 1, nullptr, 0,
         "control character in realm"},
        {"VT in realm", "Digest realm=\"c\vam\", nonce=n", 1, nullptr, 0,
         "control character in realm"},
        {"tab in realm", "Digest realm=\"c\tam\", nonce=n", 1, nullptr, 0,
         "control character in realm"},
        {"DEL in nonce", "Digest realm=r, nonce=\"n\x7f\"", 1, nullptr, 0,
         "control character in nonce"},
        {"SOH in opaque, unquoted", "Digest realm=r, nonce=n, opaque=o\x01", 1, nullptr, 0,
         "control character in opaque"},
        {"ESC in an unechoed parameter", "Digest realm=r, nonce=n, domain=\"\x1b\"", 1, "",
         kQopNone, nullptr},
    };
    for (const ChallengeRow& r : rows) {
        HttpDigestChallenge c;
        bool bHave = false;
        const char* pszWhy = nullptr;
        EXPECT_EQ(HttpReadDigestChallenges(r.value.c_str(), &c, &bHave, &pszWhy), r.nSeen)
            << r.name;
        EXPECT_EQ(bHave, r.algorithm != nullptr) << r.name;
        if (bHave && r.algorithm != nullptr) {
            EXPECT_STREQ(c.szAlgorithm, r.algorithm) << r.name;
            EXPECT_EQ(c.nQop, r.nQop) << r.name;
        }
        if (!bHave && r.why != nullptr) {
            ASSERT_NE(pszWhy, nullptr) << r.name;
            EXPECT_STREQ(pszWhy, r.why) << r.name;
        }
    }
}

TEST(DigestChallenge, StaleOpaqueAndUserhash) {
    HttpDigestChallenge c;
    bool bHave = false;
    const char* pszWhy = nullptr;
    ASSERT_EQ(HttpReadDigestChallenges("Digest realm=\"a\\\\b\", nonce=\"n\", opaque=\"o\", "
                                       "qop=auth, stale=TRUE, userhash=true, charset=UTF-8",
                                       &c, &bHave, &pszWhy),
              1);
    ASSERT_TRUE(bHave);
    EXPECT_STREQ(c.szRealm, "a\\b");
    EXPECT_TRUE(c.bStale);
    EXPECT_TRUE(c.bOpaque);
    EXPECT_TRUE(c.bUserhash);
    HttpDigestRequest req = {"u\"x", "p", "GET", "/", nullptr, 0, 2, "c"};
    char szOut[kHttpDigestAnswerMax];
    ASSERT_EQ(HttpDigestAnswer(c, req, szOut, sizeof(szOut)), 0);
    const std::string out = szOut;
    // the hashed user name (MD5 of "u\"x:a\b"), quotes escaped on the wire
    EXPECT_NE(out.find("realm=\"a\\\\b\""), std::string::npos) << out;
    EXPECT_NE(out.find("nc=00000002"), std::string::npos) << out;
    EXPECT_NE(out.find(", userhash=true"), std::string::npos) << out;
    EXPECT_EQ(out.find("u\\\"x"), std::string::npos) << out;
    // too small a buffer: refused, nothing written past it
    char szSmall[40];
    EXPECT_EQ(HttpDigestAnswer(c, req, szSmall, sizeof(szSmall)), -1);
}

} // namespace
