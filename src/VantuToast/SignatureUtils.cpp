#include "VantuToast/SignatureUtils.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>

#include "ZnCryptoLib/src/windows/CngHandles.h"
#include "logging/Logger.h"
#include "vantu_config.h"

using ZnCryptoLib::CngAlgorithm;
using ZnCryptoLib::CngHash;
using ZnCryptoLib::CngKey;

namespace {

constexpr wchar_t kLogModule[] = L"SignatureUtils";

constexpr ULONG kDigestLength = 32;

// SHA-256 of `length` bytes; false on any provider failure.
bool Sha256(const uint8_t* data, ULONG length, uint8_t* digest)
{
    CngAlgorithm provider;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    CngHash hash;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), hash.put(), nullptr, 0, nullptr, 0, 0)))
        return false;
    if (length > 0 && !BCRYPT_SUCCESS(BCryptHashData(hash.get(), const_cast<PUCHAR>(data), length, 0)))
        return false;
    return BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, kDigestLength, 0));
}

}  // namespace

bool HexStringToBytes(const char* hex, uint8_t* bytes)
{
    if (hex != nullptr && bytes != nullptr && std::strlen(hex) < kSignatureHexLength)
    {
        VT_LOG(ERR) << "Hex string length less than required";
        return false;
    }
    return DecodeSignatureHex(hex, bytes);
}

const uint8_t TemplateSigningKey[kTemplateSigningKeyLength] = {VANTU_TEMPLATE_PUBLIC_KEY_BYTES};

bool VerifyFileSignature(const uint8_t* data, int32_t count, uint32_t* contentLength)
{
    return VerifyFileSignatureWithKey(data, count, contentLength, TemplateSigningKey);
}

bool VerifyFileSignatureWithKey(const uint8_t* data, int32_t count, uint32_t* contentLength,
                                const uint8_t* publicKey)
{
    if (data == nullptr || publicKey == nullptr)
        return false;
    TemplateTrailerLayout layout;
    if (!ParseTemplateTrailer(data, count, layout))
        return false;
    if (contentLength != nullptr)
        *contentLength = static_cast<uint32_t>(layout.contentLength);

    uint8_t digest[kDigestLength];
    if (!Sha256(data, static_cast<ULONG>(layout.contentLength), digest))
        return false;

    CngAlgorithm ecdsa;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(ecdsa.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return false;
    uint8_t blob[kEccPublicBlobLength];
    BuildEccPublicBlob(publicKey, blob);
    CngKey key;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(), blob,
                                            sizeof(blob), 0)))
        return false;

    char hex[kSignatureHexLength + 1];
    TemplateSignatureText(data, layout, hex);
    uint8_t signature[kSignatureLength] = {};
    if (!HexStringToBytes(hex, signature))
        VT_LOG(ERR) << "Unable to convert hex string into binary";

    const NTSTATUS status =
        BCryptVerifySignature(key.get(), nullptr, digest, kDigestLength, signature, kSignatureLength, 0);
    if (!BCRYPT_SUCCESS(status))
        VT_LOG(ERR) << "File Signature Verification failed";
    return BCRYPT_SUCCESS(status);
}
