// The message codec: request and response header lists, the request
// formatter and the response head parser. Works on bytes only: no socket,
// and no process-wide state (failures come back as results).
#ifndef HTTP_PARSE_H
#define HTTP_PARSE_H

#include <cstddef>
#include <list>

// One header field; the record and both texts belong to the list holding it.
struct HttpHeader {
    char* pszName; // as first given, without the colon
    char* pszValue;
};

typedef std::list<HttpHeader*> HttpHeaderList;

// Size of the work areas for the request head and for each of its lines.
const int kHttpWorkAreaSize = 16384;
// Longest request head: its work area keeps a terminating zero.
const size_t kHttpRequestHeadMax = kHttpWorkAreaSize - 1;

class CHttpParser {
public:
    CHttpParser();
    ~CHttpParser();
    CHttpParser(const CHttpParser&) = delete;
    CHttpParser& operator=(const CHttpParser&) = delete;

    // ---- header lists
    // Adds a request header, or replaces the value of one with the same name
    // (case ignored). 0, HTTP_ERR_BAD_PARAM (a null text, a name that is not
    // a token, a CR or LF in the value, or a line that would not fit a
    // request head with the request line and the fixed lines alone) or
    // HTTP_ERR_NO_MEMORY.
    int AddHeader(const char* pszName, const char* pszValue);
    // Removes a request header; always 0.
    int RemoveHeader(const char* pszName);
    // First record of the list whose name equals pszName ignoring case, or
    // NULL. A miss writes a record unless bQuiet (for names that are only
    // checked for, where a miss is no failure).
    HttpHeader* FindHeader(const char* pszName, HttpHeaderList& lst, bool bQuiet = false);
    // Value of the first response header of that name, or NULL.
    const char* GetResponseHeader(const char* pszName, bool bQuiet = false);
    // Calls pfn with the value of every response header of that name, in
    // arrival order, until it returns false. How many were found.
    int ForEachResponseHeader(const char* pszName, bool (*pfn)(void* pCtx, const char* pszValue),
                              void* pCtx);
    void ClearHeaders(HttpHeaderList& lst);
    void ClearRequestHeaders();
    void ClearResponseHeaders();

    // ---- request formatter
    void SetRequestLine(int nMethod, const char* pszUri);
    void SetHost(const char* pszHost);
    // Headers the next messages leave out, though the list keeps them (a
    // redirect to another host goes without the credentials, a GET after a
    // POST without its length).
    enum { kOmitAuthorization = 1, kOmitContentLength = 2 };
    void SetOmit(int nOmit) { m_nOmit = nOmit; }
    static const char* GetMethodName(int nMethod);
    // Builds head and body into the message buffer; stores its length in
    // *pnMsgLen and returns the buffer, or NULL (length 0) on failure.
    char* FormatMsg(int* pnMsgLen, const char* pBody, int nBodyLen);
    // Whether the next request head, with every header of the list, fits
    // kHttpRequestHeadMax.
    bool HeadFits() const;

    // ---- response parser
    // Parses a response head (status line to the empty line; lines end in
    // CR LF or LF alone). 0 when the head was accepted; -1 when its status
    // is refused (400 or above: the status line is read, the header fields
    // are not); HTTP_ERR_STATUS for a malformed status line (a status not
    // of three digits among them); HTTP_ERR_NO_MEMORY.
    int ParseMsg(const char* pHead, int nHeadLen);
    // 0, -1 (refused) or HTTP_ERR_STATUS.
    int ParseStartLine();
    // Reads the header fields after the status line into the response list
    // (anew on every call); 0 or HTTP_ERR_NO_MEMORY. Also used on a refused
    // head whose fields are wanted after all.
    int ParseHeaders();
    // The name is kept from the codec's first design, although it gives the
    // address of the status code, not the code.
    int* GetStatusCode() { return &m_nStatusCode; }

    // ---- read access
    const char* GetVersion() const { return m_szVersion; }
    const char* GetReason() const { return m_szReason; }
    const char* GetCursor() const { return m_pCursor; }
    const char* GetHead() const { return m_pHead; }
    int GetHeadLen() const { return m_nHeadLen; }
    int GetMsgSize() const { return m_nMsgSize; }
    const char* GetMsg() const { return m_pMsg; }
    int GetMethod() const { return m_nMethod; }
    const char* GetUri() const { return m_szUri; }
    const char* GetHost() const { return m_szHost; }
    const HttpHeaderList& GetRequestHeaders() const { return m_lstRequestHeaders; }
    const HttpHeaderList& GetResponseHeaders() const { return m_lstResponseHeaders; }

private:
    // The head's length without the header list: request line, HOST line,
    // the fixed lines and the empty line.
    size_t FixedHeadLength() const;
    // Bounded by the end of the head copy; a null position gives null.
    char* SkipSpaces(char* p);
    // The LF that ends the line at p, or NULL.
    char* FindLineEnd(char* p);
    bool Omitted(const char* pszName) const;

    char* m_pHead; // own copy of the last response head
    int m_nHeadLen;
    char* m_pMsg; // message buffer of FormatMsg; only ever grows
    int m_nMsgSize;
    char* m_pCursor; // after a parse: first byte behind the head's empty line
    char* m_pFields; // the first field line, behind the status line
    int m_nStatusCode;
    char m_szVersion[32];
    char m_szReason[256];
    int m_nMethod;
    int m_nOmit;
    char m_szUri[512];
    char m_szHost[512];
    HttpHeaderList m_lstRequestHeaders;
    HttpHeaderList m_lstResponseHeaders;
};

// Just past the first empty line of a head whose lines end in CR LF or LF
// alone, or NULL when it has not arrived. Only line ends at pFrom or later
// are tried (those before were tried already); the look back that tells an
// empty line never goes before pBegin.
const char* HttpFindHeadEnd(const char* pBegin, const char* pFrom, const char* pEnd);

#endif // HTTP_PARSE_H
