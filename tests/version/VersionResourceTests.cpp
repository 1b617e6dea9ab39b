// Every binary a host team receives (and the companions built beside them)
// carries a version resource built from the project's one version.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace {

// One value of the US English, UTF-16 string table, or empty when missing.
std::wstring StringValue(const std::vector<BYTE>& info, const std::wstring& key)
{
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\040904B0\\" + key;
    if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || !value)
        return L"";
    return std::wstring(value, wcsnlen(value, length));
}

}  // namespace

TEST(VersionResource, EveryBinaryCarriesTheProjectVersion)
{
    std::set<std::wstring> descriptions;
    for (const wchar_t* name : {L"VantuToast.dll", L"vantu-sign.exe", L"pathwarden-services.exe", L"vantu-demo.exe",
                                L"pipe-bench.exe", L"minimal-host.exe"})
    {
        SCOPED_TRACE(testing::Message() << name);
        const std::wstring path = std::wstring(VANTU_TEST_BINARY_DIR) + L"\\bin\\" + name;
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_NE(0u, size) << "no version resource, error " << GetLastError();
        std::vector<BYTE> info(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT fixedLength = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedLength));
        ASSERT_GE(fixedLength, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(static_cast<DWORD>(VANTU_EXPECTED_VERSION_MS), fixed->dwFileVersionMS);
        EXPECT_EQ(static_cast<DWORD>(VANTU_EXPECTED_VERSION_LS), fixed->dwFileVersionLS);
        EXPECT_EQ(wcsstr(name, L".dll") ? DWORD{VFT_DLL} : DWORD{VFT_APP}, fixed->dwFileType);
        // A build with the development keys is marked in the field and the strings.
        EXPECT_EQ(VANTU_EXPECTED_DEVELOPMENT_KEYS != 0, (fixed->dwFileFlags & VS_FF_SPECIALBUILD) != 0);
        EXPECT_EQ(VANTU_EXPECTED_DEVELOPMENT_KEYS != 0, !StringValue(info, L"SpecialBuild").empty());
        EXPECT_EQ(VANTU_EXPECTED_VERSION, StringValue(info, L"ProductVersion"));
        EXPECT_EQ(name, StringValue(info, L"OriginalFilename"));
        const std::wstring description = StringValue(info, L"FileDescription");
        EXPECT_FALSE(description.empty());
        EXPECT_TRUE(descriptions.insert(description).second) << "description shared with another binary";
    }
}
