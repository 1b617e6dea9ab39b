// Sealed values in the real registry: every typed operation of CRegKey
// through CObfuscatedRegKey, the stored bytes checked against the sealed
// layout under the configured key (the layout itself is pinned by fixed
// vectors in SealedValueFormatTests), and values that must be refused.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/CObfuscatedRegKey.h"
#include "platform/CRegKey.h"
#include "platform/SealedValue.h"
#include "vantu_config.h"

using Groundwork::CObfuscatedRegKey;
using Groundwork::CRegKey;

namespace {

std::vector<uint8_t> Sealed(uint32_t type, const std::vector<uint8_t>& payload)
{
    const std::string key = VANTU_SEALING_KEY;
    std::vector<uint8_t> value(Groundwork::SealedSize(payload.size()));
    EXPECT_EQ(Groundwork::SealStatus::Ok,
              Groundwork::SealValue(reinterpret_cast<const uint8_t*>(key.data()), key.size(), type, payload.data(),
                                    static_cast<uint32_t>(payload.size()), value.data()));
    return value;
}

// --- Fixture: a private key under HKCU, removed afterwards ----------------

class ObfuscatedRegKeyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->name()) + "-" + std::to_string(GetCurrentProcessId());
        m_path = L"Software\\VantuToastTests\\Sealed-" + std::wstring(name.begin(), name.end());
        ASSERT_EQ(ERROR_SUCCESS, plain.Create(HKEY_CURRENT_USER, m_path.c_str()));
        ASSERT_EQ(ERROR_SUCCESS, sealed.Open(HKEY_CURRENT_USER, m_path.c_str()));
    }
    void TearDown() override
    {
        sealed.Close();
        plain.Close();
        RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    }

    std::vector<uint8_t> Raw(const wchar_t* name, DWORD* type = nullptr)
    {
        DWORD rawType = 0;
        DWORD size = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(plain.Handle(), name, nullptr, &rawType, nullptr, &size));
        std::vector<uint8_t> bytes(size);
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(plain.Handle(), name, nullptr, &rawType, bytes.data(), &size));
        if (type != nullptr)
            *type = rawType;
        return bytes;
    }
    void PutRaw(const wchar_t* name, const std::vector<uint8_t>& bytes, DWORD type = REG_BINARY)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(plain.Handle(), name, 0, type, bytes.data(),
                                                static_cast<DWORD>(bytes.size())));
    }
    LONG ReadString(const wchar_t* name, std::wstring& out)
    {
        out = L"<untouched>";
        return sealed.QueryStringValue(name, out);
    }

    CRegKey plain;
    CObfuscatedRegKey sealed;

private:
    std::wstring m_path;
};

std::vector<uint8_t> Utf8z(const char* text)
{
    std::vector<uint8_t> bytes(text, text + std::strlen(text));
    bytes.push_back(0);
    return bytes;
}

}  // namespace

TEST_F(ObfuscatedRegKeyTest, StoredBytesAreTheSealedLayoutUnderTheConfiguredKey)
{
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetStringValue(L"SettingManager", L"\\\\.\\pipe\\Settings-\x00E9\x4E2D"));
    DWORD type = 0;
    const std::vector<uint8_t> stored = Raw(L"SettingManager", &type);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(Sealed(REG_SZ, Utf8z("\\\\.\\pipe\\Settings-\xC3\xA9\xE4\xB8\xAD")), stored);

    ASSERT_EQ(ERROR_SUCCESS, sealed.SetDWORDValue(L"Count", 0x01020304));
    EXPECT_EQ(Sealed(REG_DWORD, {4, 3, 2, 1}), Raw(L"Count"));

    ASSERT_EQ(ERROR_SUCCESS, sealed.SetMultiStringValue(L"Multi", L"a\0bc\0"));
    EXPECT_EQ(Sealed(REG_MULTI_SZ, {'a', 0, 'b', 'c', 0, 0}), Raw(L"Multi"));

    // A value sealed by another writer reads back through the key.
    PutRaw(L"Foreign", Sealed(REG_SZ, Utf8z("\\\\.\\pipe\\UiHost_1")));
    std::wstring text;
    ASSERT_EQ(ERROR_SUCCESS, ReadString(L"Foreign", text));
    EXPECT_EQ(L"\\\\.\\pipe\\UiHost_1", text);
}

TEST_F(ObfuscatedRegKeyTest, EveryTypedValueRoundTrips)
{
    // Strings, ASCII and beyond (two-, three- and four-byte UTF-8), into a
    // string object and into a buffer.
    const std::wstring texts[] = {L"\\\\.\\pipe\\Zelnor", L"caf\x00E9 \x65E5\x672C \xD83D\xDE00", L""};
    for (const std::wstring& value : texts)
    {
        ASSERT_EQ(ERROR_SUCCESS, sealed.SetStringValue(L"Text", value.c_str()));
        std::wstring read;
        ASSERT_EQ(ERROR_SUCCESS, ReadString(L"Text", read));
        EXPECT_EQ(value, read);
        wchar_t buffer[64];
        ULONG chars = 64;
        ASSERT_EQ(ERROR_SUCCESS, sealed.QueryStringValue(L"Text", buffer, &chars));
        EXPECT_EQ(value.size() + 1, chars);
        EXPECT_EQ(value, std::wstring(buffer));
    }
    // The empty string is stored as its one zero byte.
    EXPECT_EQ(33u, Raw(L"Text").size());

    // Multi-strings, including the empty one.
    const wchar_t multi[] = L"first\0s\x00E9\x0063ond\0\xD83D\xDE00\0";
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetMultiStringValue(L"Multi", multi));
    wchar_t multiOut[64];
    ULONG chars = 64;
    ASSERT_EQ(ERROR_SUCCESS, sealed.QueryMultiStringValue(L"Multi", multiOut, &chars));
    ASSERT_EQ(std::size(multi), chars);  // the literal's own terminator ends the list
    EXPECT_EQ(0, std::memcmp(multi, multiOut, chars * sizeof(wchar_t)));
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetMultiStringValue(L"Multi", L"\0"));
    chars = 64;
    ASSERT_EQ(ERROR_SUCCESS, sealed.QueryMultiStringValue(L"Multi", multiOut, &chars));
    EXPECT_EQ(1u, chars);

    // Other types are sealed as their bytes and keep their logical type;
    // binary data longer than the first read buffer included.
    std::vector<uint8_t> binary(1000);
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<uint8_t>(i * 13 + 1);
    const std::pair<DWORD, std::vector<uint8_t>> values[] = {
        {REG_DWORD, {0xEF, 0xBE, 0xAD, 0xDE}}, {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}}, {REG_BINARY, binary}};
    for (const auto& [type, bytes] : values)
    {
        ASSERT_EQ(ERROR_SUCCESS, sealed.SetValue(L"Value", type, bytes.data(), static_cast<ULONG>(bytes.size())));
        std::vector<uint8_t> out(2000);
        DWORD outType = 0;
        ULONG size = static_cast<ULONG>(out.size());
        ASSERT_EQ(ERROR_SUCCESS, sealed.QueryValue(L"Value", &outType, out.data(), &size));
        EXPECT_EQ(type, outType);
        out.resize(size);
        EXPECT_EQ(bytes, out);
        Raw(L"Value", &outType);
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), outType) << "nothing in the clear";
    }
    // The typed checks of CRegKey apply to the logical type.
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetDWORDValue(L"Dword", 0xDEADBEEF));
    DWORD dword = 0;
    ASSERT_EQ(ERROR_SUCCESS, sealed.QueryDWORDValue(L"Dword", dword));
    EXPECT_EQ(0xDEADBEEFu, dword);
    EXPECT_EQ(ERROR_INVALID_DATA, sealed.QueryDWORDValue(L"Text", dword));
    std::wstring text;
    EXPECT_EQ(ERROR_INVALID_DATA, ReadString(L"Dword", text));
}

TEST_F(ObfuscatedRegKeyTest, AlteredForeignAndClearValuesAreRefused)
{
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetStringValue(L"Pipe", L"\\\\.\\pipe\\Zelnor"));
    const std::vector<uint8_t> good = Raw(L"Pipe");
    std::wstring text;
    ASSERT_EQ(ERROR_SUCCESS, ReadString(L"Pipe", text));

    // Any changed byte, header or payload.
    for (size_t i : {size_t{0}, size_t{5}, size_t{9}, size_t{13}, size_t{20}, size_t{32}, good.size() - 1})
    {
        std::vector<uint8_t> tampered = good;
        tampered[i] ^= 0x40;
        PutRaw(L"Pipe", tampered);
        EXPECT_EQ(ERROR_INVALID_DATA, ReadString(L"Pipe", text)) << "byte " << i;
        EXPECT_EQ(L"<untouched>", text) << "a refused value delivers nothing";
    }

    // Truncated, or shorter than a header.
    PutRaw(L"Pipe", std::vector<uint8_t>(good.begin(), good.end() - 1));
    EXPECT_EQ(ERROR_INVALID_DATA, ReadString(L"Pipe", text));
    PutRaw(L"Pipe", std::vector<uint8_t>(good.begin(), good.begin() + 20));
    EXPECT_EQ(ERROR_INVALID_DATA, ReadString(L"Pipe", text));

    // Values written in the clear by another tool.
    ASSERT_EQ(ERROR_SUCCESS, plain.SetStringValue(L"ClearText", L"\\\\.\\pipe\\Zelnor"));
    EXPECT_EQ(ERROR_INVALID_DATA, ReadString(L"ClearText", text));
    ASSERT_EQ(ERROR_SUCCESS, plain.SetDWORDValue(L"ClearDword", 7));
    DWORD dword = 0;
    EXPECT_EQ(ERROR_INVALID_DATA, sealed.QueryDWORDValue(L"ClearDword", dword));
    std::vector<uint8_t> clearBinary(64, 0x5A);
    PutRaw(L"ClearBinary", clearBinary);
    uint8_t out[64];
    ULONG bytes = sizeof(out);
    EXPECT_EQ(ERROR_INVALID_DATA, sealed.QueryBinaryValue(L"ClearBinary", out, &bytes));

    DWORD type = 1234;
    bytes = 0;
    EXPECT_EQ(ERROR_INVALID_DATA, sealed.QueryValue(L"ClearText", &type, nullptr, &bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type);
    // A missing value is reported as missing.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadString(L"Missing", text));
}

TEST_F(ObfuscatedRegKeyTest, SmallBuffersGetTheNeededSize)
{
    const std::wstring value = L"\\\\.\\pipe\\Zelnor-\x00E9";
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetStringValue(L"Pipe", value.c_str()));
    const ULONG needed = static_cast<ULONG>((value.size() + 1) * sizeof(wchar_t));

    // One character short.
    std::vector<wchar_t> buffer(value.size());
    ULONG chars = static_cast<ULONG>(buffer.size());
    EXPECT_EQ(ERROR_MORE_DATA, sealed.QueryStringValue(L"Pipe", buffer.data(), &chars));
    DWORD type = 0;
    ULONG bytes = static_cast<ULONG>(buffer.size() * sizeof(wchar_t));
    EXPECT_EQ(ERROR_MORE_DATA, sealed.QueryValue(L"Pipe", &type, buffer.data(), &bytes));
    EXPECT_EQ(needed, bytes);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    // No buffer: the size alone; exactly enough: the value.
    bytes = 0;
    EXPECT_EQ(ERROR_SUCCESS, sealed.QueryValue(L"Pipe", &type, nullptr, &bytes));
    EXPECT_EQ(needed, bytes);
    buffer.resize(value.size() + 1);
    EXPECT_EQ(ERROR_SUCCESS, sealed.QueryValue(L"Pipe", &type, buffer.data(), &bytes));
    EXPECT_EQ(value, std::wstring(buffer.data()));
    // The type alone.
    type = 0;
    EXPECT_EQ(ERROR_SUCCESS, sealed.QueryValue(L"Pipe", &type, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);

    // A multi-string buffer that is too small is cleared.
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetMultiStringValue(L"Multi", L"alpha\0beta\0"));
    wchar_t multi[8];
    std::fill(std::begin(multi), std::end(multi), L'#');
    bytes = sizeof(multi);
    EXPECT_EQ(ERROR_MORE_DATA, sealed.QueryValue(L"Multi", &type, multi, &bytes));
    EXPECT_EQ(12u * sizeof(wchar_t), bytes);
    for (wchar_t c : multi)
        EXPECT_EQ(L'\0', c);

    // Binary data: the size is the payload's.
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetBinaryValue(L"Binary", data, sizeof(data)));
    uint8_t small[9];
    bytes = sizeof(small);
    EXPECT_EQ(ERROR_MORE_DATA, sealed.QueryBinaryValue(L"Binary", small, &bytes));
    EXPECT_EQ(10u, bytes);
}

TEST_F(ObfuscatedRegKeyTest, ArgumentAndKeyChecks)
{
    const uint8_t data[4] = {};
    EXPECT_EQ(ERROR_INVALID_PARAMETER, sealed.SetValue(L"V", REG_BINARY, nullptr, 4));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, sealed.SetValue(L"V", REG_BINARY, data, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, sealed.QueryValue(L"V", nullptr, nullptr, nullptr));

    // A REG_SZ is taken up to its terminator or the given size, whichever
    // comes first: nothing beyond the caller's bytes is read.
    const wchar_t unterminated[4] = {L'a', L'b', L'c', L'd'};
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetValue(L"Cut", REG_SZ, unterminated, 3 * sizeof(wchar_t)));
    std::wstring text;
    ASSERT_EQ(ERROR_SUCCESS, ReadString(L"Cut", text));
    EXPECT_EQ(L"abc", text);

    // The default value (no name) is sealed like any other.
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetStringValue(nullptr, L"default"));
    ASSERT_EQ(ERROR_SUCCESS, ReadString(nullptr, text));
    EXPECT_EQ(L"default", text);

    // Opening, enumerating and deleting are those of CRegKey.
    ASSERT_EQ(ERROR_SUCCESS, sealed.DeleteValue(L"Cut"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadString(L"Cut", text));
    CObfuscatedRegKey closed;
    EXPECT_NE(ERROR_SUCCESS, closed.QueryStringValue(L"Cut", text));
    EXPECT_NE(ERROR_SUCCESS, closed.SetDWORDValue(L"Cut", 1));
}
