// The pieces of multipart splitting that work on bytes alone: the boundary
// parameter, the head of one part and the delimiter that ends a body whose
// length the part does not give.
#ifndef HTTP_PART_H
#define HTTP_PART_H

const int kHttpBoundaryMax = 71;  // characters of m_szBoundary, before its zero
const int kHttpPartTypeMax = 255; // characters of a part's type text
// Dashes looked at before a boundary when telling a delimiter line.
const int kHttpMaxDashes = 64;

// The boundary of a response Content-Type value: the text after the "=" that
// follows "boundary" (exact case), blanks after the "=" skipped, surrounding
// double quotes removed, ended by the first ";" or blank after an unquoted
// one, cut to kHttpBoundaryMax characters (*pbCut, when given, tells
// whether it was). Written zero-terminated into pszOut (kHttpBoundaryMax + 1
// bytes); returns its length. 0 when the value names no usable boundary (no
// "boundary", no "=", or nothing after it): the response is then raw.
int HttpGetBoundary(const char* pszValue, char* pszOut, bool* pbCut = nullptr);

struct HttpPartHead {
    int nLength;    // Content-Length, or -1 when absent or not a count (negative, no digits, too
                    // large)
    int bHasLength; // a Content-Length line was read (the first one counts)
    int bHasType;
    char szType[kHttpPartTypeMax + 1]; // Content-Type value, cut to kHttpPartTypeMax characters
};

// Reads the head of one part, [pBegin, pEnd): the delimiter line and the
// header lines up to the empty one. Names are recognised at the start of a
// line in any case; the first line of each name counts.
void HttpParsePartHead(const char* pBegin, const char* pEnd, HttpPartHead* pHead);
// The same a line at a time, for a head that arrives in pieces: start, then
// each line after the delimiter line, [p, pLineEnd) without its line end.
void HttpStartPartHead(HttpPartHead* pHead);
void HttpReadPartHeadLine(const char* p, const char* pLineEnd, HttpPartHead* pHead);

// Looks for the delimiter line that ends a body starting at pBody, among
// [pBody, pEnd): a line that starts with dashes and then the boundary text,
// with at least two dashes counting those the boundary itself begins with,
// and "-", a blank or the line end after it. Only boundary occurrences that
// start at pFrom or later are tried (those before were tried on an earlier
// call, or ended the bytes held: a caller resumes one byte before the
// boundary's length from the end). Returns the end of the body (the CR
// LF before the delimiter line is not part of it) and stores the start of the
// delimiter line in *ppLine; NULL when there is none yet. bPrefix: the
// boundary text is only the beginning of a boundary that was cut, so any
// byte may follow it.
const char* HttpFindDelimiter(const char* pBody, const char* pFrom, const char* pEnd,
                              const char* pBoundary, int nBoundaryLen, const char** ppLine,
                              bool bPrefix = false);

#endif // HTTP_PART_H
