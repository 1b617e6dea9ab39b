#include "VantuToast/TemplateTrailer.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr char kCommentCloser[] = "-->";

}  // namespace

bool ParseTemplateTrailer(const uint8_t* data, int32_t count, TemplateTrailerLayout& layout)
{
    if (data == nullptr || count < 0)
        return false;
    int32_t separator = 4;
    int32_t terminator = 2;
    if (count >= 4 && std::memcmp(data + count - 3, kCommentCloser, 3) == 0)
    {
        separator = 6;
        terminator = 3;
    }
    const int32_t trailer = separator + static_cast<int32_t>(kSignatureHexLength) + terminator;
    if (count < trailer)
        return false;
    layout.contentLength = count - trailer;
    layout.signatureOffset = layout.contentLength + separator;
    return true;
}

void TemplateSignatureText(const uint8_t* data, const TemplateTrailerLayout& layout, char* hex)
{
    std::memcpy(hex, data + layout.signatureOffset, kSignatureHexLength);
    hex[kSignatureHexLength] = '\0';
}

bool ReadTemplateSignature(const uint8_t* data, const TemplateTrailerLayout& layout, uint8_t* signature)
{
    if (data == nullptr || signature == nullptr || layout.signatureOffset < 0)
        return false;
    char hex[kSignatureHexLength + 1];
    TemplateSignatureText(data, layout, hex);
    return DecodeSignatureHex(hex, signature);
}

bool DecodeSignatureHex(const char* hex, uint8_t* bytes)
{
    if (hex == nullptr || bytes == nullptr || std::strlen(hex) < kSignatureHexLength)
        return false;
    for (size_t i = 0; i < kSignatureHexLength; i += 2)
    {
        const char pair[3] = {hex[i], hex[i + 1], '\0'};
        bytes[i / 2] = static_cast<uint8_t>(std::strtol(pair, nullptr, 16) & 0xFF);
    }
    return true;
}

void BuildEccPublicBlob(const uint8_t* publicKey, uint8_t* blob)
{
    constexpr uint32_t kMagic = 0x31534345;  // "ECS1"
    constexpr uint32_t kKeyLength = 32;
    for (int i = 0; i < 4; ++i)
    {
        blob[i] = static_cast<uint8_t>(kMagic >> (8 * i));
        blob[4 + i] = static_cast<uint8_t>(kKeyLength >> (8 * i));
    }
    std::memcpy(blob + 8, publicKey, kTemplateSigningKeyLength);
}

std::string BuildTemplateTrailer(const uint8_t* signature, bool commentForm)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string trailer = commentForm ? "\n<!-- " : "\r\n\r\n";
    for (size_t i = 0; i < kSignatureLength; ++i)
    {
        trailer.push_back(kDigits[signature[i] >> 4]);
        trailer.push_back(kDigits[signature[i] & 15]);
    }
    trailer += commentForm ? kCommentCloser : "\r\n";
    return trailer;
}
