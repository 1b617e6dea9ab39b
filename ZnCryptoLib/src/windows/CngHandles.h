// Single owners for CNG handles: algorithm providers, hash objects and keys.
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include "base/UniqueAny.h"

namespace ZnCryptoLib {

inline void CloseAlgorithmProvider(BCRYPT_ALG_HANDLE handle)
{
    BCryptCloseAlgorithmProvider(handle, 0);
}

inline void DestroyHash(BCRYPT_HASH_HANDLE handle)
{
    BCryptDestroyHash(handle);
}

inline void DestroyKey(BCRYPT_KEY_HANDLE handle)
{
    BCryptDestroyKey(handle);
}

using CngAlgorithm = Groundwork::UniqueNull<BCRYPT_ALG_HANDLE, CloseAlgorithmProvider>;
using CngHash = Groundwork::UniqueNull<BCRYPT_HASH_HANDLE, DestroyHash>;
using CngKey = Groundwork::UniqueNull<BCRYPT_KEY_HANDLE, DestroyKey>;

}  // namespace ZnCryptoLib
