// The camera's side of one HTTP/1.1 exchange: reading a request from a
// connection and writing response heads and bodies to it.
#ifndef OXR_DEMO_HTTP_EXCHANGE_H
#define OXR_DEMO_HTTP_EXCHANGE_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "connection.h"

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;
    std::string target; // as sent: path and query
    std::string path;
    std::string query;
    HeaderList headers;
    std::string body;

    // Value of a header (name compared ignoring case), or "" when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
    // Value of a query parameter ("a=1&b=2"), or fallback when absent.
    std::string Query(const std::string& name, const std::string& fallback = "") const;
    // A query parameter as a number clamped to [nMin, nMax]; fallback when absent or not a number.
    long QueryNumber(const std::string& name, long nFallback, long nMin, long nMax) const;
};

// Largest request head and body the camera accepts.
constexpr size_t kMaxHeadBytes = 16384;
constexpr size_t kMaxBodyBytes = 1 << 20;

// Reads one request (head and, with Content-Length, body). The socket has a
// receive time-out set, so this returns. False with a reason on failure.
bool ReadRequest(Connection& conn, Request* pRequest, std::string* pError);

// Splits a request head (request line and header lines, without the blank
// line). False when the request line is malformed.
bool ParseRequestHead(const std::string& head, Request* pRequest);

// Sends all bytes; false when the peer is gone or the send timed out.
bool SendAll(Connection& conn, const void* pData, size_t nLen);
bool SendText(Connection& conn, const std::string& text);

// "HTTP/1.1 <status> <reason>\r\n" and the headers, then the blank line.
std::string ResponseHead(int nStatus, const HeaderList& headers);
const char* ReasonPhrase(int nStatus);

#endif
