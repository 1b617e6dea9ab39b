// Status codes and names, the optional log sink, and random bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ZnCryptoLib/src/windows/CWinError.h"
#include "ZnCryptoLib/src/windows/CZnCryptoHMACWin.h"
#include "ZnCryptoLib/src/windows/CZnCryptoRandomWin.h"
#include "ZnCryptoLib/src/windows/ZnCryptoLog.h"

using namespace ZnCryptoLib;

namespace {

class RecordingSink : public IZnCryptoLogSink
{
public:
    void Log(uint32_t level, const wchar_t* text) override { records.emplace_back(level, text); }
    std::vector<std::pair<uint32_t, std::wstring>> records;
};

// Installs a sink for one test and removes it afterwards.
class ZnCryptoLogTest : public ::testing::Test
{
protected:
    void SetUp() override { SetLogSink(sink); }
    void TearDown() override { SetLogSink(nullptr); }
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
};

}  // namespace

TEST_F(ZnCryptoLogTest, FailuresReachTheInstalledSinkOnly)
{
    const uint8_t key[32] = {1, 2, 3};
    CZnCryptoHMACWin hmac;
    ASSERT_EQ(ZN_STATUS_SUCCESS, hmac.Initialize(key));
    EXPECT_TRUE(sink->records.empty()) << "success is not logged";

    uint8_t out[32];
    ASSERT_EQ(ZN_STATUS_INVALID_STATE, hmac.GetFinalHash(out));
    ASSERT_EQ(1u, sink->records.size());
    EXPECT_EQ(2u, sink->records[0].first);
    const std::wstring& text = sink->records[0].second;
    EXPECT_EQ(0u, text.find(L"[")) << text;
    EXPECT_NE(std::wstring::npos, text.find(L"CZnCryptoHMACWin.cpp:(")) << text;
    EXPECT_NE(std::wstring::npos,
              text.find(L")][ZnCryptoLib::CZnCryptoHMACWin::GetFinalHash] STATUS_INVALID_STATE: "
                        L"No data was added to hash"))
        << text;

    CZnCryptoRandomWin random;
    uint8_t bytes[4];
    EXPECT_EQ(ZN_STATUS_INVALID_STATE, random.GetRandomBytes(bytes, sizeof(bytes)));
    ASSERT_EQ(2u, sink->records.size());
    EXPECT_NE(std::wstring::npos,
              sink->records[1].second.find(L"STATUS_INVALID_STATE: Error trying to Initialize default CZnCryptoRandomWin"))
        << sink->records[1].second;

    SetLogSink(nullptr);
    EXPECT_EQ(ZN_STATUS_INVALID_STATE, hmac.GetFinalHash(out));
    EXPECT_EQ(2u, sink->records.size()) << "records without a sink are dropped";
}

TEST(ZnCryptoRandom, FillsBuffersWithFreshBytes)
{
    CZnCryptoRandomWin random;
    ASSERT_EQ(ZN_STATUS_SUCCESS, random.Initialize());

    uint8_t first[32] = {};
    uint8_t second[32] = {};
    ASSERT_EQ(ZN_STATUS_SUCCESS, random.GetRandomBytes(first, sizeof(first)));
    ASSERT_EQ(ZN_STATUS_SUCCESS, random.GetRandomBytes(second, sizeof(second)));
    // Two 256-bit draws that agree, or a draw of all zeros, mean the buffer
    // was not filled.
    const uint8_t zeros[32] = {};
    EXPECT_NE(0, std::memcmp(first, second, sizeof(first)));
    EXPECT_NE(0, std::memcmp(first, zeros, sizeof(first)));

    // Twelve bytes, as the handshake salt takes, leave the rest alone.
    uint8_t salt[16];
    std::memset(salt, 0xEE, sizeof(salt));
    ASSERT_EQ(ZN_STATUS_SUCCESS, random.GetRandomBytes(salt, 12));
    for (int i = 12; i < 16; ++i)
        EXPECT_EQ(0xEE, salt[i]);

    EXPECT_EQ(ZN_STATUS_SUCCESS, random.GetRandomBytes(nullptr, 0));
    EXPECT_EQ(ZN_STATUS_INVALID_PARAMETER, random.GetRandomBytes(nullptr, 12));
}
