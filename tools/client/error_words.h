// The library's error numbers in words.
#ifndef OXR_CLI_ERROR_WORDS_H
#define OXR_CLI_ERROR_WORDS_H

#include <string>

// "HTTP_ERR_CONNECT (-9): host not resolved, ..." from the header's OXR_HTTP_ERROR_TABLE
std::string ErrorInWords(int nErrNo);

#endif
