// Checks an `Authorization: Digest ...` answer against the challenge the
// request was offered, the camera's credentials and its nonce table.
#ifndef OXR_DEMO_DIGEST_CHECK_H
#define OXR_DEMO_DIGEST_CHECK_H

#include <string>

#include "digest_auth.h"
#include "http_exchange.h"
#include "nonce_table.h"

enum class DigestVerdict {
    kAccepted,
    kRefused, // 401 with fresh challenges
    kStale,   // correct answer, but the nonce is used up or unknown: 401 with stale=true
};

struct DigestCheck {
    DigestVerdict verdict = DigestVerdict::kRefused;
    std::string reason; // why it was refused, for the log and the 401 body
};

// Verifies username (or its hash with userhash=true), realm, nonce, uri (the
// request target exactly as sent), algorithm and qop (as offered), nc and
// cnonce, opaque and the response value; counts the nonce's use on success.
DigestCheck CheckDigestAnswer(const Request& request, const DigestOffer& offer,
                              const std::string& credentials, NonceTable& nonces);

// An nc value: exactly eight hex digits.
bool ParseNonceCount(const std::string& text, uint32_t* pCount);

#endif
