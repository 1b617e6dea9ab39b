// HMAC-SHA-256 over CNG against results computed independently with
// `openssl dgst -sha256 -mac HMAC -macopt hexkey:<key>` (kept as fixtures).
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include <windows.h>

#include <bcrypt.h>

#include "ZnCryptoLib/src/windows/CZnCryptoHMACWin.h"
#include "support/Hex.h"

using namespace ZnCryptoLib;
using testsupport::FromHex;
using testsupport::ToHex;

namespace {

const std::string kKeyCounting = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string kKey0b = "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b";
const std::string kKeyFf = "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
const std::string kKeyMixed = "4a656665c0ffee00112233445566778899aabbccddeeff0f1e2d3c4b5a697887";

std::vector<uint8_t> Bytes(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

// 1000 bytes i % 251: spans several 64-byte blocks with a partial last one.
std::vector<uint8_t> LongMessage()
{
    std::vector<uint8_t> message(1000);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<uint8_t>(i % 251);
    return message;
}

// Exactly one SHA-256 block: (i * 7 + 3) mod 256.
std::vector<uint8_t> BlockMessage()
{
    std::vector<uint8_t> message(64);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<uint8_t>(i * 7 + 3);
    return message;
}

struct Vector
{
    std::string key;
    std::vector<uint8_t> message;
    std::string mac;
};

std::vector<Vector> PublishedVectors()
{
    return {
        {kKeyCounting, Bytes("The quick brown fox jumps over the lazy dog"),
         "f87ad256151fc7b4c5dffa4adb3ebe911a8eeb8a8ebdee3c2a4a8e5f5ec02c32"},
        {kKey0b, Bytes("Hi There"), "198a607eb44bfbc69903a0f1cf2bbdc5ba0aa3f3d9ae3c1c7a3b1696a0b68cf7"},
        {kKeyCounting, Bytes("Hi There"), "278639ec02309d3afded1b273f1349ba63b9089c12476d716bee3ecc94673e9e"},
        {kKeyCounting, LongMessage(), "8bf90defe8ef048a99b602849c0d7e9bea5b9ebfcf600b7595156388d304df5b"},
        {kKeyMixed, BlockMessage(), "e67c20e56cba18da821b8188755d289352c7b5f42651adc20f5972f21b983ed5"},
        {kKeyFf, {}, "b20ae80e1d70f49e9bb56625a4c9cf02a5547bd2e2ef7cf0657e59f44cc0c017"},
    };
}

std::string Compute(CZnCryptoHMACWin& hmac, const std::vector<uint8_t>& message)
{
    uint8_t out[32] = {};
    const ZnStatus status = hmac.ComputeHash(message.empty() ? nullptr : message.data(),
                                             static_cast<uint32_t>(message.size()), out);
    EXPECT_EQ(ZN_STATUS_SUCCESS, status) << StatusName(status);
    return ToHex(out, sizeof(out));
}

}  // namespace

TEST(Hmac, MatchesIndependentResultsFor32ByteKeys)
{
    for (const Vector& v : PublishedVectors())
    {
        SCOPED_TRACE(v.mac);
        CZnCryptoHMACWin hmac;
        ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(FromHex(v.key).data()));
        EXPECT_EQ(v.mac, Compute(hmac, v.message));
        // The object resets itself: the same message again gives the same tag.
        EXPECT_EQ(v.mac, Compute(hmac, v.message));
    }
}

TEST(Hmac, IncrementalHashingAndResetKeepTheKey)
{
    std::vector<uint8_t> key = FromHex(kKeyCounting);
    CZnCryptoHMACWin hmac;
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(key.data()));
    // The object keeps its own copy of the key.
    std::fill(key.begin(), key.end(), 0xAA);

    const std::vector<uint8_t> message = LongMessage();
    const size_t cuts[] = {0, 1, 64, 128, 999, 1000};
    for (size_t i = 0; i + 1 < std::size(cuts); ++i)
    {
        ASSERT_EQ(ZN_STATUS_SUCCESS,
                  hmac.AddToHash(message.data() + cuts[i], static_cast<uint32_t>(cuts[i + 1] - cuts[i])));
    }
    uint8_t out[32] = {};
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.GetFinalHash(out));
    EXPECT_EQ("8bf90defe8ef048a99b602849c0d7e9bea5b9ebfcf600b7595156388d304df5b", ToHex(out, 32));

    // Data added and then abandoned by Reset does not leak into the next tag.
    const std::vector<uint8_t> junk = Bytes("abandoned");
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.AddToHash(junk.data(), static_cast<uint32_t>(junk.size())));
    ASSERT_TRUE(hmac.Reset());
    EXPECT_EQ("278639ec02309d3afded1b273f1349ba63b9089c12476d716bee3ecc94673e9e", Compute(hmac, Bytes("Hi There")));

    // ComputeHash after a partial AddToHash starts from a clean object.
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.AddToHash(junk.data(), static_cast<uint32_t>(junk.size())));
    EXPECT_EQ("278639ec02309d3afded1b273f1349ba63b9089c12476d716bee3ecc94673e9e", Compute(hmac, Bytes("Hi There")));

    // An empty addition is accepted and adds nothing.
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.AddToHash(nullptr, 0));
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.GetFinalHash(out));
    EXPECT_EQ("d38b42096d80f45f826b44a9d5607de72496a415d3f4a1a8c88e3bb9da8dc1cb", ToHex(out, 32));

    // A second Initialize replaces the key.
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(FromHex(kKey0b).data()));
    EXPECT_EQ("198a607eb44bfbc69903a0f1cf2bbdc5ba0aa3f3d9ae3c1c7a3b1696a0b68cf7", Compute(hmac, Bytes("Hi There")));
}

TEST(Hmac, StateAndArgumentChecks)
{
    const std::vector<uint8_t> data = Bytes("payload");
    uint8_t out[32] = {};
    uint32_t length = 0;

    CZnCryptoHMACWin fresh;
    EXPECT_EQ(ZN_STATUS_INVALID_STATE, fresh.AddToHash(data.data(), 7));
    EXPECT_EQ(ZN_STATUS_INVALID_STATE, fresh.ComputeHash(data.data(), 7, out));
    EXPECT_EQ(ZN_STATUS_INVALID_STATE, fresh.GetFinalHash(out));
    EXPECT_EQ(ZN_STATUS_INVALID_STATE, fresh.GetBlockLength(length));
    EXPECT_EQ(ZN_STATUS_NO_MEMORY, fresh.GetHashLength(length));
    EXPECT_FALSE(fresh.Reset());
    EXPECT_EQ(CRYPTO_HMAC_ALG_NONE, fresh.GetAlgorithmId());
    EXPECT_STREQ(L"", fresh.GetAlgorithmName());
    EXPECT_EQ(ZN_STATUS_INVALID_PARAMETER, fresh.Initialize(nullptr));

    CZnCryptoHMACWin hmac;
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(FromHex(kKeyCounting).data()));
    EXPECT_EQ(ZN_STATUS_INVALID_STATE, hmac.GetFinalHash(out)) << "nothing was added yet";
    EXPECT_EQ(ZN_STATUS_INVALID_PARAMETER, hmac.AddToHash(data.data(), 0));
    EXPECT_EQ(ZN_STATUS_INVALID_PARAMETER, hmac.AddToHash(nullptr, 7));
    EXPECT_EQ(ZN_STATUS_INVALID_PARAMETER, hmac.ComputeHash(data.data(), 0, out));
    EXPECT_EQ(ZN_STATUS_INVALID_PARAMETER, hmac.ComputeHash(data.data(), 7, nullptr));
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.AddToHash(data.data(), 7));
    EXPECT_EQ(ZN_STATUS_INVALID_PARAMETER, hmac.GetFinalHash(nullptr));

    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.GetHashLength(length));
    EXPECT_EQ(32u, length);
    EXPECT_EQ(CRYPTO_HMAC_ALG_SHA256, hmac.GetAlgorithmId());
    EXPECT_STREQ(L"SHA256", hmac.GetAlgorithmName());
}

TEST(Hmac, BlockLengthIsWhatTheProviderReports)
{
    // Asked of CNG directly: Windows reports 64; Wine's provider lacks the
    // property and says STATUS_NOT_IMPLEMENTED.
    BCRYPT_ALG_HANDLE alg = nullptr;
    ASSERT_EQ(0, BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG));
    DWORD value = 0;
    ULONG written = 0;
    const NTSTATUS provider =
        BCryptGetProperty(alg, BCRYPT_HASH_BLOCK_LENGTH, reinterpret_cast<PUCHAR>(&value), sizeof(value), &written, 0);
    BCryptCloseAlgorithmProvider(alg, 0);

    CZnCryptoHMACWin hmac;
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(FromHex(kKeyCounting).data()));
    uint32_t length = 0xA5A5A5A5;
    const ZnStatus status = hmac.GetBlockLength(length);
    if (provider == 0)
    {
        EXPECT_EQ(ZN_STATUS_SUCCESS, status);
        EXPECT_EQ(64u, length);
    }
    else
    {
        ASSERT_EQ(static_cast<NTSTATUS>(0xC0000002), provider) << "an unexpected provider status";
        EXPECT_EQ(ZN_STATUS_NOT_IMPLEMENTED, status) << StatusName(status);
        EXPECT_EQ(0xA5A5A5A5u, length) << "nothing is written on failure";
    }
}
