// The library's error numbers in words.
#ifndef OXR_CLI_ERROR_WORDS_H
#define OXR_CLI_ERROR_WORDS_H

#include <string>

// "HTTP_ERR_CONNECT (-9): host not resolved, or no connection within the time-out"
std::string ErrorInWords(int nErrNo);

#endif
