#include "http_exchange.h"

#include <cstdlib>
#include <strings.h>

namespace {

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

} // namespace

std::string Request::Header(const std::string& name) const {
    for (const auto& h : headers) {
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) {
            return h.second;
        }
    }
    return "";
}

bool Request::HasHeader(const std::string& name) const {
    for (const auto& h : headers) {
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

std::string Request::Query(const std::string& name, const std::string& fallback) const {
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t end = query.find('&', pos);
        if (end == std::string::npos) {
            end = query.size();
        }
        const std::string item = query.substr(pos, end - pos);
        const size_t eq = item.find('=');
        if (item.substr(0, eq) == name) {
            return eq == std::string::npos ? std::string() : item.substr(eq + 1);
        }
        pos = end + 1;
    }
    return fallback;
}

long Request::QueryNumber(const std::string& name, long nFallback, long nMin, long nMax) const {
    const std::string text = Query(name, "");
    if (text.empty()) {
        return nFallback;
    }
    char* pEnd = nullptr;
    const long n = std::strtol(text.c_str(), &pEnd, 10);
    if (pEnd == nullptr || *pEnd != '\0') {
        return nFallback;
    }
    return n < nMin ? nMin : (n > nMax ? nMax : n);
}

bool ParseRequestHead(const std::string& head, Request* pRequest) {
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t sp1 = requestLine.find(' ');
    const size_t sp2 = requestLine.find(' ', sp1 == std::string::npos ? sp1 : sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos || sp1 == 0 || sp2 == sp1 + 1) {
        return false;
    }
    pRequest->method = requestLine.substr(0, sp1);
    pRequest->target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    pRequest->version = requestLine.substr(sp2 + 1);
    const size_t q = pRequest->target.find('?');
    pRequest->path = pRequest->target.substr(0, q);
    pRequest->query = q == std::string::npos ? std::string() : pRequest->target.substr(q + 1);
    pRequest->headers.clear();
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            continue;
        }
        pRequest->headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
    return true;
}

ReadOutcome ReadRequest(Connection& conn, std::string* pBuffered, Request* pRequest,
                        std::string* pError) {
    std::string& data = *pBuffered;
    char buf[4096];
    size_t headEnd = std::string::npos;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() >= kMaxHeadBytes) {
            *pError = "request head too large";
            return ReadOutcome::kFailed;
        }
        const long n = conn.Read(buf, sizeof(buf));
        if (n == 0 && data.empty()) {
            *pError = "connection closed before the request head ended";
            return ReadOutcome::kClosed;
        }
        if (n <= 0) {
            *pError = n == 0 ? "connection closed before the request head ended"
                             : "no request head in time";
            return ReadOutcome::kFailed;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    if (!ParseRequestHead(data.substr(0, headEnd), pRequest)) {
        *pError = "malformed request line";
        return ReadOutcome::kFailed;
    }
    const std::string lengthText = pRequest->Header("Content-Length");
    size_t nLength = 0;
    if (!lengthText.empty()) {
        char* pEnd = nullptr;
        const unsigned long long v = std::strtoull(lengthText.c_str(), &pEnd, 10);
        if (pEnd == lengthText.c_str() || v > kMaxBodyBytes) {
            *pError = "unacceptable Content-Length";
            return ReadOutcome::kFailed;
        }
        nLength = static_cast<size_t>(v);
    }
    data.erase(0, headEnd + 4);
    while (data.size() < nLength) {
        const long n = conn.Read(buf, sizeof(buf));
        if (n <= 0) {
            *pError = "request body incomplete";
            return ReadOutcome::kFailed;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    pRequest->body = data.substr(0, nLength);
    data.erase(0, nLength); // the start of the next request, if the client sent one already
    return ReadOutcome::kRequest;
}

bool ClientKeepsAlive(const Request& request) {
    if (request.version != "HTTP/1.1" || request.HasHeader("Transfer-Encoding")) {
        return false;
    }
    for (const auto& h : request.headers) {
        if (strcasecmp(h.first.c_str(), "Connection") != 0) {
            continue;
        }
        size_t pos = 0;
        while (pos <= h.second.size()) {
            size_t end = h.second.find(',', pos);
            if (end == std::string::npos) {
                end = h.second.size();
            }
            if (strcasecmp(Trim(h.second.substr(pos, end - pos)).c_str(), "close") == 0) {
                return false;
            }
            pos = end + 1;
        }
    }
    return true;
}

bool SendAll(Connection& conn, const void* pData, size_t nLen) {
    return conn.Write(pData, nLen);
}

bool SendText(Connection& conn, const std::string& text) {
    return conn.Write(text.data(), text.size());
}

const char* ReasonPhrase(int nStatus) {
    switch (nStatus) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 304:
        return "Not Modified";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

std::string ResponseHead(int nStatus, const HeaderList& headers, bool bKeep) {
    std::string head = "HTTP/1.1 " + std::to_string(nStatus) + " " + ReasonPhrase(nStatus) + "\r\n";
    head += "Server: oxr-demo-camera\r\n";
    for (const auto& h : headers) {
        head += h.first + ": " + h.second + "\r\n";
    }
    // A kept connection needs no header: HTTP/1.1 connections persist by default.
    return head + (bKeep ? "\r\n" : "Connection: close\r\n\r\n");
}
