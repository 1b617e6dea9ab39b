// Sealed values in the real registry: every typed operation of CRegKey
// through CObfuscatedRegKey, the stored bytes checked against a second,
// straightforward computation (plain RC4 with feedback here, MD5 from CNG),
// and values that must be refused.
#include <gtest/gtest.h>

#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/CObfuscatedRegKey.h"
#include "platform/CRegKey.h"
#include "vantu_config.h"

using Groundwork::CObfuscatedRegKey;
using Groundwork::CRegKey;

namespace {

// --- The second computation of the layout --------------------------------

std::vector<uint8_t> CngMd5(const std::vector<uint8_t>& data)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<uint8_t> digest(16);
    EXPECT_EQ(0, BCryptOpenAlgorithmProvider(&alg, BCRYPT_MD5_ALGORITHM, nullptr, 0));
    EXPECT_EQ(0, BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0));
    if (!data.empty())
    {
        EXPECT_EQ(0, BCryptHashData(hash, const_cast<PUCHAR>(data.data()), static_cast<ULONG>(data.size()), 0));
    }
    EXPECT_EQ(0, BCryptFinishHash(hash, digest.data(), 16, 0));
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    return digest;
}

std::vector<uint8_t> ReferenceSeal(uint32_t type, const std::vector<uint8_t>& payload)
{
    const std::string key = VANTU_SEALING_KEY;
    int S[256];
    for (int i = 0; i < 256; i++) S[i] = i;
    for (int i = 0, j = 0; i < 256; i++)
    {
        j = (j + S[i] + static_cast<unsigned char>(key[i % key.size()])) % 256;
        std::swap(S[i], S[j]);
    }
    int x = 0, y = 0;
    auto next = [&] {
        x = (x + 1) % 256;
        y = (y + S[x]) % 256;
        std::swap(S[x], S[y]);
        return S[(S[x] + S[y]) % 256];
    };
    int s = next();
    std::vector<uint8_t> value = {'Z', 'N', 'R', 'G', 1, 0, 0, 0};
    const uint32_t n = static_cast<uint32_t>(payload.size());
    for (uint32_t field : {n, type})
        for (int b = 0; b < 4; b++) value.push_back(static_cast<uint8_t>((field >> (8 * b)) & 0xFF));
    value.resize(32, 0);
    for (uint8_t p : payload)
    {
        s ^= p;
        const int k1 = next();
        const int k2 = next();
        value.push_back(static_cast<uint8_t>(((k1 ^ s) + k2) % 256));
    }
    const std::vector<uint8_t> digest = CngMd5(value);
    std::copy(digest.begin(), digest.end(), value.begin() + 16);
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

TEST_F(ObfuscatedRegKeyTest, StoredBytesMatchTheSecondComputation)
{
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetStringValue(L"SettingManager", L"\\\\.\\pipe\\Settings-\x00E9\x4E2D"));
    DWORD type = 0;
    const std::vector<uint8_t> stored = Raw(L"SettingManager", &type);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(ReferenceSeal(REG_SZ, Utf8z("\\\\.\\pipe\\Settings-\xC3\xA9\xE4\xB8\xAD")), stored);

    ASSERT_EQ(ERROR_SUCCESS, sealed.SetDWORDValue(L"Count", 0x01020304));
    EXPECT_EQ(ReferenceSeal(REG_DWORD, {4, 3, 2, 1}), Raw(L"Count"));

    ASSERT_EQ(ERROR_SUCCESS, sealed.SetMultiStringValue(L"Multi", L"a\0bc\0"));
    EXPECT_EQ(ReferenceSeal(REG_MULTI_SZ, {'a', 0, 'b', 'c', 0, 0}), Raw(L"Multi"));

    // A value sealed by the second computation (as another writer would)
    // reads back through the key.
    PutRaw(L"Foreign", ReferenceSeal(REG_SZ, Utf8z("\\\\.\\pipe\\UiHost_1")));
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

    // Numbers, binary data longer than the first read buffer, a GUID.
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetDWORDValue(L"Dword", 0xDEADBEEF));
    DWORD dword = 0;
    ASSERT_EQ(ERROR_SUCCESS, sealed.QueryDWORDValue(L"Dword", dword));
    EXPECT_EQ(0xDEADBEEFu, dword);
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetQWORDValue(L"Qword", 0x0123456789ABCDEFull));
    ULONGLONG qword = 0;
    ASSERT_EQ(ERROR_SUCCESS, sealed.QueryQWORDValue(L"Qword", qword));
    EXPECT_EQ(0x0123456789ABCDEFull, qword);
    std::vector<uint8_t> binary(1000);
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<uint8_t>(i * 13 + 1);
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetBinaryValue(L"Binary", binary.data(), static_cast<ULONG>(binary.size())));
    std::vector<uint8_t> binaryOut(2000);
    ULONG bytes = static_cast<ULONG>(binaryOut.size());
    ASSERT_EQ(ERROR_SUCCESS, sealed.QueryBinaryValue(L"Binary", binaryOut.data(), &bytes));
    ASSERT_EQ(binary.size(), bytes);
    binaryOut.resize(bytes);
    EXPECT_EQ(binary, binaryOut);
    const GUID guid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetGUIDValue(L"Guid", guid));
    GUID guidOut{};
    ASSERT_EQ(ERROR_SUCCESS, sealed.QueryGUIDValue(L"Guid", guidOut));
    EXPECT_TRUE(IsEqualGUID(guid, guidOut));

    // The logical type is reported, and the typed checks of CRegKey apply.
    DWORD type = 0;
    bytes = 0;
    ASSERT_EQ(ERROR_SUCCESS, sealed.QueryValue(L"Qword", &type, nullptr, &bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_QWORD), type);
    EXPECT_EQ(8u, bytes);
    EXPECT_EQ(ERROR_INVALID_DATA, sealed.QueryDWORDValue(L"Text", dword));
    std::wstring text;
    EXPECT_EQ(ERROR_INVALID_DATA, ReadString(L"Dword", text));

    // Nothing is stored in the clear.
    for (const wchar_t* name : {L"Text", L"Multi", L"Dword", L"Qword", L"Binary", L"Guid"})
    {
        DWORD rawType = 0;
        Raw(name, &rawType);
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), rawType) << name;
    }
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

    // Wrong magic and wrong length under a correct digest.
    std::vector<uint8_t> payload(good.begin() + 32, good.end());
    std::vector<uint8_t> badMagic = good;
    badMagic[3] = 'X';
    std::fill(badMagic.begin() + 16, badMagic.begin() + 32, 0);
    std::vector<uint8_t> digest = CngMd5(badMagic);
    std::copy(digest.begin(), digest.end(), badMagic.begin() + 16);
    PutRaw(L"Pipe", badMagic);
    EXPECT_EQ(ERROR_INVALID_DATA, ReadString(L"Pipe", text));
    std::vector<uint8_t> badLength = good;
    badLength[8] = static_cast<uint8_t>(badLength[8] + 1);
    std::fill(badLength.begin() + 16, badLength.begin() + 32, 0);
    digest = CngMd5(badLength);
    std::copy(digest.begin(), digest.end(), badLength.begin() + 16);
    PutRaw(L"Pipe", badLength);
    EXPECT_EQ(ERROR_INVALID_DATA, ReadString(L"Pipe", text));

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
