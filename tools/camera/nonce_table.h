// The nonces the demo camera has handed out in Digest challenges: how often
// each was accepted and its last nonce count, shared by all connections.
#ifndef OXR_DEMO_NONCE_TABLE_H
#define OXR_DEMO_NONCE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

// Hex text of nBytes random bytes (OpenSSL's generator).
std::string RandomHex(size_t nBytes);

class NonceTable {
public:
    // A nonce goes stale after nMaxUses accepted requests (0: never).
    explicit NonceTable(unsigned nMaxUses);

    // A fresh random nonce, remembered; the oldest is forgotten beyond kMaxNonces.
    std::string Issue();

    enum class Verdict {
        kAccepted,        // counted
        kUnknown,         // never issued, or forgotten
        kStale,           // used up: the client should retry with a fresh nonce
        kCountNotGreater, // nc not greater than the last one accepted (a replay)
    };
    // Counts one request whose answer was otherwise correct. With bHasCount
    // (qop in use) the nonce count nc must exceed the last accepted one.
    Verdict Accept(const std::string& nonce, bool bHasCount, uint32_t nc);

    // The opaque value of every challenge, fixed for the camera's run.
    const std::string& Opaque() const { return m_opaque; }

    static constexpr size_t kMaxNonces = 1024;

private:
    struct Entry {
        unsigned nUses = 0;
        uint32_t nLastCount = 0;
    };
    const unsigned m_nMaxUses;
    const std::string m_opaque;
    std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_entries;
    std::deque<std::string> m_order; // oldest first
};

#endif
