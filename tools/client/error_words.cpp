#include "error_words.h"

#include "oxr_http.h"

std::string ErrorInWords(int nErrNo) {
    struct Entry {
        int nCode;
        const char* pszName;
        const char* pszText;
    };
#define OXR_CLI_ERROR_ENTRY(name, text) {name, #name, text},
    static const Entry kEntries[] = {OXR_HTTP_ERROR_TABLE(OXR_CLI_ERROR_ENTRY)};
#undef OXR_CLI_ERROR_ENTRY
    for (const Entry& e : kEntries) {
        if (e.nCode == nErrNo) {
            return std::string(e.pszName) + " (" + std::to_string(nErrNo) + "): " + e.pszText;
        }
    }
    return "unknown error number " + std::to_string(nErrNo);
}
