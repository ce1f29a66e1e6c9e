// Base64 (RFC 4648) for the Basic authorization text. Base64Decode has no
// caller in the library; it completes the codec for applications and tests.
#include "base64.h"

#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

int Base64Index(char c) {
    for (int i = 0; i < 64; ++i) {
        if (kAlphabet[i] == c) {
            return i;
        }
    }
    return -1;
}

int Base64Encode(const unsigned char* data, int len, char** out) {
    if (len < 0 || (len > 0 && data == nullptr)) {
        return -1;
    }
    // (len * 4) / 3 + 4 holds 4 * ceil(len / 3) characters and the terminator;
    // counted in 64 bits and refused past what an int result can report.
    unsigned long long nWide = static_cast<unsigned long long>(len) * 4 / 3 + 4;
    if (nWide > 0x7fffffffULL) {
        return -1;
    }
    size_t nSize = static_cast<size_t>(nWide);
    char* pText = static_cast<char*>(std::malloc(nSize));
    if (pText == nullptr) {
        return -1;
    }
    int n = 0;
    for (int i = 0; i < len; i += 3) {
        unsigned long b0 = data[i];
        unsigned long b1 = i + 1 < len ? data[i + 1] : 0;
        unsigned long b2 = i + 2 < len ? data[i + 2] : 0;
        unsigned long v = (b0 << 16) | (b1 << 8) | b2;
        pText[n] = kAlphabet[(v >> 18) & 63];
        pText[n + 1] = kAlphabet[(v >> 12) & 63];
        pText[n + 2] = kAlphabet[(v >> 6) & 63];
        pText[n + 3] = kAlphabet[v & 63];
        int nEnd = i + 3;
        if (nEnd > len) {
            pText[n + 3] = '=';
        }
        if (nEnd > len + 1) {
            pText[n + 2] = '=';
        }
        n += 4;
    }
    pText[n] = '\0';
    *out = pText;
    return n;
}

int Base64Decode(const char* in, unsigned char* outBuf) {
    int nOut = 0;
    int nPads = 0;
    for (const char* p = in; p[0] != '\0' && nPads == 0; p += 4) {
        int a = Base64Index(p[0]);
        if (a < 0) {
            break; // a group that does not start with an alphabet character ends the text
        }
        int b = Base64Index(p[1]);
        if (b < 0) {
            return -1;
        }
        int c = 0;
        int d = 0;
        if (p[2] == '=') {
            ++nPads;
        } else if ((c = Base64Index(p[2])) < 0) {
            return -1;
        }
        if (p[3] == '=') {
            ++nPads;
        } else if (nPads > 0 || (d = Base64Index(p[3])) < 0) {
            return -1;
        }
        unsigned long v = (static_cast<unsigned long>(a) << 18) |
                          (static_cast<unsigned long>(b) << 12) |
                          (static_cast<unsigned long>(c) << 6) | static_cast<unsigned long>(d);
        outBuf[nOut++] = static_cast<unsigned char>((v >> 16) & 255);
        if (nPads < 2) {
            outBuf[nOut++] = static_cast<unsigned char>((v >> 8) & 255);
        }
        if (nPads == 0) {
            outBuf[nOut++] = static_cast<unsigned char>(v & 255);
        }
    }
    return nOut;
}
