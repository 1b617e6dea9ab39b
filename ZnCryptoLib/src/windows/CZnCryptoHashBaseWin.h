// Base of the CNG hash objects: owns the algorithm provider and the hash
// object, and creates hash objects and queries the block length.
#pragma once

#include <cstdint>

#include "ZnCryptoLib/src/windows/CngHandles.h"
#include "ZnCryptoLib/src/windows/ZnCryptoStatus.h"

namespace ZnCryptoLib {

class CZnCryptoHashBaseWin
{
public:
    CZnCryptoHashBaseWin() = default;
    CZnCryptoHashBaseWin(const CZnCryptoHashBaseWin&) = delete;
    CZnCryptoHashBaseWin& operator=(const CZnCryptoHashBaseWin&) = delete;

    virtual ~CZnCryptoHashBaseWin() = default;                                      // 0
    virtual ZnStatus GetHashLength(uint32_t& length) const = 0;                      // 1
    // The provider's "HashBlockLength" property, as CNG reports it.
    virtual ZnStatus GetBlockLength(uint32_t& length) const;                         // 2
    virtual ZnStatus ComputeHash(const uint8_t* data, uint32_t length, uint8_t* out) = 0;  // 3
    virtual ZnStatus AddToHash(const uint8_t* data, uint32_t length) = 0;            // 4
    virtual ZnStatus GetFinalHash(uint8_t* out) = 0;                                 // 5
    virtual bool Reset() = 0;                                                        // 6
    // Creates a hash object (keyed when a key is given) on the provider and
    // replaces the held one with it.
    virtual ZnStatus CreateHashHandle(const uint8_t* key, uint32_t keyLength);       // 7

protected:
    // Declared in this order so that the hash object is destroyed before the
    // provider it was created on.
    CngAlgorithm m_provider;
    CngHash m_hash;
};

}  // namespace ZnCryptoLib
