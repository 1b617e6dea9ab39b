// The registry key wrapper on the real (Wine) registry.
#include <gtest/gtest.h>

#include <vector>

#include <windows.h>
#include <sddl.h>

#include "platform/CRegKey.h"

using Groundwork::CRegKey;

namespace {

constexpr wchar_t kTestRoot[] = L"Software\\VantuToastTests\\CRegKey";

class RegKeyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_CURRENT_USER, kTestRoot));
    }
    void TearDown() override
    {
        key.Close();
        CRegKey parent;
        if (parent.Open(HKEY_CURRENT_USER, L"Software\\VantuToastTests") == ERROR_SUCCESS)
            parent.RecurseDeleteKey(L"CRegKey");
    }
    // Writes a value past the wrapper, exactly as given.
    void RawSet(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Handle(), name, 0, type, static_cast<const BYTE*>(data), bytes));
    }

    CRegKey key;
};

}  // namespace

TEST_F(RegKeyTest, TypedValuesRoundTrip)
{
    EXPECT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"dw", 0xDEADBEEF));
    EXPECT_EQ(ERROR_SUCCESS, key.SetQWORDValue(L"qw", 0x0123456789ABCDEFull));
    EXPECT_EQ(ERROR_SUCCESS, key.SetStringValue(L"sz", L"caf\u00E9"));
    EXPECT_EQ(ERROR_SUCCESS, key.SetStringValue(L"empty", L""));
    EXPECT_EQ(ERROR_SUCCESS, key.SetMultiStringValue(L"multi", L"one\0two\0\0"));
    const BYTE blob[] = {0, 1, 2, 0xFF};
    EXPECT_EQ(ERROR_SUCCESS, key.SetBinaryValue(L"bin", blob, sizeof(blob)));
    const GUID guid = {0x0BAFAFE5, 0xFFE3, 0x4633, {0xA8, 0x4C, 0xCB, 0x48, 0x34, 0x80, 0xA3, 0xF0}};
    EXPECT_EQ(ERROR_SUCCESS, key.SetGUIDValue(L"guid", guid));

    DWORD dw = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryDWORDValue(L"dw", dw));
    EXPECT_EQ(0xDEADBEEFu, dw);
    ULONGLONG qw = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryQWORDValue(L"qw", qw));
    EXPECT_EQ(0x0123456789ABCDEFull, qw);
    std::wstring text = L"stale";
    EXPECT_EQ(ERROR_SUCCESS, key.QueryStringValue(L"sz", text));
    EXPECT_EQ(L"caf\u00E9", text);
    EXPECT_EQ(ERROR_SUCCESS, key.QueryStringValue(L"empty", text));
    EXPECT_EQ(L"", text);

    wchar_t multi[16] = {};
    ULONG chars = 16;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryMultiStringValue(L"multi", multi, &chars));
    EXPECT_EQ(9u, chars);
    EXPECT_EQ(std::wstring(L"one\0two\0\0", 9), std::wstring(multi, chars));

    BYTE out[8] = {};
    ULONG bytes = sizeof(out);
    EXPECT_EQ(ERROR_SUCCESS, key.QueryBinaryValue(L"bin", out, &bytes));
    EXPECT_EQ(4u, bytes);
    EXPECT_EQ(0, memcmp(blob, out, 4));

    GUID read{};
    EXPECT_EQ(ERROR_SUCCESS, key.QueryGUIDValue(L"guid", read));
    EXPECT_TRUE(IsEqualGUID(guid, read));
}

TEST_F(RegKeyTest, StringQueriesCheckTypeAndTerminator)
{
    // Stored as "ab" without terminator; the third character keeps the system
    // from adding one for us.
    const wchar_t unterminated[] = {L'a', L'b', L'c'};
    RawSet(L"noterm", REG_SZ, unterminated, 2 * sizeof(wchar_t));
    wchar_t buffer[8] = {};
    // A buffer of exactly the stored size, so that the system has no room to
    // add a terminator of its own.
    ULONG chars = 2;
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryStringValue(L"noterm", buffer, &chars));

    key.SetDWORDValue(L"number", 5);
    chars = 8;
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryStringValue(L"number", buffer, &chars));
    std::wstring text;
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryStringValue(L"number", text));

    // Too small a buffer: the system's "more data" passes through.
    key.SetStringValue(L"long", L"0123456789");
    chars = 4;
    EXPECT_EQ(ERROR_MORE_DATA, key.QueryStringValue(L"long", buffer, &chars));
    // No buffer: the length, terminator included.
    chars = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryStringValue(L"long", nullptr, &chars));
    EXPECT_EQ(11u, chars);

    const wchar_t odd[] = L"abc";
    RawSet(L"odd", REG_SZ, odd, 5);
    chars = 8;
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryStringValue(L"odd", buffer, &chars));

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.QueryStringValue(L"missing", text));

    key.SetStringValue(L"notguid", L"0BAFAFE5-FFE3-4633-A84C-CB483480A3F0");
    GUID guid{};
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryGUIDValue(L"notguid", guid));
}

TEST_F(RegKeyTest, NumericAndBinaryQueriesCheckType)
{
    key.SetStringValue(L"text", L"x");
    DWORD dw = 0;
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryDWORDValue(L"text", dw));
    key.SetDWORDValue(L"dw", 7);
    ULONGLONG qw = 0;
    EXPECT_NE(ERROR_SUCCESS, key.QueryQWORDValue(L"dw", qw));
    BYTE bin[4] = {};
    ULONG bytes = 4;
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryBinaryValue(L"dw", bin, &bytes));
    // The data already reached the caller's storage before the type check.
    EXPECT_EQ(7u, *reinterpret_cast<DWORD*>(bin));
}

TEST_F(RegKeyTest, MultiStringChecks)
{
    wchar_t one[1];
    ULONG chars = 1;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, key.QueryMultiStringValue(L"anything", one, &chars));

    const wchar_t single[] = {L'a', L'\0'};  // one terminator only
    RawSet(L"single", REG_MULTI_SZ, single, sizeof(single));
    wchar_t buffer[8] = {};
    chars = 8;
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryMultiStringValue(L"single", buffer, &chars));

    key.SetStringValue(L"plain", L"a");
    chars = 8;
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryMultiStringValue(L"plain", buffer, &chars));
    EXPECT_EQ(ERROR_INVALID_DATA, key.SetMultiStringValue(L"null", nullptr));
}

TEST_F(RegKeyTest, ArgumentAndClosedKeyErrors)
{
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetValue(L"v", REG_BINARY, nullptr, 4));
    const BYTE b = 1;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetValue(L"v", REG_BINARY, &b, 0));
    EXPECT_EQ(ERROR_INVALID_DATA, key.SetStringValue(L"v", nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.DeleteValue(nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, key.DeleteSubKey(nullptr));

    CRegKey closed;
    DWORD dw = 0;
    std::wstring text;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, closed.QueryDWORDValue(L"x", dw));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, closed.QueryStringValue(L"x", text));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, closed.Flush());
    EXPECT_EQ(ERROR_INVALID_PARAMETER, closed.DeleteValue(L"x"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, closed.GrantEveryoneFullAccess(false));
    DWORD size = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, closed.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &size));
}

TEST_F(RegKeyTest, FailedOpenKeepsTheOpenKey)
{
    key.SetDWORDValue(L"marker", 1);
    HKEY before = key.Handle();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(HKEY_CURRENT_USER, L"Software\\VantuToastTests\\NoSuchKey"));
    EXPECT_EQ(before, key.Handle());
    DWORD marker = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryDWORDValue(L"marker", marker));
    EXPECT_EQ(1u, marker);

    DWORD disposition = 0;
    CRegKey child;
    EXPECT_EQ(ERROR_SUCCESS, child.Create(key.Handle(), L"child", nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_ALL_ACCESS, nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_EQ(ERROR_SUCCESS, child.Create(key.Handle(), L"child", nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_ALL_ACCESS, nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
}

TEST_F(RegKeyTest, RecursiveDeleteAndDeleteContentsOnClose)
{
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
    CRegKey inner;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, inner.Open(key.Handle(), L"scratch\\inner"));
}

TEST_F(RegKeyTest, SixtyFourBitViewIsKeptForSubkeyDeletion)
{
    CRegKey machine;
    const wchar_t* path = L"SOFTWARE\\VantuToastTests";
    ASSERT_EQ(ERROR_SUCCESS, machine.Create(HKEY_LOCAL_MACHINE, path, nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    CRegKey child;
    ASSERT_EQ(ERROR_SUCCESS, child.Create(machine.Handle(), L"view64", nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    child.Close();
    EXPECT_EQ(ERROR_SUCCESS, machine.DeleteSubKey(L"view64"));
    CRegKey probe;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, probe.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VantuToastTests\\view64",
                                               KEY_READ | KEY_WOW64_64KEY));
    CRegKey root;
    ASSERT_EQ(ERROR_SUCCESS, root.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    machine.Close();
    EXPECT_EQ(ERROR_SUCCESS, root.DeleteSubKey(L"VantuToastTests"));
}

namespace {

// The key's DACL in SDDL form ("" when it cannot be read).
std::wstring DaclOf(CRegKey& key)
{
    DWORD size = 0;
    if (key.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER)
        return L"";
    std::vector<BYTE> sd(size);
    LPWSTR text = nullptr;
    if (key.GetKeySecurity(DACL_SECURITY_INFORMATION, sd.data(), &size) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return L"";
    const std::wstring result = text;
    LocalFree(text);
    return result;
}

}  // namespace

TEST_F(RegKeyTest, GrantEveryoneFullAccessGivesTheWholeTreeTheKeysNewDacl)
{
    CRegKey child;
    ASSERT_EQ(ERROR_SUCCESS, child.Create(key.Handle(), L"acl", nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS));
    CRegKey grandchild;
    ASSERT_EQ(ERROR_SUCCESS, grandchild.Create(child.Handle(), L"inner", nullptr, REG_OPTION_NON_VOLATILE,
                                               KEY_ALL_ACCESS));
    // A list of the subkey's own, which the grant replaces.
    PSECURITY_DESCRIPTOR own = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;BA)(A;;KR;;;BU)", SDDL_REVISION_1,
                                                                     &own, nullptr));
    const LONG set = grandchild.SetKeySecurity(DACL_SECURITY_INFORMATION, own);
    LocalFree(own);
    ASSERT_EQ(ERROR_SUCCESS, set);

    ASSERT_EQ(ERROR_SUCCESS, child.GrantEveryoneFullAccess(true));
    const std::wstring granted = DaclOf(child);
    EXPECT_NE(std::wstring::npos, granted.find(L"(A;OICI;GA;;;WD)")) << granted;
    EXPECT_EQ(granted, DaclOf(grandchild));
}

namespace {

// A derived key whose implementation could not be allocated.
class KeyWithoutImplementation : public CRegKey
{
public:
    KeyWithoutImplementation() : CRegKey(nullptr, ExactImplementation{}) {}
};

}  // namespace

TEST_F(RegKeyTest, MissingDerivedImplementationNeverFallsBackToPlainAccess)
{
    KeyWithoutImplementation broken;
    EXPECT_EQ(ERROR_OUTOFMEMORY, broken.Open(HKEY_CURRENT_USER, kTestRoot));
    EXPECT_EQ(ERROR_OUTOFMEMORY, broken.SetStringValue(L"clear", L"text"));
    EXPECT_EQ(nullptr, broken.Handle());
    std::wstring text;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.QueryStringValue(L"clear", text)) << "nothing written in the clear";
}
