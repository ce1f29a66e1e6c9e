// The benchmarks' portable pieces (Linux and Windows): a checksum over every
// delivered byte and the payload bytes that can never hold a delimiter line.
#ifndef OXR_BENCH_BYTES_H
#define OXR_BENCH_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bench {

// A position-weighted 64-bit sum (Fletcher style, over 8-byte little-endian
// words): a += w; b += a for every word, so a byte lost, added, changed or
// moved changes the result. The same bytes give the same value however they
// are split into pieces. Fast enough (about 8 bytes a cycle) not to hide the
// cost of the transport being measured.
class Sum {
public:
    void Add(const void* pv, size_t n) {
        const unsigned char* p = static_cast<const unsigned char*>(pv);
        m_nBytes += n;
        while (m_nPending != 0 && n > 0) {
            m_nWord |= static_cast<uint64_t>(*p++) << (8 * m_nPending);
            --n;
            if (++m_nPending == 8) {
                m_a += m_nWord;
                m_b += m_a;
                m_nWord = 0;
                m_nPending = 0;
            }
        }
        uint64_t a = m_a;
        uint64_t b = m_b;
        while (n >= 32) {
            uint64_t w[4];
            std::memcpy(w, p, 32);
            a += w[0];
            b += a;
            a += w[1];
            b += a;
            a += w[2];
            b += a;
            a += w[3];
            b += a;
            p += 32;
            n -= 32;
        }
        while (n >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            a += w;
            b += a;
            p += 8;
            n -= 8;
        }
        m_a = a;
        m_b = b;
        while (n > 0) {
            m_nWord |= static_cast<uint64_t>(*p++) << (8 * m_nPending);
            ++m_nPending;
            --n;
        }
    }
    uint64_t Value() const {
        uint64_t a = m_a + m_nWord;
        uint64_t b = m_b + (m_nPending != 0 ? a : 0);
        return (b * 0x9E3779B97F4A7C15ull) ^ a ^ (m_nBytes * 0xC2B2AE3D27D4EB4Full);
    }
    uint64_t Bytes() const { return m_nBytes; }

private:
    uint64_t m_a = 0;
    uint64_t m_b = 0;
    uint64_t m_nBytes = 0;
    uint64_t m_nWord = 0;
    unsigned m_nPending = 0;
};

// A small fast generator for payload bytes (xorshift64*).
class Rng {
public:
    explicit Rng(uint64_t nSeed) : m_s(nSeed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t Next() {
        m_s ^= m_s >> 12;
        m_s ^= m_s << 25;
        m_s ^= m_s >> 27;
        return m_s * 0x2545F4914F6CDD1Dull;
    }

private:
    uint64_t m_s;
};

// Bytes 0x80 to 0xFF only: no CR, LF, dash or letter, so a multipart body
// can never hold a delimiter line.
inline void FillHigh(char* p, size_t n, uint64_t nSeed) {
    Rng rng(nSeed);
    size_t i = 0;
    while (i < n) {
        uint64_t v = rng.Next();
        for (int k = 0; k < 8 && i < n; ++k, ++i) {
            p[i] = static_cast<char>(0x80 | ((v >> (8 * k)) & 0x7f));
        }
    }
}

// Whether [p, p + n) holds exactly what FillHigh(p, n, nSeed) writes.
inline bool MatchesHigh(const char* p, size_t n, uint64_t nSeed) {
    Rng rng(nSeed);
    size_t i = 0;
    while (i < n) {
        uint64_t v = rng.Next();
        for (int k = 0; k < 8 && i < n; ++k, ++i) {
            if (p[i] != static_cast<char>(0x80 | ((v >> (8 * k)) & 0x7f))) {
                return false;
            }
        }
    }
    return true;
}

} // namespace bench

#endif // OXR_BENCH_BYTES_H
