// Builders for the byte streams a camera sends: response heads, multipart
// bodies (with every quirk of part heads the receiver has to cope with) and
// chunked transfer encoding with chunk ends at chosen places.
#ifndef STREAM_BUILDER_H
#define STREAM_BUILDER_H

#include <cstddef>
#include <string>
#include <vector>

// One part of a multipart body.
struct TestPart {
    std::string body;
    std::string type = "image/jpeg"; // empty: no Content-Type line
    bool bLength = true;             // write a Content-Length line
    std::string lengthText;          // written instead of the body's length when not empty
    std::string extraHead;           // more head lines, each ending in CR LF
};

// "HTTP/1.1 200 OK" head with the given Content-Type (none when empty) and
// further header lines (each ending in CR LF).
std::string ResponseHead(const std::string& contentType, const std::string& extraLines = "",
                         const std::string& status = "200 OK");
// "multipart/x-mixed-replace;boundary=..." with the parameter as given, so a
// test can write quotes, blanks or further parameters.
std::string MultipartType(const std::string& boundaryParam);
// "--boundary" line, the part head, the body and the CR LF that ends it.
std::string PartBytes(const std::string& boundary, const TestPart& part);
// All parts in order; with bClose the closing delimiter follows.
std::string MultipartBody(const std::string& boundary, const std::vector<TestPart>& parts,
                          bool bClose = false);
// Chunked transfer encoding of data; chunks end at the given offsets
// (ascending), the rest is one more chunk, and with bLast the zero-size chunk
// and the empty trailer end it. Sizes are written in lower-case hex, with
// pszExtension (e.g. ";x=1") after each size when given.
std::string Chunked(const std::string& data, const std::vector<size_t>& ends, bool bLast = true,
                    const char* pszExtension = "");
// n bytes of a pattern that holds zero bytes, CR, LF and dashes (a JPEG-like
// body that a zero-terminated search would break on).
std::string BinaryBytes(size_t n, unsigned nSeed);
// The value of a captured request's header field (name as sent), or "".
std::string RequestField(const std::string& request, const std::string& name);

#endif // STREAM_BUILDER_H
