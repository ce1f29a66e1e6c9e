// A text built in a fixed array: every append is bounded, and once one did
// not fit the text is wiped and stays overflowed (and empty), so a caller
// checks once at the end.
#ifndef HTTP_TEXT_H
#define HTTP_TEXT_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#if defined(__GNUC__)
#define HTTP_PRINTF_LIKE(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define HTTP_PRINTF_LIKE(fmt, first)
#endif

// The value of a hex digit, or -1.
inline int HttpHexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Overwrites n bytes that may have held a secret (credentials, an
// Authorization line) before their memory goes back; the writes are kept.
inline void HttpWipe(void* p, size_t n) {
    volatile unsigned char* q = static_cast<volatile unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) {
        q[i] = 0;
    }
}

template <size_t N> class CHttpText {
public:
    CHttpText() : m_nLen(0), m_bOverflow(false) { m_sz[0] = '\0'; }
    ~CHttpText() { Clear(); }
    CHttpText(const CHttpText&) = delete;
    CHttpText& operator=(const CHttpText&) = delete;

    void Append(const char* p, size_t n) {
        // The terminating zero must stay inside the array too.
        if (m_bOverflow || n >= N - m_nLen) {
            SetOverflow();
            return;
        }
        std::memcpy(m_sz + m_nLen, p, n);
        m_nLen += n;
        m_sz[m_nLen] = '\0';
    }
    void Append(const char* psz) { Append(psz, std::strlen(psz)); }
    void AppendF(const char* pszFormat, ...) HTTP_PRINTF_LIKE(2, 3) {
        if (m_bOverflow) {
            return;
        }
        va_list args;
        va_start(args, pszFormat);
        int n = std::vsnprintf(m_sz + m_nLen, N - m_nLen, pszFormat, args);
        va_end(args);
        if (n < 0 || static_cast<size_t>(n) >= N - m_nLen) {
            SetOverflow();
            return;
        }
        m_nLen += static_cast<size_t>(n);
    }
    // Wipes the text: it may have held a secret (an overflowed one was wiped
    // whole already).
    void Clear() {
        HttpWipe(m_sz, m_nLen + 1);
        m_nLen = 0;
        m_bOverflow = false;
    }
    bool Overflow() const { return m_bOverflow; }
    int Length() const { return static_cast<int>(m_nLen); }
    const char* Data() const { return m_sz; }

private:
    // vsnprintf has written up to the end of the array, past m_nLen: all of
    // it is wiped, as it may hold a secret, and the text is empty from here.
    void SetOverflow() {
        if (!m_bOverflow) {
            HttpWipe(m_sz, N);
            m_nLen = 0;
            m_bOverflow = true;
        }
    }

    char m_sz[N];
    size_t m_nLen;
    bool m_bOverflow;
};

#endif // HTTP_TEXT_H
