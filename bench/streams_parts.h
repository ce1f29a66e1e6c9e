// The parts of bench_streams, shared by its server (Linux) and its client
// (Linux and Windows): the options both sides must agree on, each part's
// size and filler, the part as sent, and the check of a part received.
//
// Each part's body starts with "conn=%06u seq=%08u len=%05u\n" (its
// connection as the server numbered it, its sequence number in the stream,
// its length); the rest is filler bytes 0x80 to 0xFF made from a seed of
// connection and sequence number, so every byte can be checked.
#ifndef OXR_BENCH_STREAMS_PARTS_H
#define OXR_BENCH_STREAMS_PARTS_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_bytes.h"

namespace streams {

const char kBoundary[] = "oxrstreams";
const int kPrefixLen = 35;     // "conn=%06u seq=%08u len=%05u\n"
const int kMaxSessions = 1000; // the library's handles are 0 to 999

struct Options {
    int nSessions = 1000;
    int nDuration = 30;
    double dRate = 2.0;
    int nMinBytes = 200;
    int nMaxBytes = 4096;
    int nDropAfter = 0; // server: cut each stream in its part N and close it (0: never)
};

inline uint64_t Mix(uint64_t a, uint64_t b) {
    uint64_t x = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    return x ^ (x >> 29);
}

inline int PartSize(const Options& o, uint32_t nConn, uint64_t nSeq) {
    return o.nMinBytes + static_cast<int>(Mix(nConn, nSeq) %
                                          static_cast<uint64_t>(o.nMaxBytes - o.nMinBytes + 1));
}

inline uint64_t FillerSeed(uint32_t nConn, uint64_t nSeq) {
    return Mix(nConn + 17, nSeq);
}

// Appends part nSeq of connection nConn, with its delimiter line and head.
inline void AppendPart(const Options& o, uint32_t nConn, uint64_t nSeq, std::string* pOut) {
    const int nSize = PartSize(o, nConn, nSeq);
    char szHead[160];
    int n = std::snprintf(szHead, sizeof(szHead),
                          "--%s\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n",
                          kBoundary, nSize);
    pOut->append(szHead, static_cast<size_t>(n));
    // Room for the widest numbers, though the options keep them to the widths.
    char szPrefix[64];
    std::snprintf(szPrefix, sizeof(szPrefix), "conn=%06u seq=%08u len=%05d\n", nConn,
                  static_cast<unsigned>(nSeq), nSize);
    pOut->append(szPrefix, kPrefixLen);
    size_t nAt = pOut->size();
    pOut->resize(nAt + static_cast<size_t>(nSize - kPrefixLen));
    bench::FillHigh(&(*pOut)[nAt], static_cast<size_t>(nSize - kPrefixLen),
                    FillerSeed(nConn, nSeq));
    *pOut += "\r\n";
}

// What a session has received so far, checked part by part.
struct StreamCheck {
    long nConn = -1; // learnt from the first part
    uint64_t nNextSeq = 0;
};

// Whether a delivered part is the next one of its stream, every byte right.
inline bool CheckPart(const Options& o, StreamCheck* pCheck, const char* pData, int nLen,
                      const char* pszType) {
    if (nLen < kPrefixLen || std::strcmp(pszType, "text/plain") != 0) {
        return false;
    }
    char szPrefix[kPrefixLen + 1];
    std::memcpy(szPrefix, pData, kPrefixLen);
    szPrefix[kPrefixLen] = '\0';
    unsigned nConn = 0;
    unsigned nSeq = 0;
    int nPartLen = 0;
    if (std::sscanf(szPrefix, "conn=%6u seq=%8u len=%5d", &nConn, &nSeq, &nPartLen) != 3 ||
        nPartLen != nLen || szPrefix[kPrefixLen - 1] != '\n') {
        return false;
    }
    if (pCheck->nConn < 0) {
        pCheck->nConn = nConn; // the server numbers connections as it accepts them
    }
    if (static_cast<long>(nConn) != pCheck->nConn || nSeq != pCheck->nNextSeq ||
        nPartLen != PartSize(o, nConn, nSeq)) {
        return false;
    }
    pCheck->nNextSeq = nSeq + 1;
    return bench::MatchesHigh(pData + kPrefixLen, static_cast<size_t>(nPartLen - kPrefixLen),
                              FillerSeed(nConn, nSeq));
}

// Reads one of the options both sides share at argv[*pi] (and its value);
// false when argv[*pi] is none of them. A bad value exits with status 2.
inline bool ParseSharedOption(int argc, char** argv, int* pi, Options* pOpt, void (*pfnUsage)()) {
    const std::string a = argv[*pi];
    auto next = [&]() -> double {
        if (*pi + 1 >= argc) {
            pfnUsage();
            std::exit(2);
        }
        double v = std::atof(argv[++*pi]);
        if (v <= 0) {
            pfnUsage();
            std::exit(2);
        }
        return v;
    };
    if (a == "--sessions") {
        pOpt->nSessions = static_cast<int>(next());
    } else if (a == "--duration") {
        pOpt->nDuration = static_cast<int>(next());
    } else if (a == "--rate") {
        pOpt->dRate = next();
    } else if (a == "--min-bytes") {
        pOpt->nMinBytes = static_cast<int>(next());
    } else if (a == "--max-bytes") {
        pOpt->nMaxBytes = static_cast<int>(next());
    } else if (a == "--quick") {
        pOpt->nSessions = 100;
        pOpt->nDuration = 3;
    } else {
        return false;
    }
    return true;
}

// Whether the options make sense; prints why not (program name first).
inline bool ValidOptions(const Options& o, const char* pszProgram) {
    if (o.nSessions > kMaxSessions) {
        std::fprintf(stderr, "%s: at most %d sessions (handles 0 to 999)\n", pszProgram,
                     kMaxSessions);
        return false;
    }
    if (o.nMinBytes < kPrefixLen + 1 || o.nMaxBytes < o.nMinBytes || o.nMaxBytes > 99999) {
        std::fprintf(stderr, "%s: part sizes must lie between %d and 99999 bytes\n", pszProgram,
                     kPrefixLen + 1);
        return false;
    }
    return true;
}

} // namespace streams

#endif // OXR_BENCH_STREAMS_PARTS_H
