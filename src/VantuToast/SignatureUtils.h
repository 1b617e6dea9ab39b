// Verification of signed toast templates over CNG: ECDSA P-256 on the
// SHA-256 digest of the XML, with the product's template-signing key.
#pragma once

#include <cstdint>

#include "VantuToast/TemplateTrailer.h"

// The public key that verifies template signatures: X then Y of the P-256
// point, big-endian (build setting VANTU_TEMPLATE_PUBLIC_KEY).
extern const uint8_t TemplateSigningKey[kTemplateSigningKeyLength];

// True when the trailing signature of `count` bytes of template verifies with
// TemplateSigningKey. `contentLength` (may be null) receives the length of the
// XML as soon as the trailer is located, also when verification then fails.
bool VerifyFileSignature(const uint8_t* data, int32_t count, uint32_t* contentLength);

// The same check against another public key (64 bytes, X then Y).
bool VerifyFileSignatureWithKey(const uint8_t* data, int32_t count, uint32_t* contentLength,
                                const uint8_t* publicKey);

// DecodeSignatureHex, logging "Hex string length less than required" when the
// string is shorter than 128 characters.
bool HexStringToBytes(const char* hex, uint8_t* bytes);
