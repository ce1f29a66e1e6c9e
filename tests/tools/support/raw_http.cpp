#include "raw_http.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::vector<std::string> FindHeaders(const std::string& head, const std::string& name) {
    std::vector<std::string> values;
    size_t pos = 0;
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        const size_t end = head.find("\r\n", pos);
        const std::string line = head.substr(pos, end == std::string::npos ? end : end - pos);
        const size_t colon = line.find(':');
        if (colon != std::string::npos &&
            strcasecmp(line.substr(0, colon).c_str(), name.c_str()) == 0) {
            const size_t v = line.find_first_not_of(' ', colon + 1);
            values.push_back(v == std::string::npos ? std::string() : line.substr(v));
        }
    }
    return values;
}

std::string FindHeader(const std::string& head, const std::string& name) {
    const std::vector<std::string> values = FindHeaders(head, name);
    return values.empty() ? std::string() : values.front();
}

} // namespace

std::string RawResponse::Header(const std::string& name) const {
    return FindHeader(head, name);
}

std::vector<std::string> RawResponse::Headers(const std::string& name) const {
    return FindHeaders(head, name);
}

std::string RawPart::Header(const std::string& name) const {
    return FindHeader("\r\n" + head, name);
}

RawResponse RawExchange(uint16_t wPort, const std::string& request, int nLimitMs) {
    RawResponse r;
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        return r;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(wPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        send(s, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
        close(s);
        return r;
    }
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nLimitMs);
    char buf[16384];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{s, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        const ssize_t n = recv(s, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    close(s);
    return ParseRawResponse(data);
}

RawResponse ParseRawResponse(const std::string& data) {
    RawResponse r;
    const size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos || data.compare(0, 9, "HTTP/1.1 ") != 0) {
        return r;
    }
    r.bOk = true;
    r.head = data.substr(0, end);
    r.body = data.substr(end + 4);
    r.nStatus = std::atoi(data.c_str() + 9);
    return r;
}

RawResponse RawGet(uint16_t wPort, const std::string& target,
                   const std::vector<std::string>& extraHeaders, int nLimitMs) {
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const std::string& h : extraHeaders) {
        request += h + "\r\n";
    }
    request += "\r\n";
    return RawExchange(wPort, request, nLimitMs);
}

std::vector<RawPart> SplitMultipart(const std::string& body, const std::string& boundary) {
    std::vector<RawPart> parts;
    const std::string delimiter = "--" + boundary;
    size_t pos = body.find(delimiter);
    while (pos != std::string::npos) {
        pos += delimiter.size();
        if (body.compare(pos, 2, "--") == 0) {
            break; // closing delimiter
        }
        const size_t headStart = pos + 2; // past CR LF
        const size_t headEnd = body.find("\r\n\r\n", headStart);
        if (headEnd == std::string::npos) {
            break;
        }
        RawPart part;
        part.head = body.substr(headStart, headEnd - headStart);
        const size_t bodyStart = headEnd + 4;
        const std::string length = part.Header("Content-Length");
        size_t next = 0;
        if (!length.empty()) {
            const size_t n = static_cast<size_t>(std::atol(length.c_str()));
            if (bodyStart + n > body.size()) {
                break; // cut off
            }
            part.body = body.substr(bodyStart, n);
            next = body.find(delimiter, bodyStart + n);
        } else {
            next = body.find("\r\n" + delimiter, bodyStart);
            if (next == std::string::npos) {
                break;
            }
            part.body = body.substr(bodyStart, next - bodyStart);
        }
        parts.push_back(part);
        pos = next;
    }
    return parts;
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}
