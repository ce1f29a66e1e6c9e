// Feeds arbitrary text to the session's URL parser and checks what a split
// URL promises to the rest of the library.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "http_session.h"

namespace {

void Check(bool bOk) {
    if (!bOk) {
        __builtin_trap();
    }
}

// The request URI and host go into the request head as they are.
bool IsLineSafe(const char* psz) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(psz); *p != 0; ++p) {
        if (*p <= 0x20 || *p == 0x7F) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 1 << 16) {
        return 0;
    }
    // The URL is a zero-terminated text; bytes behind a zero are not part of it.
    std::string url(reinterpret_cast<const char*>(pData), nSize);
    CHttpSession s(0);
    if (s.ParseUrl(url.c_str()) != 0) {
        return 0;
    }
    Check(std::strlen(s.GetHost()) <= 127 && std::strlen(s.GetRequestUri()) <= 511);
    Check(std::strlen(s.GetPath()) <= 511 && std::strlen(s.GetQuery()) <= 255);
    Check(std::strlen(s.GetParams()) <= 255 && std::strlen(s.GetFragment()) <= 255);
    Check(s.GetRequestUri()[0] == '/');
    Check(IsLineSafe(s.GetRequestUri()) && IsLineSafe(s.GetHost()));
    // What Open hands the codec must come out as one request line.
    CHttpParser& p = s.GetParser();
    p.SetHost(s.GetHost());
    p.SetRequestLine(1, s.GetRequestUri());
    int nLen = 0;
    const char* pMsg = p.FormatMsg(&nLen, nullptr, 0);
    Check(pMsg != nullptr);
    const char* pLineEnd = static_cast<const char*>(std::memchr(pMsg, '\n', nLen));
    std::string line = "GET " + std::string(s.GetRequestUri()) + " HTTP/1.1\r";
    Check(pLineEnd != nullptr && std::string(pMsg, pLineEnd) == line);
    return 0;
}
