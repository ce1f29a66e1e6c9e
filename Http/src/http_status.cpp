// The status text table and its two lookups. Kept as part of the codec;
// nothing in the library calls them.
#include "http_status.h"

#include <cstring>

#include "http_log.h"
#include "oxr_http.h"

namespace {

// Texts kept exactly as the devices' firmware has always reported them
// (docs/internals.md, kept behaviour 3).
const HttpStatusEntry kStatusTable[kHttpStatusCount] = {
    {0, "100 Continue"},
    {1, "101 Switching Protocol"},
    {2, "200 OK"},
    {3, "201 Created"},
    {4, "202 Accepted"},
    {5, "203 No-Authorizatative Information"},
    {6, "204 No Content"},
    {7, "205 Reset Content"},
    {8, "206 Partial Content"},
    {9, "300 Multiple Choice"},
    {10, "301 Moved Permanently"},
    {11, "302 Found"},
    {12, "303 See Other"},
    {13, "304 Not Modified"},
    {14, "305 Use Proxy"},
    {15, "307 Temproary Redirect"},
    {16, "400 Bad Request"},
    {17, "401 UnAuthorized"},
    {18, "402 Payment Required"},
    {19, "403 Fobbiden"},
    {20, "404 Not Found"},
    {21, "405 Method Not Allowed"},
    {22, "406 Not Acceptable"},
    {23, "407 Proxy Authorization Required"},
    {24, "408 Required Time-out"},
    {25, "409 Conflict"},
    {26, "410 Gone"},
    {27, "411 Length Required"},
    {28, "412 Precondition Failed"},
    {29, "413 Request Entity Too Large"},
    {30, "414 Request_URI Too Large"},
    {31, "415 UnSupported Media Type"},
    {32, "416 Requested Range Not Satisfiable"},
    {33, "417 Expectation Failed"},
    {34, "500 Internal Server Error"},
    {35, "501 Not Implemented"},
    {36, "502 Bad Gateway"},
    {37, "503 Service Not Unavailable"},
    {38, "504 Gateway Time-Out"},
    {39, "505 HTTP Version Not Supported"},
};

} // namespace

const char* GetStatusDesc(int nIndex) {
    if (nIndex < 0 || nIndex >= kHttpStatusCount) {
        HTTP_LOG(kLogFailure, "GetStatusDesc Return -1, IN Param is Out of Area\n");
        return nullptr;
    }
    return kStatusTable[nIndex].pszText;
}

int GetStatusDesc(const char* pszCode, int* pnErrNo) {
    if (pszCode == nullptr || std::strlen(pszCode) != 3) {
        if (pnErrNo != nullptr) {
            *pnErrNo = HTTP_ERR_STATUS;
        }
        HTTP_LOG(kLogFailure, "GetStatusDesc Return -1, IN Param is Invalid\n");
        return kHttpStatusCount;
    }
    if (pszCode[0] < '1' || pszCode[0] > '5') {
        if (pnErrNo != nullptr) {
            *pnErrNo = HTTP_ERR_STATUS;
        }
        HTTP_LOG(kLogFailure, "GetStatusDesc Return -1, IN Param is Out of Area\n");
        return kHttpStatusCount;
    }
    for (int i = 0; i < kHttpStatusCount; ++i) {
        if (std::memcmp(kStatusTable[i].pszText, pszCode, 3) == 0) {
            return i;
        }
    }
    return kHttpStatusCount;
}
