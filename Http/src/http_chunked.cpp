// Removes chunked framing in place, carrying its state from one received
// piece to the next; the receiver feeds it, nothing else knows chunks.
#include "http_chunked.h"

#include <cstring>

#include "http_text.h"

namespace {

// Larger chunks are refused rather than counted past what an int can hold.
const long long kMaxChunk = 0x7fffffff;

} // namespace

void CHttpChunkDecoder::Reset() {
    m_eState = kSize;
    m_nLeft = 0;
    m_bDigits = false;
    m_bSurplus = false;
}

CHttpChunkDecoder::State CHttpChunkDecoder::SizeLineEnded() {
    if (!m_bDigits) {
        return kError;
    }
    return m_nLeft == 0 ? kTrailer : kData;
}

int CHttpChunkDecoder::Decode(char* p, int nLen) {
    // Framing is only ever removed, so the write position never passes the read position.
    if (m_eState == kError) {
        return -1;
    }
    int nIn = 0;
    int nOut = 0;
    while (nIn < nLen && m_eState != kError && m_eState != kDone) {
        if (m_eState == kData) {
            int n = nLen - nIn;
            if (m_nLeft < n) {
                n = static_cast<int>(m_nLeft);
            }
            // Data before the first framing byte is already in place.
            if (nOut != nIn) {
                std::memmove(p + nOut, p + nIn, static_cast<size_t>(n));
            }
            nIn += n;
            nOut += n;
            m_nLeft -= n;
            if (m_nLeft == 0) {
                m_eState = kDataCr;
            }
            continue;
        }
        char c = p[nIn++];
        switch (m_eState) {
        case kSize: {
            int v = HttpHexDigit(c);
            if (v >= 0) {
                m_nLeft = m_nLeft * 16 + v;
                m_bDigits = true;
                m_eState = m_nLeft > kMaxChunk ? kError : kSize;
            } else if (c == ';' || c == ' ' || c == '\t') {
                m_eState = m_bDigits ? kExtension : kError;
            } else if (c == '\r') {
                m_eState = m_bDigits ? kSizeLf : kError;
            } else if (c == '\n') {
                m_eState = SizeLineEnded();
            } else {
                m_eState = kError;
            }
            break;
        }
        case kExtension:
            if (c == '\n') {
                m_eState = SizeLineEnded();
            }
            break;
        case kSizeLf:
            m_eState = c == '\n' ? SizeLineEnded() : kError;
            break;
        case kDataCr:
        case kDataLf:
            if (c == '\n') {
                m_eState = kSize;
                m_nLeft = 0;
                m_bDigits = false;
            } else {
                m_eState = (c == '\r' && m_eState == kDataCr) ? kDataLf : kError;
            }
            break;
        case kTrailer:
            m_eState = c == '\r' ? kTrailerLf : (c == '\n' ? kDone : kTrailerLine);
            break;
        case kTrailerLine:
            if (c == '\n') {
                m_eState = kTrailer;
            }
            break;
        case kTrailerLf:
            m_eState = c == '\n' ? kDone : kError;
            break;
        default:
            break;
        }
    }
    if (m_eState == kDone && nIn < nLen) {
        m_bSurplus = true;
    }
    return (m_eState == kError && nOut == 0) ? -1 : nOut;
}
