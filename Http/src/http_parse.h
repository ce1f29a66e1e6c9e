// The message codec: request and response header lists, the request
// formatter and the response head parser.
#ifndef HTTP_PARSE_H
#define HTTP_PARSE_H

#include <list>

// One header field; the record and both texts belong to the list holding it.
struct HttpHeader {
    char* pszName; // as first given, without the colon
    char* pszValue;
};

typedef std::list<HttpHeader*> HttpHeaderList;

// Size of the work areas for the request head and for each of its lines.
const int kHttpWorkAreaSize = 16384;

class CHttpParser {
public:
    CHttpParser();
    ~CHttpParser();
    CHttpParser(const CHttpParser&) = delete;
    CHttpParser& operator=(const CHttpParser&) = delete;

    // ---- header lists
    // Adds a request header, or replaces the value of one with the same name
    // (case ignored). 0, or -1 with the error number set.
    int AddHeader(const char* pszName, const char* pszValue);
    // Removes a request header; always 0.
    int RemoveHeader(const char* pszName);
    // First record of the list whose name equals pszName ignoring case, or NULL.
    HttpHeader* FindHeader(const char* pszName, HttpHeaderList& lst);
    // Value of the first response header of that name, or NULL.
    const char* GetResponseHeader(const char* pszName);
    void ClearHeaders(HttpHeaderList& lst);
    void ClearRequestHeaders();

    // ---- request formatter
    void SetRequestLine(int nMethod, const char* pszUri);
    void SetHost(const char* pszHost);
    static const char* GetMethodName(int nMethod);
    // Builds head and body into the message buffer; stores its length in
    // *pnMsgLen and returns the buffer, or NULL (length 0) on failure.
    char* FormatMsg(int* pnMsgLen, const char* pBody, int nBodyLen);

    // ---- response parser
    // Parses a response head (status line to the empty line). 0 when the head
    // was accepted (status below 400), -1 otherwise.
    int ParseMsg(const char* pHead, int nHeadLen);
    int ParseStartLine();
    int ParseHeaders();
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
    // Bounded by the end of the head copy; a null position gives null.
    char* SkipSpaces(char* p, char** ppOut);
    char* FindLineEnd(char* p, char** ppOut);

    char* m_pHead; // own copy of the last response head
    int m_nHeadLen;
    char* m_pMsg; // message buffer of FormatMsg; only ever grows
    int m_nMsgSize;
    char* m_pCursor; // after a parse: first byte behind the head's empty line
    int m_nStatusCode;
    char m_szVersion[32];
    char m_szReason[256];
    int m_nMethod;
    char m_szUri[512];
    char m_szHost[512];
    HttpHeaderList m_lstRequestHeaders;
    HttpHeaderList m_lstResponseHeaders;
};

#endif // HTTP_PARSE_H
