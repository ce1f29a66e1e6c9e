#include "stream_builder.h"

#include <algorithm>
#include <cstdio>

std::string ResponseHead(const std::string& contentType, const std::string& extraLines,
                         const std::string& status) {
    std::string s = "HTTP/1.1 " + status + "\r\nServer: test\r\n";
    if (!contentType.empty()) {
        s += "Content-Type: " + contentType + "\r\n";
    }
    return s + extraLines + "\r\n";
}

std::string MultipartType(const std::string& boundaryParam) {
    return "multipart/x-mixed-replace;boundary=" + boundaryParam;
}

std::string PartBytes(const std::string& boundary, const TestPart& part) {
    std::string s = "--" + boundary + "\r\n";
    if (!part.type.empty()) {
        s += "Content-Type: " + part.type + "\r\n";
    }
    if (part.bLength) {
        s += "Content-Length: " +
             (part.lengthText.empty() ? std::to_string(part.body.size()) : part.lengthText) +
             "\r\n";
    }
    return s + part.extraHead + "\r\n" + part.body + "\r\n";
}

std::string MultipartBody(const std::string& boundary, const std::vector<TestPart>& parts,
                          bool bClose) {
    std::string s;
    for (const TestPart& part : parts) {
        s += PartBytes(boundary, part);
    }
    if (bClose) {
        s += "--" + boundary + "--\r\n";
    }
    return s;
}

std::string Chunked(const std::string& data, const std::vector<size_t>& ends, bool bLast,
                    const char* pszExtension) {
    std::string s;
    size_t nFrom = 0;
    auto chunk = [&](size_t nTo) {
        char size[32];
        std::snprintf(size, sizeof(size), "%lx", static_cast<unsigned long>(nTo - nFrom));
        s += std::string(size) + pszExtension + "\r\n" + data.substr(nFrom, nTo - nFrom) + "\r\n";
        nFrom = nTo;
    };
    for (size_t nEnd : ends) {
        nEnd = std::min(nEnd, data.size());
        if (nEnd > nFrom) {
            chunk(nEnd);
        }
    }
    if (nFrom < data.size()) {
        chunk(data.size());
    }
    if (bLast) {
        s += "0\r\n\r\n";
    }
    return s;
}

std::string BinaryBytes(size_t n, unsigned nSeed) {
    static const char kSpice[] = {'\0', '\r', '\n', '-', '\xff', '\xd8'};
    std::string s(n, '\0');
    unsigned x = nSeed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        unsigned v = (x >> 16) & 0xff;
        s[i] = (v % 7 == 0) ? kSpice[v % sizeof(kSpice)] : static_cast<char>(v);
    }
    return s;
}

std::string RequestField(const std::string& request, const std::string& name) {
    size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return "";
    }
    at += name.size() + 4;
    return request.substr(at, request.find("\r\n", at) - at);
}
