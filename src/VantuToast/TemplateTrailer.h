// Signed toast templates: the trailer layout, the signature's hexadecimal
// form and the public key blob. Plain C++, no Windows headers, no logging:
// SignatureUtils logs what these report.
//
// A template is UTF-8 toast XML followed by a trailer:
//   comment form (137 bytes): separator 6, signature 128 hex chars, "-->"
//   plain form   (134 bytes): separator 4, signature 128 hex chars, terminator 2
// The comment form is recognised by the file's last three bytes being "-->".
// The signature is ECDSA P-256 over the SHA-256 digest of the XML: r then s,
// 32 bytes each, big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kSignatureHexLength = 128;
constexpr size_t kSignatureLength = 64;
constexpr size_t kTemplateSigningKeyLength = 64;  // X then Y, big-endian
constexpr size_t kEccPublicBlobLength = 72;
constexpr int32_t kCommentTrailerLength = 137;
constexpr int32_t kPlainTrailerLength = 134;

struct TemplateTrailerLayout
{
    int32_t contentLength = 0;    // bytes of XML before the trailer
    int32_t signatureOffset = 0;  // first of the 128 signature characters
};

// Locates the trailer of a template of `count` bytes. False when `data` is
// null or the file is shorter than its trailer.
bool ParseTemplateTrailer(const uint8_t* data, int32_t count, TemplateTrailerLayout& layout);

// The 128 signature characters of a template whose trailer `layout` located,
// zero-terminated in `hex` (kSignatureHexLength + 1 characters); a zero byte
// among them ends the string early.
void TemplateSignatureText(const uint8_t* data, const TemplateTrailerLayout& layout, char* hex);

// Decodes the first 128 characters of a zero-terminated string into 64 bytes,
// two characters per byte read as the C library's strtol reads base 16
// (characters that are not hexadecimal digits are not rejected here; they
// give other bytes). False when the string is shorter or a pointer is null;
// nothing is logged here (HexStringToBytes logs).
bool DecodeSignatureHex(const char* hex, uint8_t* bytes);

// Both steps: the 64 signature bytes of a template, or false.
bool ReadTemplateSignature(const uint8_t* data, const TemplateTrailerLayout& layout, uint8_t* signature);

// The operating system's ECCPUBLICBLOB for a P-256 public key: magic
// 0x31534345 and key length 32 (little-endian), then X and Y.
void BuildEccPublicBlob(const uint8_t* publicKey, uint8_t* blob);

// The trailer the signing tool appends: comment form "\n<!-- " signature
// "-->", which keeps the file well-formed XML, or the plain form "\r\n\r\n"
// signature "\r\n". The signature is written in lower-case hexadecimal.
std::string BuildTemplateTrailer(const uint8_t* signature, bool commentForm);
