// The camera's side of HTTP/1.1 exchanges: reading requests from a
// connection (one after the other when it is kept open) and writing
// response heads and bodies to it.
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
    std::string target;  // as sent: path and query
    std::string version; // "HTTP/1.1", "HTTP/1.0", ...
    std::string path;
    std::string query;
    HeaderList headers;
    std::string body;
    // The connection stays open after an answer with a length (set by the
    // listener from ClientKeepsAlive and the camera's --keep-alive).
    bool bKeepAlive = false;

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

enum class ReadOutcome {
    kRequest, // a whole request
    kClosed,  // the peer closed before sending a byte of one
    kFailed,  // a broken, cut or overlong request, or none in time: *pError says which
};

// Reads one request (head and, with Content-Length, body), starting with the
// bytes in *pBuffered; bytes beyond it stay there for the next request on
// the connection. The socket has a receive time-out set, so this returns.
ReadOutcome ReadRequest(Connection& conn, std::string* pBuffered, Request* pRequest,
                        std::string* pError);

// Whether the client lets the connection stay open after the answer: an
// HTTP/1.1 request without a "close" token in Connection. A request with a
// Transfer-Encoding (a body the camera does not read) never does.
bool ClientKeepsAlive(const Request& request);

// Splits a request head (request line and header lines, without the blank
// line). False when the request line is malformed.
bool ParseRequestHead(const std::string& head, Request* pRequest);

// Sends all bytes; false when the peer is gone or the send timed out.
bool SendAll(Connection& conn, const void* pData, size_t nLen);
bool SendText(Connection& conn, const std::string& text);

// "HTTP/1.1 <status> <reason>\r\n" and the headers, then "Connection: close"
// unless bKeep, and the blank line.
std::string ResponseHead(int nStatus, const HeaderList& headers, bool bKeep = false);
const char* ReasonPhrase(int nStatus);

#endif
