// HMAC-SHA-256 over CNG against results computed independently with
// `openssl dgst -sha256 -mac HMAC -macopt hexkey:<key>` (kept as fixtures),
// status codes and the optional log sink, and random bytes.
#include <gtest/gtest.h>

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ZnCryptoLib/src/windows/CWinError.h"
#include "ZnCryptoLib/src/windows/CZnCryptoHMACWin.h"
#include "ZnCryptoLib/src/windows/CZnCryptoRandomWin.h"
#include "ZnCryptoLib/src/windows/ZnCryptoLog.h"
#include "support/Hex.h"

using namespace ZnCryptoLib;
using testsupport::FromHex;
using testsupport::ToHex;

namespace {

const std::string kKeyCounting = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string kKey0b = "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b";
const std::string kHiThere = "278639ec02309d3afded1b273f1349ba63b9089c12476d716bee3ecc94673e9e";  // kKeyCounting
const std::string kLong = "8bf90defe8ef048a99b602849c0d7e9bea5b9ebfcf600b7595156388d304df5b";     // kKeyCounting

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// 1000 bytes i % 251: several 64-byte blocks and a partial last one.
std::vector<uint8_t> LongMessage()
{
    std::vector<uint8_t> message(1000);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<uint8_t>(i % 251);
    return message;
}

std::string Compute(CZnCryptoHMACWin& hmac, const std::vector<uint8_t>& message)
{
    uint8_t out[32] = {};
    const ZnStatus status = hmac.ComputeHash(message.empty() ? nullptr : message.data(),
                                             static_cast<uint32_t>(message.size()), out);
    EXPECT_EQ(ZN_STATUS_SUCCESS, status) << StatusName(status);
    return ToHex(out, sizeof(out));
}

class RecordingSink : public IZnCryptoLogSink
{
public:
    void Log(uint32_t level, const wchar_t* text) override { records.emplace_back(level, text); }
    std::vector<std::pair<uint32_t, std::wstring>> records;
};

}  // namespace

TEST(Hmac, MatchesIndependentResultsFor32ByteKeys)
{
    // Key, message, tag.
    const std::tuple<std::string, std::vector<uint8_t>, std::string> vectors[] = {
        // (Both keys' "Hi There" tags: IncrementalHashingAndResetKeepTheKey.)
        {kKeyCounting, LongMessage(), kLong},
        {std::string(64, 'f'), {}, "b20ae80e1d70f49e9bb56625a4c9cf02a5547bd2e2ef7cf0657e59f44cc0c017"},
    };
    for (const auto& [key, message, mac] : vectors)
    {
        SCOPED_TRACE(mac);
        CZnCryptoHMACWin hmac;
        ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(FromHex(key).data()));
        EXPECT_EQ(mac, Compute(hmac, message));
        EXPECT_EQ(mac, Compute(hmac, message)) << "the object resets itself";
    }
}

TEST(Hmac, IncrementalHashingAndResetKeepTheKey)
{
    std::vector<uint8_t> key = FromHex(kKeyCounting);
    CZnCryptoHMACWin hmac;
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(key.data()));
    std::fill(key.begin(), key.end(), 0xAA);  // the object keeps its own copy

    const std::vector<uint8_t> message = LongMessage();
    const size_t cuts[] = {0, 1, 64, 128, 999, 1000};
    for (size_t i = 0; i + 1 < std::size(cuts); ++i)
        ASSERT_EQ(ZN_STATUS_SUCCESS,
                  hmac.AddToHash(message.data() + cuts[i], static_cast<uint32_t>(cuts[i + 1] - cuts[i])));
    uint8_t out[32] = {};
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.GetFinalHash(out));
    EXPECT_EQ(kLong, ToHex(out, 32));

    // Data abandoned by Reset, or before a ComputeHash, does not leak into the next tag.
    const std::vector<uint8_t> junk = Bytes("abandoned");
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.AddToHash(junk.data(), static_cast<uint32_t>(junk.size())));
    ASSERT_TRUE(hmac.Reset());
    EXPECT_EQ(kHiThere, Compute(hmac, Bytes("Hi There")));
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.AddToHash(junk.data(), static_cast<uint32_t>(junk.size())));
    EXPECT_EQ(kHiThere, Compute(hmac, Bytes("Hi There")));

    // An empty addition is accepted and adds nothing.
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.AddToHash(nullptr, 0));
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.GetFinalHash(out));
    EXPECT_EQ("d38b42096d80f45f826b44a9d5607de72496a415d3f4a1a8c88e3bb9da8dc1cb", ToHex(out, 32));

    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(FromHex(kKey0b).data())) << "a second Initialize replaces the key";
    EXPECT_EQ("198a607eb44bfbc69903a0f1cf2bbdc5ba0aa3f3d9ae3c1c7a3b1696a0b68cf7", Compute(hmac, Bytes("Hi There")));
}

TEST(Hmac, BlockLengthIsWhatTheProviderReports)
{
    // Windows reports 64; Wine's provider lacks the property (STATUS_NOT_IMPLEMENTED).
    BCRYPT_ALG_HANDLE alg = nullptr;
    ASSERT_EQ(0, BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG));
    DWORD value = 0;
    ULONG written = 0;
    const NTSTATUS provider =
        BCryptGetProperty(alg, BCRYPT_HASH_BLOCK_LENGTH, reinterpret_cast<PUCHAR>(&value), sizeof(value), &written, 0);
    BCryptCloseAlgorithmProvider(alg, 0);
    ASSERT_TRUE(provider == 0 || provider == static_cast<NTSTATUS>(0xC0000002)) << "unexpected status " << provider;

    CZnCryptoHMACWin hmac;
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(FromHex(kKeyCounting).data()));
    uint32_t length = 0xA5A5A5A5;
    const ZnStatus status = hmac.GetBlockLength(length);
    EXPECT_EQ(provider == 0 ? ZN_STATUS_SUCCESS : ZN_STATUS_NOT_IMPLEMENTED, status) << StatusName(status);
    EXPECT_EQ(provider == 0 ? 64u : 0xA5A5A5A5u, length) << "nothing is written on failure";
}

TEST(ZnCryptoLog, FailuresReachTheInstalledSinkOnly)
{
    const auto sink = std::make_shared<RecordingSink>();
    SetLogSink(sink);
    const uint8_t key[32] = {1, 2, 3};
    CZnCryptoHMACWin hmac;
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(key));
    EXPECT_TRUE(sink->records.empty()) << "success is not logged";

    uint8_t out[32];
    EXPECT_EQ(ZN_STATUS_INVALID_STATE, hmac.GetFinalHash(out));
    CZnCryptoRandomWin random;
    EXPECT_EQ(ZN_STATUS_INVALID_STATE, random.GetRandomBytes(out, 4));
    SetLogSink(nullptr);
    EXPECT_EQ(ZN_STATUS_INVALID_STATE, hmac.GetFinalHash(out));  // records without a sink are dropped

    ASSERT_EQ(2u, sink->records.size());
    EXPECT_EQ(2u, sink->records[0].first);
    EXPECT_NE(std::wstring::npos, sink->records[0].second.find(L"STATUS_INVALID_STATE")) << sink->records[0].second;
}

TEST(ZnCryptoRandom, FillsBuffersWithFreshBytes)
{
    CZnCryptoRandomWin random;
    ASSERT_EQ(ZN_STATUS_SUCCESS, random.Initialize());
    // Two 256-bit draws that agree, or all zeros, mean the buffer was not filled.
    uint8_t first[32] = {}, second[32] = {};
    const uint8_t zeros[32] = {};
    ASSERT_EQ(ZN_STATUS_SUCCESS, random.GetRandomBytes(first, sizeof(first)));
    ASSERT_EQ(ZN_STATUS_SUCCESS, random.GetRandomBytes(second, sizeof(second)));
    EXPECT_NE(0, std::memcmp(first, second, sizeof(first)));
    EXPECT_NE(0, std::memcmp(first, zeros, sizeof(first)));

    // Twelve bytes, as the handshake salt takes, leave the rest alone.
    uint8_t salt[16];
    std::memset(salt, 0xEE, sizeof(salt));
    ASSERT_EQ(ZN_STATUS_SUCCESS, random.GetRandomBytes(salt, 12));
    EXPECT_EQ(std::vector<uint8_t>(4, 0xEE), std::vector<uint8_t>(salt + 12, salt + 16));
}
