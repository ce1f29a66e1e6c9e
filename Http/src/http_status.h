// Table of the HTTP status codes the codec knows, with their texts. Part of
// the codec's interface although nothing in the library looks codes up.
#ifndef HTTP_STATUS_H
#define HTTP_STATUS_H

struct HttpStatusEntry {
    int nIndex;
    const char* pszText; // three-digit code, a blank, the phrase
};

const int kHttpStatusCount = 40; // a lookup by code that finds no row returns this

// Text of the row at nIndex (0 to 39), or NULL.
const char* GetStatusDesc(int nIndex);
// Position of the row whose text starts with the three-character code, or
// 40. A malformed code (not three characters, first one not 1 to 5) also
// stores HTTP_ERR_STATUS in *pnErrNo when that is given.
int GetStatusDesc(const char* pszCode, int* pnErrNo = nullptr);

#endif // HTTP_STATUS_H
