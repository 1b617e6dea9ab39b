// The template trailer, the signature's hexadecimal decoding and the key
// blob: the format code that needs no Windows API.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <string>
#include <tuple>
#include <vector>

#include "VantuToast/TemplateTrailer.h"
#include "support/Hex.h"


namespace {

bool Parse(const std::string& file, TemplateTrailerLayout& layout)
{
    return ParseTemplateTrailer(reinterpret_cast<const uint8_t*>(file.data()), static_cast<int32_t>(file.size()),
                                layout);
}

const std::string kHex =
    "00112233445566778899aabbccddeeff0f1e2d3c4b5a69788796a5b4c3d2e1f0"
    "fedcba98765432100123456789abcdef8000000000000000000000000000007f";

}  // namespace

// A 137-byte trailer when the file ends with "-->", 134 bytes otherwise (a
// line break after "-->" switches to it); shorter files are refused and
// leave the layout alone.
TEST(TemplateTrailer, LengthsAndTheCommentCloserDecideTheLayout)
{
    const std::string xml = "<toast/>";
    // The file, and its content length and signature offset (-7: refused).
    const std::tuple<std::string, int32_t, int32_t> cases[] = {
        {xml + "\n<!-- " + kHex + "-->", 8, 14},
        {xml + "\r\n\r\n" + kHex + "\r\n", 8, 12},
        {xml + "\n<!-- " + kHex + "-->\n", 8 + 137 + 1 - 134, 8 + 137 + 1 - 134 + 4},
        {std::string(134, 'x'), 0, 4},
        {std::string(134, 'x') + "-->", 0, 6},
        {std::string(133, 'x'), -7, -7},
        {std::string(131, 'x') + "-->", -7, -7},
        {std::string(133, 'x') + "-->", -7, -7},
        {"-->", -7, -7},
        {"", -7, -7},
    };
    for (const auto& [file, contentLength, signatureOffset] : cases)
    {
        TemplateTrailerLayout layout{-7, -7};
        EXPECT_EQ(contentLength != -7, Parse(file, layout)) << file.size();
        EXPECT_EQ(contentLength, layout.contentLength) << file.size();
        EXPECT_EQ(signatureOffset, layout.signatureOffset) << file.size();
    }
    TemplateTrailerLayout layout;
    EXPECT_FALSE(ParseTemplateTrailer(nullptr, 200, layout));
    EXPECT_FALSE(ParseTemplateTrailer(reinterpret_cast<const uint8_t*>(kHex.data()), -1, layout));
}

TEST(DecodeSignatureHex, DecodesPairsAsStrtolReadsThemAndRefusesShortStrings)
{
    uint8_t lower[64] = {};
    uint8_t upper[64] = {};
    ASSERT_TRUE(DecodeSignatureHex(kHex.c_str(), lower));
    const std::string upperHex = "00112233445566778899AABBCCDDEEFF0F1E2D3C4B5A69788796A5B4C3D2E1F0"
                                 "FEDCBA98765432100123456789ABCDEF8000000000000000000000000000007F";
    ASSERT_TRUE(DecodeSignatureHex((upperHex + "trailing text is ignored").c_str(), upper));
    EXPECT_EQ(kHex, testsupport::ToHex(lower, 64));
    EXPECT_EQ(0, std::memcmp(lower, upper, 64));

    // Each pair is parsed alone: white space and a sign are accepted, parsing
    // stops at the first non-digit, no digits give 0, the low 8 bits are kept.
    const std::pair<std::string, uint8_t> pairs[] = {
        {" f", 0x0F}, {"+1", 0x01}, {"-1", 0xFF}, {"zz", 0x00}, {"1z", 0x01}, {"0x", 0x00}, {"g0", 0x00}, {"Ab", 0xAB},
    };
    for (const auto& p : pairs)
    {
        uint8_t bytes[64];
        std::memset(bytes, 0x55, sizeof(bytes));
        ASSERT_TRUE(DecodeSignatureHex((p.first + std::string(126, '0')).c_str(), bytes)) << p.first;
        EXPECT_EQ(p.second, bytes[0]) << "\"" << p.first << "\"";
        EXPECT_EQ(0, bytes[63]);
    }

    // 127 characters, or a zero byte inside the 128: refused, nothing decoded
    // (SignatureUtils logs the refusal).
    uint8_t bytes[64];
    std::memset(bytes, 0x55, sizeof(bytes));
    std::string withZero = kHex;
    withZero[60] = '\0';
    for (const std::string& hex : {kHex.substr(0, 127), withZero})
        EXPECT_FALSE(DecodeSignatureHex(hex.c_str(), bytes));
    EXPECT_EQ(0x55, bytes[0]);
    EXPECT_FALSE(DecodeSignatureHex(nullptr, bytes));
    EXPECT_FALSE(DecodeSignatureHex(kHex.c_str(), nullptr));
}

// The tool's trailer, read back where the layout puts the signature (both
// forms, signed and verified: TemplateTest.OpenSslSignedFixturesVerify and the tool's tests).
TEST(TemplateTrailer, PublicKeyBlobSigningToolTrailerAndSignatureReadBack)
{
    const std::vector<uint8_t> key = testsupport::FromHex(kHex);
    uint8_t blob[kEccPublicBlobLength];
    BuildEccPublicBlob(key.data(), blob);
    EXPECT_EQ("4543533120000000", testsupport::ToHex(blob, 8)) << "ECS1 and key length 32, little-endian";
    EXPECT_EQ(0, std::memcmp(blob + 8, key.data(), 64));

    EXPECT_EQ("\n<!-- " + kHex + "-->", BuildTemplateTrailer(key.data(), true));
    const std::string plain = BuildTemplateTrailer(key.data(), false);
    EXPECT_EQ("\r\n\r\n" + kHex + "\r\n", plain);
    std::string file = "<toast/>" + plain;
    TemplateTrailerLayout layout;
    ASSERT_TRUE(Parse(file, layout));
    uint8_t signature[kSignatureLength] = {};
    ASSERT_TRUE(ReadTemplateSignature(reinterpret_cast<const uint8_t*>(file.data()), layout, signature));
    EXPECT_EQ(key, std::vector<uint8_t>(signature, signature + kSignatureLength));

    // A NUL among the signature characters ends the string early.
    file[12 + 100] = '\0';
    EXPECT_FALSE(ReadTemplateSignature(reinterpret_cast<const uint8_t*>(file.data()), layout, signature));
    EXPECT_FALSE(ReadTemplateSignature(nullptr, layout, signature));
}
