// Win32 side of the runtime's hashes and random bytes: the system's CNG
// (bcrypt.dll), so the DLL needs nothing beside it.
#include "oxr.h"

#include <windows.h>

#include <bcrypt.h>

namespace {

bool Ok(NTSTATUS s) {
    return s >= 0;
}

} // namespace

int OXR_Hash(int nAlgorithm, const void* pData, size_t nLen, unsigned char* pOut) {
    const wchar_t* pszAlg = nAlgorithm == OXR_HASH_MD5      ? BCRYPT_MD5_ALGORITHM
                            : nAlgorithm == OXR_HASH_SHA256 ? BCRYPT_SHA256_ALGORITHM
                                                            : nullptr;
    const ULONG nDigest = nAlgorithm == OXR_HASH_MD5 ? 16 : 32;
    if (pszAlg == nullptr || nLen > 0xffffffffu) {
        return -1;
    }
    BCRYPT_ALG_HANDLE hAlg = nullptr;
    if (!Ok(BCryptOpenAlgorithmProvider(&hAlg, pszAlg, nullptr, 0))) {
        return -1;
    }
    BCRYPT_HASH_HANDLE hHash = nullptr;
    bool bDone = Ok(BCryptCreateHash(hAlg, &hHash, nullptr, 0, nullptr, 0, 0)) &&
                 Ok(BCryptHashData(hHash, static_cast<PUCHAR>(const_cast<void*>(pData)),
                                   static_cast<ULONG>(nLen), 0)) &&
                 Ok(BCryptFinishHash(hHash, pOut, nDigest, 0));
    if (hHash != nullptr) {
        BCryptDestroyHash(hHash);
    }
    BCryptCloseAlgorithmProvider(hAlg, 0);
    return bDone ? static_cast<int>(nDigest) : -1;
}

int OXR_RandomBytes(void* pOut, size_t nLen) {
    if (nLen > 0xffffffffu) {
        return -1;
    }
    return Ok(BCryptGenRandom(nullptr, static_cast<PUCHAR>(pOut), static_cast<ULONG>(nLen),
                              BCRYPT_USE_SYSTEM_PREFERRED_RNG))
               ? 0
               : -1;
}
