// Feeds arbitrary bytes to the response head parser, then uses what it found:
// lookups, the request header list, and a request message with the input as
// its body. Sanitizers catch memory faults; the checks below catch broken
// promises.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "http_parse.h"

namespace {

void Check(bool bOk) {
    if (!bOk) {
        __builtin_trap();
    }
}

bool HasLineBreak(const char* psz) {
    return std::strpbrk(psz, "\r\n") != nullptr;
}

// An HTTP token, written out again here rather than shared with the codec.
bool IsToken(const char* psz) {
    const char* const kTChar = "!#$%&'*+-.^_`|~";
    for (const char* p = psz; *p != '\0'; ++p) {
        const unsigned char u = static_cast<unsigned char>(*p);
        if (!std::isalnum(u) || u >= 0x80) {
            if (std::strchr(kTChar, *p) == nullptr) {
                return false;
            }
        }
    }
    return *psz != '\0';
}

void CheckParse(CHttpParser& p, int nResult) {
    const char* pHead = p.GetHead();
    if (nResult == 0) {
        Check(p.GetCursor() >= pHead && p.GetCursor() <= pHead + p.GetHeadLen());
    }
    Check(std::strlen(p.GetVersion()) <= 31 && std::strlen(p.GetReason()) <= 255);
    // A field never spans a line end.
    for (const HttpHeader* pField : p.GetResponseHeaders()) {
        Check(std::strstr(pField->pszName, "\r\n") == nullptr);
        Check(std::strstr(pField->pszValue, "\r\n") == nullptr);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 1 << 20) {
        return 0;
    }
    const char* pHead = reinterpret_cast<const char*>(pData);
    int nLen = static_cast<int>(nSize);

    CHttpParser p;
    int nResult = p.ParseMsg(pHead, nLen);
    CheckParse(p, nResult);
    p.GetResponseHeader("Content-Type");
    if (!p.GetResponseHeaders().empty()) {
        const HttpHeader* pFirst = p.GetResponseHeaders().front();
        Check(p.GetResponseHeader(pFirst->pszName) == pFirst->pszValue);
    }

    // The request side refuses every name that is not a token and every
    // value that would break its line; a short line of neither is taken.
    for (const HttpHeader* pField : p.GetResponseHeaders()) {
        int nAdded = p.AddHeader(pField->pszName, pField->pszValue);
        const bool bSendable = IsToken(pField->pszName) && !HasLineBreak(pField->pszValue);
        Check(bSendable || nAdded != 0);
        Check(!bSendable || nAdded == 0 ||
              std::strlen(pField->pszName) + std::strlen(pField->pszValue) > 8000);
    }
    p.SetHost(p.GetVersion());
    p.SetRequestLine(*p.GetStatusCode() % 11 - 1, p.GetReason());
    int nMsgLen = -1;
    const char* pMsg = p.FormatMsg(&nMsgLen, pHead, nLen);
    // Only a head over its limit fails here (the body always fits an int).
    Check((pMsg == nullptr) == !p.HeadFits());
    if (pMsg == nullptr) {
        Check(nMsgLen == 0);
    } else {
        const char* pszMethod = CHttpParser::GetMethodName(p.GetMethod());
        size_t nMethod = std::strlen(pszMethod);
        Check(nMsgLen >= nLen + 4 && nMsgLen - nLen < kHttpWorkAreaSize);
        Check(std::memcmp(pMsg, pszMethod, nMethod) == 0 && pMsg[nMethod] == ' ');
        Check(std::memcmp(pMsg + nMsgLen - nLen - 4, "\r\n\r\n", 4) == 0);
        Check(nLen == 0 || std::memcmp(pMsg + nMsgLen - nLen, pHead, nSize) == 0);
    }

    // A second, shorter head on the same codec replaces the first one's fields.
    nResult = p.ParseMsg(pHead, nLen / 2);
    CheckParse(p, nResult);
    p.RemoveHeader("Content-Length");
    p.FormatMsg(&nMsgLen, nullptr, 0);
    return 0;
}
