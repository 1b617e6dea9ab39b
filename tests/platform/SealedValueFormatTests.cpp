// The sealed value layout, its cipher and MD5, without the registry. The
// expected bytes were computed once by a separate implementation (Python's
// hashlib and a plain RC4) and are kept here as fixtures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "platform/Md5.h"
#include "platform/SealedValue.h"
#include "support/Hex.h"

using namespace Groundwork;
using testsupport::FromHex;
using testsupport::ToHex;

namespace {

const std::string kFixtureKey = "{00112233-4455-6677-8899-AABBCCDDEEFF}";

const uint8_t* KeyBytes(const std::string& key)
{
    return reinterpret_cast<const uint8_t*>(key.data());
}

std::string Md5Hex(const std::string& text)
{
    uint8_t digest[Md5::kDigestSize];
    Md5Digest(text.data(), text.size(), digest);
    return ToHex(digest, sizeof(digest));
}

std::vector<uint8_t> Seal(const std::string& key, uint32_t type, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> sealed(SealedSize(payload.size()));
    EXPECT_EQ(SealStatus::Ok, SealValue(KeyBytes(key), key.size(), type, payload.data(),
                                        static_cast<uint32_t>(payload.size()), sealed.data()));
    return sealed;
}

void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Recomputes the digest so that only the field under test is wrong.
void Redigest(std::vector<uint8_t>& sealed)
{
    std::memset(sealed.data() + 16, 0, 16);
    uint8_t digest[16];
    Md5Digest(sealed.data(), sealed.size(), digest);
    std::memcpy(sealed.data() + 16, digest, 16);
}

SealStatus Open(const std::vector<uint8_t>& sealed)
{
    uint32_t type = 0;
    uint32_t length = 0;
    std::vector<uint8_t> payload(sealed.size());
    return OpenSealedValue(KeyBytes(kFixtureKey), kFixtureKey.size(), sealed.data(), sealed.size(), &type,
                           &length, payload.data(), payload.size());
}

}  // namespace

TEST(Md5, Rfc1321TestSuiteAndBlockBoundaries)
{
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Md5Hex(""));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Md5Hex("abc"));
    EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
              Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"));

    // Padding spills into a second block from 56 bytes on.
    const std::pair<size_t, const char*> boundaries[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"},  {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {120, "5f61c0ccad4cac44c75ff505e1f1e537"}, {128, "e510683b3f5ffe4093d021808bc6ff70"},
    };
    for (const auto& b : boundaries)
        EXPECT_EQ(b.second, Md5Hex(std::string(b.first, 'a'))) << b.first;

    // Fed in uneven pieces, the digest is that of the whole.
    std::vector<uint8_t> data(1000);
    std::iota(data.begin(), data.end(), uint8_t{0});  // wrapping at 256
    for (size_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 999u})
    {
        Md5 md5;
        for (size_t pos = 0; pos < data.size(); pos += piece)
            md5.Update(data.data() + pos, std::min(piece, data.size() - pos));
        md5.Update(nullptr, 0);
        uint8_t digest[16];
        md5.Final(digest);
        EXPECT_EQ("cbecbdb0fdd5cec1e242493b6008cc79", ToHex(digest, 16)) << piece;
    }
}

TEST(SealedValue, MatchesIndependentlyComputedBytes)
{
    const std::string pipe = "\\\\.\\pipe\\Zelnor-Sm\xC3\xA9";
    std::vector<uint8_t> payload(pipe.begin(), pipe.end());
    payload.push_back(0);
    const std::string fixture =
        "5a4e52470100000015000000010000001f930ca34c166c7af1eeb73ed836dd7d4f29e8aa5529c9c988a75a8269b923d7f95de9a4f3";
    EXPECT_EQ(fixture, ToHex(Seal(kFixtureKey, 1, payload)));
    EXPECT_EQ("5a4e5247010000000400000004000000351f1af13578cd083c63c1c0a235cca3a2fa9ada",
              ToHex(Seal(kFixtureKey, 4, FromHex("efbeadde"))));
    EXPECT_EQ("5a4e52470100000000000000030000002b129170d6afaf42348c637027e96485", ToHex(Seal(kFixtureKey, 3, {})));

    // And the fixture opens to its payload and type.
    const std::vector<uint8_t> sealed = FromHex(fixture);
    uint32_t type = 0;
    uint32_t length = 0;
    std::vector<uint8_t> opened(payload.size());
    ASSERT_EQ(SealStatus::Ok, OpenSealedValue(KeyBytes(kFixtureKey), kFixtureKey.size(), sealed.data(), sealed.size(),
                                              &type, &length, opened.data(), opened.size()));
    EXPECT_EQ(1u, type);
    EXPECT_EQ(payload.size(), length);
    EXPECT_EQ(payload, opened);
}

TEST(SealedValue, EveryAlteredByteOrFieldIsRefused)
{
    const std::vector<uint8_t> sealed = Seal(kFixtureKey, 1, {'a', 'b', 'c', 0});
    ASSERT_EQ(SealStatus::Ok, Open(sealed));
    for (size_t i = 0; i < sealed.size(); ++i)
    {
        for (uint8_t flip : {0x01, 0x80})
        {
            std::vector<uint8_t> tampered = sealed;
            tampered[i] ^= flip;
            EXPECT_EQ(SealStatus::Malformed, Open(tampered)) << "byte " << i;
        }
    }

    // Fields that are wrong under a correct digest.
    std::vector<uint8_t> badMagic = sealed;
    badMagic[0] = 'X';
    Redigest(badMagic);
    EXPECT_EQ(SealStatus::Malformed, Open(badMagic));
    for (uint32_t wrongLength : {3u, 5u, 0u, 0xFFFFFFFFu})
    {
        std::vector<uint8_t> badLength = sealed;
        PutU32(badLength, 8, wrongLength);
        Redigest(badLength);
        EXPECT_EQ(SealStatus::Malformed, Open(badLength)) << wrongLength;
    }
    // Truncated or extended values, digest recomputed.
    std::vector<uint8_t> truncated(sealed.begin(), sealed.end() - 1);
    Redigest(truncated);
    EXPECT_EQ(SealStatus::Malformed, Open(truncated));
    std::vector<uint8_t> extended = sealed;
    extended.push_back(0);
    Redigest(extended);
    EXPECT_EQ(SealStatus::Malformed, Open(extended));
    // Too short to hold a header at all.
    for (size_t n : {0u, 1u, 31u})
        EXPECT_EQ(SealStatus::Malformed, Open(std::vector<uint8_t>(sealed.begin(), sealed.begin() + n))) << n;

    // The version field is not checked: another writer's version still opens.
    std::vector<uint8_t> otherVersion = sealed;
    PutU32(otherVersion, 4, 7);
    Redigest(otherVersion);
    EXPECT_EQ(SealStatus::Ok, Open(otherVersion));
}

TEST(SealedValue, SmallBufferReportsTypeAndLength)
{
    const std::vector<uint8_t> sealed = Seal(kFixtureKey, 7, {'x', 0, 'y', 0, 0});
    uint32_t type = 0;
    uint32_t length = 0;
    uint8_t small[4] = {0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(SealStatus::BufferTooSmall, OpenSealedValue(KeyBytes(kFixtureKey), kFixtureKey.size(), sealed.data(),
                                                          sealed.size(), &type, &length, small, sizeof(small)));
    EXPECT_EQ(7u, type);
    EXPECT_EQ(5u, length);
    EXPECT_EQ(0x55, small[0]) << "nothing is written into a buffer that is too small";
    // (Without a buffer: every sealed registry read measures first.)
}

TEST(ValueCipher, NeedsAKey)
{
    // Its bytes are pinned by the sealed fixtures above; a long value's round
    // trip is RegistryTest.TypedValuesRoundTripThroughBothKeys.
    uint8_t byte = 0;
    EXPECT_FALSE(ValueCipher(nullptr, 0).Encipher(&byte, &byte, 1));
    EXPECT_FALSE(ValueCipher(KeyBytes(kFixtureKey), 0).Decipher(&byte, &byte, 1));
}
