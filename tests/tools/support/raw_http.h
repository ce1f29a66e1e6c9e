// A deliberately small HTTP fetch over a plain socket, independent of the
// library, for checking the demo camera on its own.
#ifndef OXR_TOOLS_TEST_RAW_HTTP_H
#define OXR_TOOLS_TEST_RAW_HTTP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RawResponse {
    bool bOk = false; // connected and got a response head
    int nStatus = 0;
    std::string head; // status line and header lines
    std::string body; // everything after the head until the server closed (or the time limit)

    std::string Header(const std::string& name) const; // "" when absent
    // Every value of a header that may come more than once (WWW-Authenticate).
    std::vector<std::string> Headers(const std::string& name) const;
};

// Splits what a server sent (head, blank line, body); bOk false when no
// HTTP/1.1 response head is there.
RawResponse ParseRawResponse(const std::string& data);

// Sends `request` (a complete request message) to 127.0.0.1:port and reads
// until the server closes the connection or nLimitMs pass: the request
// should say "Connection: close", or the camera keeps the connection open.
RawResponse RawExchange(uint16_t wPort, const std::string& request, int nLimitMs = 5000);
// GET target with "Connection: close" and the extra header lines.
RawResponse RawGet(uint16_t wPort, const std::string& target,
                   const std::vector<std::string>& extraHeaders = {}, int nLimitMs = 5000);

// How often `what` stands in `text` (overlapping places counted).
size_t CountOf(const std::string& text, const std::string& what);

struct RawPart {
    std::string head; // the part's header lines
    std::string body;
    std::string Header(const std::string& name) const;
};

// Splits a multipart body at "--boundary" delimiters. A part's body ends at
// its Content-Length when it has one, else at the CR LF before the next delimiter.
std::vector<RawPart> SplitMultipart(const std::string& body, const std::string& boundary);

#endif
