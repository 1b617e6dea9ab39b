// The registry key wrapper and its sealed-value variant on the real (Wine)
// registry. Sealed values are checked against the layout under the
// configured key (the layout itself is pinned by fixed vectors in
// SealedValueFormatTests).
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/CObfuscatedRegKey.h"
#include "platform/CRegKey.h"
#include "platform/SealedValue.h"
#include "platform/ScopedHandle.h"
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

std::vector<uint8_t> Utf8z(const std::string& text)
{
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// A private key under HKCU, opened plain (`key`) and sealed, removed afterwards.
class RegistryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        path = L"Software\\VantuToastTests\\" + std::wstring(name.begin(), name.end()) + L"-" +
               std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_CURRENT_USER, path.c_str()));
        ASSERT_EQ(ERROR_SUCCESS, sealed.Open(HKEY_CURRENT_USER, path.c_str()));
    }
    void TearDown() override
    {
        sealed.Close();
        key.Close();
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    }
    // Writes a value past the wrappers, exactly as given.
    void RawSet(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Handle(), name, 0, type, static_cast<const BYTE*>(data), bytes));
    }
    void PutRaw(const wchar_t* name, const std::vector<uint8_t>& bytes)
    {
        RawSet(name, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    std::vector<uint8_t> Raw(const wchar_t* name, DWORD* type = nullptr)
    {
        DWORD rawType = 0, size = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key.Handle(), name, nullptr, &rawType, nullptr, &size));
        std::vector<uint8_t> bytes(size);
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key.Handle(), name, nullptr, &rawType, bytes.data(), &size));
        if (type != nullptr)
            *type = rawType;
        return bytes;
    }
    LONG ReadSealed(const wchar_t* name, std::wstring& out)
    {
        out = L"<untouched>";
        return sealed.QueryStringValue(name, out);
    }

    std::wstring path;
    CRegKey key;
    CObfuscatedRegKey sealed;
};

// The key's DACL in SDDL form ("" when it cannot be read).
std::wstring DaclOf(CRegKey& key)
{
    DWORD size = 0;
    if (key.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER)
        return L"";
    std::vector<BYTE> sd(size);
    Groundwork::LocalMemory<LPWSTR> text;
    if (key.GetKeySecurity(DACL_SECURITY_INFORMATION, sd.data(), &size) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              text.put(), nullptr))
        return L"";
    return text.get();
}

// A derived key whose implementation could not be allocated.
class KeyWithoutImplementation : public CRegKey
{
public:
    KeyWithoutImplementation() : CRegKey(nullptr, ExactImplementation{}) {}
};

}  // namespace

// Every typed value round-trips through the plain key and the sealed one:
// strings in and beyond ASCII (two-, three- and four-byte UTF-8), into a
// string object and into a buffer; lists; other types with their logical
// type, binary data longer than the sealed key's first read buffer included;
// the typed checks apply to the logical type.
TEST_F(RegistryTest, TypedValuesRoundTripThroughBothKeys)
{
    const GUID guid = {0x0BAFAFE5, 0xFFE3, 0x4633, {0xA8, 0x4C, 0xCB, 0x48, 0x34, 0x80, 0xA3, 0xF0}};
    const wchar_t multi[] = L"first\0s\x00E9\x0063ond\0\xD83D\xDE00\0";  // the literal's own terminator ends it
    std::vector<uint8_t> binary(1000);
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<uint8_t>(i * 13 + 1);
    const std::pair<DWORD, std::vector<uint8_t>> values[] = {
        {REG_DWORD, {0xEF, 0xBE, 0xAD, 0xDE}}, {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}}, {REG_BINARY, binary}};
    for (CRegKey* k : {&key, static_cast<CRegKey*>(&sealed)})
    {
        const bool isSealed = k == &sealed;
        SCOPED_TRACE(isSealed ? "sealed" : "plain");
        for (const std::wstring value : {L"\\\\.\\pipe\\Zelnor", L"caf\x00E9 \x65E5\x672C \xD83D\xDE00", L""})
        {
            ASSERT_EQ(ERROR_SUCCESS, k->SetStringValue(L"Text", value.c_str()));
            std::wstring read = L"stale";
            ASSERT_EQ(ERROR_SUCCESS, k->QueryStringValue(L"Text", read));
            EXPECT_EQ(value, read);
            wchar_t buffer[64];
            ULONG chars = 64;
            ASSERT_EQ(ERROR_SUCCESS, k->QueryStringValue(L"Text", buffer, &chars));
            EXPECT_EQ(value.size() + 1, chars);
            EXPECT_EQ(value, std::wstring(buffer));
        }
        if (isSealed)
        {
            EXPECT_EQ(33u, Raw(L"Text").size()) << "the empty string is stored as its one zero byte";
        }
        for (const std::wstring& list : {std::wstring(multi, std::size(multi)), std::wstring(1, L'\0')})
        {
            ASSERT_EQ(ERROR_SUCCESS, k->SetMultiStringValue(L"Multi", list.c_str()));
            wchar_t out[64];
            ULONG chars = 64;
            ASSERT_EQ(ERROR_SUCCESS, k->QueryMultiStringValue(L"Multi", out, &chars));
            EXPECT_EQ(list, std::wstring(out, chars));
        }
        for (const auto& [type, bytes] : values)
        {
            ASSERT_EQ(ERROR_SUCCESS, k->SetValue(L"Value", type, bytes.data(), static_cast<ULONG>(bytes.size())));
            std::vector<uint8_t> out(2000);
            DWORD outType = 0;
            ULONG size = static_cast<ULONG>(out.size());
            ASSERT_EQ(ERROR_SUCCESS, k->QueryValue(L"Value", &outType, out.data(), &size));
            EXPECT_EQ(type, outType);
            out.resize(size);
            EXPECT_EQ(bytes, out);
            Raw(L"Value", &outType);
            EXPECT_EQ(isSealed ? static_cast<DWORD>(REG_BINARY) : type, outType) << "sealed: nothing in the clear";
        }
        DWORD dword = 0;
        EXPECT_EQ(ERROR_INVALID_DATA, k->QueryDWORDValue(L"Text", dword));
        ASSERT_EQ(ERROR_SUCCESS, k->SetDWORDValue(L"Dword", 0xDEADBEEF));
        ASSERT_EQ(ERROR_SUCCESS, k->QueryDWORDValue(L"Dword", dword));
        EXPECT_EQ(0xDEADBEEFu, dword);
        std::wstring text;
        EXPECT_EQ(ERROR_INVALID_DATA, k->QueryStringValue(L"Dword", text));
        ASSERT_EQ(ERROR_SUCCESS, k->SetGUIDValue(L"Guid", guid));
        GUID read{};
        ASSERT_EQ(ERROR_SUCCESS, k->QueryGUIDValue(L"Guid", read));
        EXPECT_TRUE(IsEqualGUID(guid, read));
        // The default value (no name) is stored like any other.
        ASSERT_EQ(ERROR_SUCCESS, k->SetStringValue(nullptr, L"default"));
        ASSERT_EQ(ERROR_SUCCESS, k->QueryStringValue(nullptr, text));
        EXPECT_EQ(L"default", text);
        ASSERT_EQ(ERROR_SUCCESS, k->DeleteValue(L"Text"));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, k->QueryStringValue(L"Text", text));
    }
    // A sealed REG_SZ is taken up to its terminator or the given size,
    // whichever comes first.
    std::wstring text;
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetValue(L"Cut", REG_SZ, L"abcd", 3 * sizeof(wchar_t)));
    ASSERT_EQ(ERROR_SUCCESS, ReadSealed(L"Cut", text));
    EXPECT_EQ(L"abc", text);
}

TEST_F(RegistryTest, QueriesCheckTypeTerminatorAndSize)
{
    // Stored as "ab" without terminator, read into a buffer of exactly that
    // size, so that the system has no room to add a terminator of its own.
    RawSet(L"noterm", REG_SZ, L"abc", 2 * sizeof(wchar_t));
    RawSet(L"odd", REG_SZ, L"abc", 5);
    key.SetDWORDValue(L"number", 5);
    wchar_t buffer[8] = {};
    ULONG chars = 0;
    for (const auto& [name, size] : {std::pair{L"noterm", 2ul}, {L"odd", 8ul}, {L"number", 8ul}})
    {
        chars = size;
        EXPECT_EQ(ERROR_INVALID_DATA, key.QueryStringValue(name, buffer, &chars)) << name;
    }

    key.SetStringValue(L"notguid", L"0BAFAFE5-FFE3-4633-A84C-CB483480A3F0");
    chars = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryStringValue(L"notguid", nullptr, &chars));
    EXPECT_EQ(37u, chars) << "no buffer: the length in characters, terminator included";
    GUID guid{};
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryGUIDValue(L"notguid", guid));

    key.SetStringValue(L"plain", L"a");
    ULONGLONG qw = 0;
    EXPECT_NE(ERROR_SUCCESS, key.QueryQWORDValue(L"number", qw));
    BYTE bin[4] = {};
    ULONG bytes = 4;
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryBinaryValue(L"number", bin, &bytes));
    EXPECT_EQ(5u, *reinterpret_cast<DWORD*>(bin)) << "the data reached the caller before the type check";

    wchar_t one[1];
    chars = 1;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, key.QueryMultiStringValue(L"anything", one, &chars));
    const wchar_t single[] = {L'a', L'\0'};  // one terminator only
    RawSet(L"single", REG_MULTI_SZ, single, sizeof(single));
    for (const wchar_t* name : {L"single", L"plain"})
    {
        chars = 8;
        EXPECT_EQ(ERROR_INVALID_DATA, key.QueryMultiStringValue(name, buffer, &chars)) << name;
    }
    EXPECT_EQ(ERROR_INVALID_DATA, key.SetMultiStringValue(L"null", nullptr));
}

TEST_F(RegistryTest, FailedOpenKeepsTheOpenKeyRecursiveDeleteAndDeleteContentsOnClose)
{
    const HKEY before = key.Handle();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(HKEY_CURRENT_USER, L"Software\\VantuToastTests\\NoSuchKey"));
    EXPECT_EQ(before, key.Handle());
    EXPECT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"marker", 1)) << "the key is still open";

    {
        CRegKey deep;
        ASSERT_EQ(ERROR_SUCCESS, deep.Create(key.Handle(), L"tree\\a\\b\\c"));
        deep.SetDWORDValue(L"v", 1);
        CRegKey sibling;
        ASSERT_EQ(ERROR_SUCCESS, sibling.Create(key.Handle(), L"tree\\d"));
    }
    EXPECT_EQ(ERROR_SUCCESS, key.RecurseDeleteKey(L"tree"));
    CRegKey probe;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, probe.Open(key.Handle(), L"tree"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.RecurseDeleteKey(L"tree"));

    {
        auto impl = std::make_shared<Groundwork::internal::CRegKeyImpl>();
        ASSERT_EQ(ERROR_SUCCESS, impl->Create(key.Handle(), L"scratch", nullptr, REG_OPTION_NON_VOLATILE,
                                              KEY_ALL_ACCESS, nullptr, nullptr));
        CRegKey scratchChild;
        ASSERT_EQ(ERROR_SUCCESS, scratchChild.Create(impl->Handle(), L"inner"));
        scratchChild.Close();
        impl->SetDeleteContentsOnClose(true);
        EXPECT_TRUE(impl->GetDeleteContentsOnClose());
        EXPECT_EQ(ERROR_SUCCESS, impl->Close());
        EXPECT_FALSE(impl->GetDeleteContentsOnClose());
    }
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, probe.Open(key.Handle(), L"scratch\\inner"));
}

TEST_F(RegistryTest, GrantEveryoneFullAccessGivesTheWholeTreeTheKeysNewDacl)
{
    CRegKey child;
    ASSERT_EQ(ERROR_SUCCESS, child.Create(key.Handle(), L"acl", nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS));
    // Two levels below, each with a list of its own, which the grant replaces.
    CRegKey grandchild;
    ASSERT_EQ(ERROR_SUCCESS, grandchild.Create(child.Handle(), L"inner", nullptr, REG_OPTION_NON_VOLATILE,
                                               KEY_ALL_ACCESS));
    CRegKey deepest;
    ASSERT_EQ(ERROR_SUCCESS, deepest.Create(grandchild.Handle(), L"deeper", nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_ALL_ACCESS));
    // Descriptors of their own, which the grant replaces.
    for (const auto& [subkey, sddl] : {std::pair<CRegKey*, const wchar_t*>{&deepest, L"D:(A;;KA;;;BA)(A;;KR;;;WD)"},
                                       {&grandchild, L"D:(A;;KA;;;BA)(A;;KR;;;BU)"}})
    {
        Groundwork::LocalMemory<PSECURITY_DESCRIPTOR> own;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, own.put(), nullptr));
        ASSERT_EQ(ERROR_SUCCESS, subkey->SetKeySecurity(DACL_SECURITY_INFORMATION, own.get()));
        ASSERT_NE(DaclOf(child), DaclOf(*subkey));
    }

    ASSERT_EQ(ERROR_SUCCESS, child.GrantEveryoneFullAccess(true));
    const std::wstring granted = DaclOf(child);
    EXPECT_NE(std::wstring::npos, granted.find(L"(A;OICI;GA;;;WD)")) << granted;
    EXPECT_EQ(granted, DaclOf(grandchild));
    EXPECT_EQ(granted, DaclOf(deepest));
}

TEST_F(RegistryTest, MissingDerivedImplementationNeverFallsBackToPlainAccess)
{
    KeyWithoutImplementation broken;
    EXPECT_EQ(ERROR_OUTOFMEMORY, broken.Open(HKEY_CURRENT_USER, path.c_str()));
    EXPECT_EQ(ERROR_OUTOFMEMORY, broken.SetStringValue(L"clear", L"text"));
    EXPECT_EQ(nullptr, broken.Handle());
    std::wstring text;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.QueryStringValue(L"clear", text)) << "nothing written in the clear";
}

TEST_F(RegistryTest, SealedStoredBytesAreTheSealedLayoutUnderTheConfiguredKey)
{
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetStringValue(L"SettingManager", L"\\\\.\\pipe\\Settings-\x00E9\x4E2D"));
    DWORD type = 0;
    const std::vector<uint8_t> stored = Raw(L"SettingManager", &type);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(Sealed(REG_SZ, Utf8z("\\\\.\\pipe\\Settings-\xC3\xA9\xE4\xB8\xAD")), stored);
}

TEST_F(RegistryTest, SealedAlteredForeignAndClearValuesAreRefused)
{
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetStringValue(L"Pipe", L"\\\\.\\pipe\\Zelnor"));
    const std::vector<uint8_t> good = Raw(L"Pipe");
    std::wstring text;
    ASSERT_EQ(ERROR_SUCCESS, ReadSealed(L"Pipe", text));

    // A changed byte (every byte and field of the layout:
    // SealedValue.EveryAlteredByteOrFieldIsRefused).
    std::vector<uint8_t> tampered = good;
    tampered.back() ^= 0x40;
    PutRaw(L"Pipe", tampered);
    EXPECT_EQ(ERROR_INVALID_DATA, ReadSealed(L"Pipe", text));
    EXPECT_EQ(L"<untouched>", text) << "a refused value delivers nothing";

    // Values written in the clear by another tool: any type but binary, or
    // binary that is no sealed value.
    ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(L"ClearText", L"\\\\.\\pipe\\Zelnor"));
    EXPECT_EQ(ERROR_INVALID_DATA, ReadSealed(L"ClearText", text));
    PutRaw(L"ClearBinary", std::vector<uint8_t>(64, 0x5A));
    uint8_t out[64];
    ULONG bytes = sizeof(out);
    EXPECT_EQ(ERROR_INVALID_DATA, sealed.QueryBinaryValue(L"ClearBinary", out, &bytes));
    DWORD type = 1234;
    bytes = 0;
    EXPECT_EQ(ERROR_INVALID_DATA, sealed.QueryValue(L"ClearText", &type, nullptr, &bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type);
}

TEST_F(RegistryTest, SealedSmallBuffersGetTheNeededSize)
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
    // No buffer: the size alone; exactly enough: the value; the type alone.
    bytes = 0;
    EXPECT_EQ(ERROR_SUCCESS, sealed.QueryValue(L"Pipe", &type, nullptr, &bytes));
    EXPECT_EQ(needed, bytes);
    buffer.resize(value.size() + 1);
    EXPECT_EQ(ERROR_SUCCESS, sealed.QueryValue(L"Pipe", &type, buffer.data(), &bytes));
    EXPECT_EQ(value, std::wstring(buffer.data()));
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
    EXPECT_EQ(std::wstring(8, L'\0'), std::wstring(multi, 8));

    // Binary data: the size is the payload's.
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(ERROR_SUCCESS, sealed.SetBinaryValue(L"Binary", data, sizeof(data)));
    uint8_t small[9];
    bytes = sizeof(small);
    EXPECT_EQ(ERROR_MORE_DATA, sealed.QueryBinaryValue(L"Binary", small, &bytes));
    EXPECT_EQ(10u, bytes);
}
