// The multipart splitter the libcurl clients of the benchmarks use, so that
// they do the work the library does for them: whole parts out of the bytes.
#ifndef OXR_BENCH_PART_SPLITTER_H
#define OXR_BENCH_PART_SPLITTER_H

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

typedef void (*PartFn)(void* pCtx, const char* p, int nLen, const char* pszType);

// A minimal multipart splitter for the libcurl clients: finds each delimiter
// line, reads Content-Length and Content-Type from the part head, and hands
// out whole parts, a part without Content-Length ending where the next
// delimiter line begins. A part that lies whole in a piece is handed out from
// the piece itself; only a part that spans pieces is gathered.
class Splitter {
public:
    Splitter(const char* pszBoundary, PartFn fn, void* pCtx)
        : m_sDelim(std::string("--") + pszBoundary), m_sBodyEnd("\r\n" + m_sDelim), m_fn(fn),
          m_pCtx(pCtx) {}

    void Feed(const char* p, size_t n) {
        if (m_bEnd) {
            return;
        }
        if (m_buf.empty()) {
            size_t nUsed = Parse(p, n);
            m_buf.assign(p + nUsed, p + n);
        } else {
            m_buf.insert(m_buf.end(), p, p + n);
            size_t nUsed = Parse(m_buf.data(), m_buf.size());
            m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<long>(nUsed));
        }
    }

private:
    // Takes what it can from [p, p + n); returns the bytes used. Stops at the
    // start of an item (delimiter or body) that has not arrived whole.
    size_t Parse(const char* p, size_t n) {
        size_t nUsed = 0;
        const size_t nDelim = m_sDelim.size();
        while (!m_bEnd) {
            const char* b = p + nUsed;
            const size_t nAvail = n - nUsed;
            if (!m_bInBody) {
                const char* d =
                    static_cast<const char*>(memmem(b, nAvail, m_sDelim.data(), nDelim));
                if (d == nullptr) {
                    nUsed = n - std::min(nAvail, nDelim - 1);
                    break;
                }
                nUsed += static_cast<size_t>(d - b);
                const size_t nLeft = n - nUsed;
                if (nLeft < nDelim + 2) {
                    break;
                }
                if (d[nDelim] == '-' && d[nDelim + 1] == '-') {
                    m_bEnd = true;
                    nUsed = n;
                    break;
                }
                const char* e = static_cast<const char*>(memmem(d, nLeft, "\r\n\r\n", 4));
                if (e == nullptr) {
                    break;
                }
                ParseHead(d, e);
                nUsed += static_cast<size_t>(e + 4 - d);
                m_bInBody = true;
                m_nScan = 0;
            } else if (m_nLength >= 0) {
                if (nAvail < static_cast<size_t>(m_nLength)) {
                    break;
                }
                m_fn(m_pCtx, b, static_cast<int>(m_nLength), m_szType);
                nUsed += static_cast<size_t>(m_nLength);
                m_bInBody = false;
            } else {
                const char* e = static_cast<const char*>(
                    memmem(b + m_nScan, nAvail - m_nScan, m_sBodyEnd.data(), m_sBodyEnd.size()));
                if (e == nullptr) {
                    m_nScan = nAvail >= m_sBodyEnd.size() ? nAvail - m_sBodyEnd.size() + 1 : 0;
                    break;
                }
                m_fn(m_pCtx, b, static_cast<int>(e - b), m_szType);
                nUsed += static_cast<size_t>(e - b) + 2;
                m_bInBody = false;
            }
        }
        return nUsed;
    }

    // The lines after the delimiter line, up to the empty line at pEnd.
    void ParseHead(const char* p, const char* pEnd) {
        m_nLength = -1;
        const char* pLine = static_cast<const char*>(std::memchr(p, '\n', pEnd - p));
        while (pLine != nullptr && ++pLine < pEnd) {
            const char* pNext = static_cast<const char*>(std::memchr(pLine, '\n', pEnd - pLine));
            const char* pStop = pNext != nullptr ? pNext : pEnd;
            if (pStop > pLine && pStop[-1] == '\r') {
                --pStop;
            }
            if (pStop - pLine > 15 && strncasecmp(pLine, "Content-Length:", 15) == 0) {
                m_nLength = std::strtol(pLine + 15, nullptr, 10);
            } else if (pStop - pLine > 13 && strncasecmp(pLine, "Content-Type:", 13) == 0) {
                const char* v = pLine + 13;
                while (v < pStop && (*v == ' ' || *v == '\t')) {
                    ++v;
                }
                size_t k = std::min<size_t>(static_cast<size_t>(pStop - v), sizeof(m_szType) - 1);
                std::memcpy(m_szType, v, k);
                m_szType[k] = '\0';
            }
            pLine = pNext;
        }
    }

    const std::string m_sDelim;
    const std::string m_sBodyEnd;
    PartFn m_fn;
    void* m_pCtx;
    std::vector<char> m_buf;
    bool m_bInBody = false;
    bool m_bEnd = false;
    long m_nLength = -1;
    size_t m_nScan = 0; // where the search for the body's end goes on, from the body start
    char m_szType[68] = {0};
};

} // namespace bench

#endif // OXR_BENCH_PART_SPLITTER_H
