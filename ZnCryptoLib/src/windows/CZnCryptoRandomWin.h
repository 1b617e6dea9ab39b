// Random bytes from the CNG random-number provider.
#pragma once

#include <cstdint>

#include "ZnCryptoLib/src/windows/CngHandles.h"
#include "ZnCryptoLib/src/windows/ZnCryptoStatus.h"

namespace ZnCryptoLib {

class CZnCryptoRandomWin
{
public:
    CZnCryptoRandomWin() = default;
    CZnCryptoRandomWin(const CZnCryptoRandomWin&) = delete;
    CZnCryptoRandomWin& operator=(const CZnCryptoRandomWin&) = delete;
    CZnCryptoRandomWin(CZnCryptoRandomWin&&) = delete;
    CZnCryptoRandomWin& operator=(CZnCryptoRandomWin&&) = delete;
    ~CZnCryptoRandomWin() = default;

    // Opens the "RNG" provider; the object keeps it until it goes away.
    ZnStatus Initialize();
    // Fills `count` bytes of `buffer` with random bytes.
    ZnStatus GetRandomBytes(uint8_t* buffer, uint32_t count);

private:
    CngAlgorithm m_provider;
};

}  // namespace ZnCryptoLib
