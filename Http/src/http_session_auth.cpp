// CHttpSession's authorization: Basic from the credentials given at
// opening, and Digest when the device answers with a challenge.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base64.h"
#include "http_errno.h"
#include "http_log.h"
#include "http_session.h"
#include "http_text.h"

namespace {

// What the challenges of one 401 offer, read field by field.
struct ChallengeScan {
    HttpDigestChallenge* pBest;
    bool bHave;
    int nSeen;
    const char* pszWhy;
};

bool ScanField(void* pCtx, const char* pszValue) {
    ChallengeScan* s = static_cast<ChallengeScan*>(pCtx);
    s->nSeen += HttpReadDigestChallenges(pszValue, s->pBest, &s->bHave, &s->pszWhy);
    return true;
}

} // namespace

void CHttpSession::SetCredentials(const char* pszCredentials) {
    const size_t nCredentials = std::strlen(pszCredentials);
    m_pszCredentials = new (std::nothrow) char[nCredentials + 1];
    if (m_pszCredentials != nullptr) {
        std::memcpy(m_pszCredentials, pszCredentials, nCredentials + 1);
    }
    // The value is always "Basic " and the Base64 of the whole credentials
    // text: a value cut to fit a fixed field would fail authentication with
    // no hint why, so long credentials get a heap text.
    char* pszEncoded = nullptr;
    int nEncoded = Base64Encode(reinterpret_cast<const unsigned char*>(pszCredentials),
                                static_cast<int>(nCredentials), &pszEncoded);
    const char* pszText = nEncoded >= 0 ? pszEncoded : "";
    const size_t nNeed = 6 + std::strlen(pszText) + 1;
    char szValue[128];
    char* pszValue = nNeed > sizeof(szValue) ? new (std::nothrow) char[nNeed] : szValue;
    if (pszValue != nullptr) {
        std::snprintf(pszValue, nNeed, "Basic %s", pszText);
        RecordResult(m_cParser.AddHeader("Authorization", pszValue));
        m_nAuthScheme = HTTP_AUTH_BASIC;
        HttpWipe(pszValue, nNeed);
        if (pszValue != szValue) {
            delete[] pszValue;
        }
    }
    if (pszEncoded != nullptr) {
        HttpWipe(pszEncoded, static_cast<size_t>(nEncoded));
        std::free(pszEncoded);
    }
}

int CHttpSession::AnswerChallenge(bool bRetried, const char* pBody, int nBodyLen) {
    if (m_pszCredentials == nullptr || m_cRequest.GetStatus() != 401) {
        return -1;
    }
    // A refused head keeps no fields: its challenges are read, then dropped.
    CHttpParser& cParser = m_cRequest.GetRecvParser();
    HttpDigestChallenge* pChallenge = new (std::nothrow) HttpDigestChallenge;
    ChallengeScan scan = {pChallenge, false, 0, nullptr};
    if (pChallenge != nullptr && cParser.ParseHeaders() == 0) {
        cParser.ForEachResponseHeader("WWW-Authenticate", ScanField, &scan);
    }
    cParser.ClearResponseHeaders();
    int nResult = -1;
    if (scan.nSeen > 0 && !scan.bHave) {
        CHttpText<128> why;
        why.AppendF("CHttpSession SendRequest Return -1, Digest challenge not answered, %s\n",
                    scan.pszWhy != nullptr ? scan.pszWhy : "malformed");
        HTTP_LOG(kLogFailure, why.Data());
    } else if (scan.bHave && (!bRetried || pChallenge->bStale)) {
        // A second 401 says the answer was wrong, unless its nonce had only
        // gone stale: then the same credentials are tried with the new one.
        // The challenge is kept only once its answer is in place: one that
        // cannot be answered would otherwise fail every later request.
        nResult = PutAnswerTo(*pChallenge, 1, pBody, nBodyLen);
        if (nResult == 0) {
            m_cChallenge = *pChallenge;
            m_bDigest = true;
            m_nNonceCount = 1;
        }
    }
    if (pChallenge != nullptr) {
        HttpWipe(pChallenge, sizeof(*pChallenge));
    }
    delete pChallenge;
    return nResult;
}

void CHttpSession::ForgetDigest() {
    m_bDigest = false;
    m_nNonceCount = 0;
    HttpWipe(&m_cChallenge, sizeof(m_cChallenge));
    m_cParser.RemoveHeader("Authorization");
}

int CHttpSession::PutDigestAnswer(const char* pBody, int nBodyLen) {
    return PutAnswerTo(m_cChallenge, ++m_nNonceCount, pBody, nBodyLen);
}

int CHttpSession::PutAnswerTo(const HttpDigestChallenge& c, unsigned nCount, const char* pBody,
                              int nBodyLen) {
    unsigned char aRandom[16];
    if (OXR_RandomBytes(aRandom, sizeof(aRandom)) != 0) {
        HTTP_LOG(kLogFailure, "CHttpSession SendRequest Return -1, no random bytes for Digest\n");
        return -1;
    }
    char szCnonce[2 * sizeof(aRandom) + 1];
    for (size_t i = 0; i < sizeof(aRandom); ++i) {
        std::snprintf(szCnonce + 2 * i, 3, "%02x", aRandom[i]);
    }
    // "user:password": the user is everything before the first colon.
    CHttpText<kHttpDigestAnswerMax> user;
    const char* pColon = std::strchr(m_pszCredentials, ':');
    const char* pszPassword = pColon != nullptr ? pColon + 1 : "";
    user.Append(m_pszCredentials, pColon != nullptr ? static_cast<size_t>(pColon - m_pszCredentials)
                                                    : std::strlen(m_pszCredentials));
    HttpDigestRequest r;
    r.pszUser = user.Data();
    r.pszPassword = pszPassword;
    r.pszMethod = CHttpParser::GetMethodName(m_cParser.GetMethod());
    r.pszUri = m_cParser.GetUri();
    r.pBody = pBody;
    r.nBodyLen = nBodyLen;
    r.nCount = nCount;
    r.pszCnonce = szCnonce;
    char* pszAnswer = new (std::nothrow) char[kHttpDigestAnswerMax];
    int nResult = -1;
    if (pszAnswer == nullptr || user.Overflow() ||
        HttpDigestAnswer(c, r, pszAnswer, kHttpDigestAnswerMax) != 0) {
        HTTP_LOG(kLogFailure, "CHttpSession SendRequest Return -1, Digest answer not built\n");
    } else {
        nResult = RecordResult(m_cParser.AddHeader("Authorization", pszAnswer));
        if (nResult == 0) {
            m_nAuthScheme = HTTP_AUTH_DIGEST;
        }
    }
    if (pszAnswer != nullptr) {
        HttpWipe(pszAnswer, kHttpDigestAnswerMax);
    }
    delete[] pszAnswer;
    return nResult;
}
