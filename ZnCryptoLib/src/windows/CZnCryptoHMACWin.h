// Keyed HMAC over CNG. Every operation returns a ZnCryptoLib status code.
#pragma once

#include <cstdint>
#include <memory>

#include "ZnCryptoLib/src/windows/CZnCryptoHashBaseWin.h"
#include "ZnCryptoLib/src/windows/ZnCryptoAlgorithm.h"

namespace ZnCryptoLib {

class CZnCryptoHMACWin : public CZnCryptoHashBaseWin, private IZnCryptoAlgorithm<CRYPTO_HMAC_ALG_ID>
{
public:
    static constexpr uint32_t kKeyLength = 32;

    CZnCryptoHMACWin() = default;
    ~CZnCryptoHMACWin() override;
    CZnCryptoHMACWin(const CZnCryptoHMACWin&) = delete;
    CZnCryptoHMACWin& operator=(const CZnCryptoHMACWin&) = delete;
    CZnCryptoHMACWin(CZnCryptoHMACWin&&) = delete;
    CZnCryptoHMACWin& operator=(CZnCryptoHMACWin&&) = delete;

    // Opens the HMAC provider for the traits' algorithm and keys a hash object
    // with the first kKeyLength bytes of `key`.
    ZnStatus Initialize(const uint8_t* key);

    ZnStatus GetHashLength(uint32_t& length) const override;
    using CZnCryptoHashBaseWin::GetBlockLength;
    // One-shot HMAC of `length` bytes into `out` (GetHashLength bytes).
    ZnStatus ComputeHash(const uint8_t* data, uint32_t length, uint8_t* out) override;
    ZnStatus AddToHash(const uint8_t* data, uint32_t length) override;
    // Finishes into `out` (GetHashLength bytes) and resets the object, so the
    // next message can follow with the same key.
    ZnStatus GetFinalHash(uint8_t* out) override;
    // Recreates the hash object with the stored key; true on success.
    bool Reset() override;
    using CZnCryptoHashBaseWin::CreateHashHandle;

    // The algorithm of the traits (none and an empty name without traits).
    CRYPTO_HMAC_ALG_ID GetAlgorithmId() const override;
    const wchar_t* GetAlgorithmName() const override;

private:
    void WipeKey();

    bool m_dataAdded = false;
    std::unique_ptr<ZnCryptoHmacWinTraits_sha256> m_traits;
    std::unique_ptr<uint8_t[]> m_key;  // kKeyLength bytes, wiped before release
};

}  // namespace ZnCryptoLib
