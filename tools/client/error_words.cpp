#include "error_words.h"

#include "oxr_http.h"

std::string ErrorInWords(int nErrNo) {
    struct Entry {
        int nCode;
        const char* pszName;
        const char* pszText;
    };
    static const Entry kEntries[] = {
        {HTTP_ERR_NONE, "HTTP_ERR_NONE", "no error recorded"},
        {HTTP_ERR_NO_MEMORY, "HTTP_ERR_NO_MEMORY", "out of memory for a header"},
        {HTTP_ERR_BAD_PARAM, "HTTP_ERR_BAD_PARAM", "header name or value missing or invalid"},
        {HTTP_ERR_INFO_TYPE, "HTTP_ERR_INFO_TYPE", "information by type is not available"},
        {HTTP_ERR_BAD_URL, "HTTP_ERR_BAD_URL", "the URL could not be split"},
        {HTTP_ERR_CONNECT, "HTTP_ERR_CONNECT",
         "host not resolved, or no connection within the time-out"},
        {HTTP_ERR_SOCKET, "HTTP_ERR_SOCKET",
         "unsupported address family, no socket, or sending failed"},
        {HTTP_ERR_NO_SESSION, "HTTP_ERR_NO_SESSION", "no session under that handle"},
        {HTTP_ERR_STATUS, "HTTP_ERR_STATUS", "malformed status line in the response"},
    };
    for (const Entry& e : kEntries) {
        if (e.nCode == nErrNo) {
            return std::string(e.pszName) + " (" + std::to_string(nErrNo) + "): " + e.pszText;
        }
    }
    return "unknown error number " + std::to_string(nErrNo);
}
