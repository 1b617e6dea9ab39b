// Algorithm interfaces and the SHA-256 traits of the HMAC object.
#pragma once

#include <cstdint>

namespace ZnCryptoLib {

enum CRYPTO_HMAC_ALG_ID : uint32_t
{
    CRYPTO_HMAC_ALG_NONE = 0,
    CRYPTO_HMAC_ALG_SHA256 = 1,
};

template <typename AlgorithmId>
class IZnCryptoAlgorithm
{
public:
    virtual AlgorithmId GetAlgorithmId() const = 0;        // 0
    // The hash algorithm as CNG names it ("SHA256").
    virtual const wchar_t* GetAlgorithmName() const = 0;   // 1
    virtual ~IZnCryptoAlgorithm() = default;               // 2
};

template <typename AlgorithmId>
class IZnCryptoTraitsWin : public IZnCryptoAlgorithm<AlgorithmId>
{
public:
    virtual uint32_t GetHashLength() const = 0;            // 3
};

class ZnCryptoHmacWinTraits_sha256 : public IZnCryptoTraitsWin<CRYPTO_HMAC_ALG_ID>
{
public:
    CRYPTO_HMAC_ALG_ID GetAlgorithmId() const override { return CRYPTO_HMAC_ALG_SHA256; }
    const wchar_t* GetAlgorithmName() const override { return L"SHA256"; }
    uint32_t GetHashLength() const override { return 32; }
};

}  // namespace ZnCryptoLib
