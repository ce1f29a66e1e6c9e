#include "nonce_table.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <openssl/rand.h>

std::string RandomHex(size_t nBytes) {
    std::vector<unsigned char> raw(nBytes);
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) {
        std::fputs("oxr-demo-camera: no random bytes from OpenSSL\n", stderr);
        std::abort(); // a predictable nonce would make the check meaningless
    }
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : raw) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

NonceTable::NonceTable(unsigned nMaxUses) : m_nMaxUses(nMaxUses), m_opaque(RandomHex(16)) {}

std::string NonceTable::Issue() {
    std::string nonce = RandomHex(24);
    std::lock_guard<std::mutex> lock(m_mutex);
    while (m_order.size() >= kMaxNonces) {
        m_entries.erase(m_order.front());
        m_order.pop_front();
    }
    m_entries.emplace(nonce, Entry());
    m_order.push_back(nonce);
    return nonce;
}

NonceTable::Verdict NonceTable::Accept(const std::string& nonce, bool bHasCount, uint32_t nc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(nonce);
    if (it == m_entries.end()) {
        return Verdict::kUnknown;
    }
    Entry& e = it->second;
    if (m_nMaxUses != 0 && e.nUses >= m_nMaxUses) {
        return Verdict::kStale;
    }
    if (bHasCount) {
        if (nc <= e.nLastCount) {
            return Verdict::kCountNotGreater;
        }
        e.nLastCount = nc;
    }
    ++e.nUses;
    return Verdict::kAccepted;
}
