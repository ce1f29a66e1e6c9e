// The check of bench_soak: one session's deliveries across the reconnects.
//
// Its server cuts every stream in its part D (o.nDropAfter) and closes it, so
// each connection of a session must deliver exactly parts 0 to D - 1, whole
// and in order, then a "reconnect:peer-closed" record must come, then the
// next connection's parts from 0. Every byte of every part is checked. A
// part that is not the next one of its connection, a whole part that never
// came, a new connection without a record before it: each is counted, so
// that the run can say what went wrong, not only that something did.
#ifndef OXR_BENCH_SOAK_CHECK_H
#define OXR_BENCH_SOAK_CHECK_H

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "streams_parts.h"

namespace soak {

// What a session's deliveries came to; written by its receiver thread, read
// by the main thread at any time.
struct Tally {
    std::atomic<long> nParts{0};        // parts delivered, right or not
    std::atomic<long> nWrong{0};        // length, type or a byte not as sent, or part D whole
    std::atomic<long> nOutOfOrder{0};   // not the next part of its connection
    std::atomic<long> nLost{0};         // whole parts that never came
    std::atomic<long> nConnections{0};  // connections whose parts came
    std::atomic<long> nReconnects{0};   // "reconnect:..." records
    std::atomic<long> nOtherReason{0};  // of them not "reconnect:peer-closed"
    std::atomic<long> nEmptyStreams{0}; // a record with no part since the one before
    std::atomic<long> nUnannounced{0};  // a new connection without a record before it
    std::atomic<long> nForeign{0};      // a connection whose parts another session had
    std::atomic<long> nEnds{0};         // "end:..." records
    std::atomic<long> nEarlyEnds{0};    // of them before the session was being closed
};

// Which session each connection's parts went to (connections as the server
// numbers them). Filled in advance, so that it adds nothing to the resident
// memory while the run goes on; connections beyond it are not looked up.
class ConnOwners {
public:
    explicit ConnOwners(size_t nConns) : m_n(nConns), m_owners(new std::atomic<int>[nConns]) {
        for (size_t i = 0; i < m_n; ++i) {
            m_owners[i] = -1;
        }
    }
    // False when another session has had parts of this connection.
    bool Claim(unsigned nConn, int nSession) {
        if (nConn >= m_n) {
            return true;
        }
        int nOwner = -1;
        return m_owners[nConn].compare_exchange_strong(nOwner, nSession) || nOwner == nSession;
    }

private:
    size_t m_n;
    std::unique_ptr<std::atomic<int>[]> m_owners;
};

// The state of one session's stream; its receiver thread only.
class StreamCheck {
public:
    StreamCheck(const streams::Options& o, ConnOwners* pOwners, int nSession, Tally* pTally)
        : m_o(o), m_pOwners(pOwners), m_nSession(nSession), m_t(*pTally) {}

    // A part as the callback got it.
    void OnPart(const char* pData, int nLen, const char* pszType) {
        ++m_t.nParts;
        unsigned nConn = 0;
        unsigned nSeq = 0;
        if (!ReadPrefix(pData, nLen, pszType, &nConn, &nSeq)) {
            ++m_t.nWrong;
            return;
        }
        if (static_cast<long>(nConn) != m_nConn) {
            NewConnection(nConn);
        } else if (m_bDropped) {
            ++m_t.nOutOfOrder; // a part of a connection after its reconnect record
        }
        if (nSeq != m_nNext) {
            ++m_t.nOutOfOrder;
            m_t.nLost += nSeq > m_nNext ? static_cast<long>(nSeq - m_nNext) : 0;
        }
        m_nNext = nSeq + 1;
        const bool bRight = nSeq < static_cast<unsigned>(m_o.nDropAfter) &&
                            nLen == streams::PartSize(m_o, nConn, nSeq) &&
                            bench::MatchesHigh(pData + streams::kPrefixLen,
                                               static_cast<size_t>(nLen - streams::kPrefixLen),
                                               streams::FillerSeed(nConn, nSeq));
        if (!bRight) {
            ++m_t.nWrong;
        }
    }

    // A record without data: "reconnect:REASON" or "end:REASON". bClosing:
    // the session is being closed.
    void OnRecord(const char* pszType, bool bClosing) {
        if (std::strncmp(pszType, "reconnect:", 10) == 0) {
            ++m_t.nReconnects;
            if (std::strcmp(pszType + 10, "peer-closed") != 0) {
                ++m_t.nOtherReason;
            }
            if (m_bDropped) {
                ++m_t.nEmptyStreams;
            } else {
                EndConnection();
            }
            m_bDropped = true;
        } else if (std::strncmp(pszType, "end:", 4) == 0) {
            ++m_t.nEnds;
            m_t.nEarlyEnds += bClosing ? 0 : 1;
        } else {
            ++m_t.nWrong;
        }
    }

private:
    static bool ReadPrefix(const char* pData, int nLen, const char* pszType, unsigned* pnConn,
                           unsigned* pnSeq) {
        if (pData == nullptr || nLen < streams::kPrefixLen ||
            std::strcmp(pszType, "text/plain") != 0) {
            return false;
        }
        char szPrefix[streams::kPrefixLen + 1];
        std::memcpy(szPrefix, pData, streams::kPrefixLen);
        szPrefix[streams::kPrefixLen] = '\0';
        int nPartLen = 0;
        return std::sscanf(szPrefix, "conn=%6u seq=%8u len=%5d", pnConn, pnSeq, &nPartLen) == 3 &&
               nPartLen == nLen && szPrefix[streams::kPrefixLen - 1] == '\n';
    }

    // The parts of a connection other than the current one begin.
    void NewConnection(unsigned nConn) {
        if (m_nConn >= 0 && !m_bDropped) {
            ++m_t.nUnannounced;
            EndConnection();
        }
        if (static_cast<long>(nConn) < m_nConn) {
            ++m_t.nOutOfOrder; // an older connection again
        }
        if (!m_pOwners->Claim(nConn, m_nSession)) {
            ++m_t.nForeign;
        }
        ++m_t.nConnections;
        m_nConn = nConn;
        m_nNext = 0;
        m_bDropped = false;
    }

    // The current connection has dropped: it must have delivered 0 to D - 1.
    void EndConnection() {
        const unsigned nWhole = static_cast<unsigned>(m_o.nDropAfter);
        if (m_nNext < nWhole) {
            m_t.nLost += static_cast<long>(nWhole - m_nNext);
        }
    }

    const streams::Options& m_o;
    ConnOwners* m_pOwners;
    int m_nSession;
    Tally& m_t;
    long m_nConn = -1;       // the connection whose parts come now
    unsigned m_nNext = 0;    // its next part
    bool m_bDropped = false; // a reconnect record came after its last part
};

} // namespace soak

#endif // OXR_BENCH_SOAK_CHECK_H
