// POSIX side of the runtime's hashes and random bytes: OpenSSL's libcrypto,
// linked into the library privately (none of its symbols is exported).
#include "oxr.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

int OXR_Hash(int nAlgorithm, const void* pData, size_t nLen, unsigned char* pOut) {
    const EVP_MD* pMd = nAlgorithm == OXR_HASH_MD5      ? EVP_md5()
                        : nAlgorithm == OXR_HASH_SHA256 ? EVP_sha256()
                                                        : nullptr;
    unsigned int nOut = 0;
    if (pMd == nullptr || EVP_Digest(pData, nLen, pOut, &nOut, pMd, nullptr) != 1) {
        return -1;
    }
    return static_cast<int>(nOut);
}

int OXR_RandomBytes(void* pOut, size_t nLen) {
    if (nLen > 0x7fffffff) {
        return -1;
    }
    return RAND_bytes(static_cast<unsigned char*>(pOut), static_cast<int>(nLen)) == 1 ? 0 : -1;
}
