#include "auth_params.h"

#include <cctype>
#include <cstring>

namespace {

// tchar of RFC 7230: the characters of a token.
bool IsTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

void SkipSpace(const std::string& s, size_t* pPos) {
    while (*pPos < s.size() && (s[*pPos] == ' ' || s[*pPos] == '\t')) {
        ++*pPos;
    }
}

std::string Token(const std::string& s, size_t* pPos) {
    const size_t start = *pPos;
    while (*pPos < s.size() && IsTokenChar(s[*pPos])) {
        ++*pPos;
    }
    return s.substr(start, *pPos - start);
}

// A quoted-string starting at the opening quote; false when it does not end.
bool QuotedString(const std::string& s, size_t* pPos, std::string* pValue) {
    pValue->clear();
    for (size_t i = *pPos + 1; i < s.size(); ++i) {
        if (s[i] == '"') {
            *pPos = i + 1;
            return true;
        }
        if (s[i] == '\\') {
            if (++i == s.size()) {
                return false;
            }
        }
        pValue->push_back(s[i]);
    }
    return false;
}

std::string Lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

} // namespace

std::string AuthParams::Get(const std::string& lowerName) const {
    const auto it = values.find(lowerName);
    return it == values.end() ? std::string() : it->second;
}

bool ParseAuthParams(const std::string& text, AuthParams* pParams) {
    pParams->scheme.clear();
    pParams->values.clear();
    size_t pos = 0;
    SkipSpace(text, &pos);
    pParams->scheme = Token(text, &pos);
    if (pParams->scheme.empty() || (pos < text.size() && text[pos] != ' ')) {
        return false;
    }
    bool bNeedComma = false;
    for (;;) {
        SkipSpace(text, &pos);
        if (pos == text.size()) {
            return true;
        }
        if (text[pos] == ',') { // empty list elements are allowed
            ++pos;
            bNeedComma = false;
            continue;
        }
        if (bNeedComma) {
            return false;
        }
        const std::string name = Lower(Token(text, &pos));
        SkipSpace(text, &pos);
        if (name.empty() || pos == text.size() || text[pos] != '=') {
            return false;
        }
        ++pos;
        SkipSpace(text, &pos);
        std::string value;
        if (pos < text.size() && text[pos] == '"') {
            if (!QuotedString(text, &pos, &value)) {
                return false;
            }
        } else {
            value = Token(text, &pos);
            if (value.empty()) {
                return false;
            }
        }
        if (!pParams->values.emplace(name, value).second) {
            return false;
        }
        bNeedComma = true;
    }
}
