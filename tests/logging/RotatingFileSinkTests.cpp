// The file sink on the real (Wine) file system: bytes on disk, rotation,
// the folder's security and the encoded file name.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <thread>

#include "logging/LoggerStartup.h"
#include "platform/SessionUtils.h"
#include "support/ImportHook.h"
#include "support/TestFiles.h"
#include "vantu_config.h"

using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

// A line of exactly `bytes` bytes on disk ("\n" becomes "\r\n").
std::wstring LineOf(size_t bytes, wchar_t fill = L'x')
{
    return std::wstring(bytes - 2, fill) + L"\n";
}

std::wstring DaclSddl(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &sd) != ERROR_SUCCESS)
        return L"";
    LPWSTR text = nullptr;
    std::wstring result;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                             nullptr))
    {
        result = text;
        LocalFree(text);
    }
    LocalFree(sd);
    return result;
}

// System calls of the file sink, counted while a test hooks them.
int g_writes = 0;
int g_flushes = 0;
decltype(&WriteFile) g_realWriteFile = nullptr;

BOOL WINAPI CountingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    ++g_writes;
    return g_realWriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI CountingFlushFileBuffers(HANDLE)
{
    ++g_flushes;
    return TRUE;
}

}  // namespace

TEST(RotatingFileSink, EachLineIsOneByteOneUnitWithCrLfInOneWriteNotForcedToDisk)
{
    TempDir dir;
    RotatingFileSink sink(5, 1 << 20, dir / L"logs", L"log");
    sink.Write(L"[ERR]caf\u00E9 \u4E2D\u6587 end\n");  // creates the folder
    {
        testsupport::ImportHook write("kernel32.dll", "WriteFile", reinterpret_cast<void*>(&CountingWriteFile));
        testsupport::ImportHook flush("kernel32.dll", "FlushFileBuffers",
                                      reinterpret_cast<void*>(&CountingFlushFileBuffers));
        ASSERT_TRUE(write.Installed());
        g_realWriteFile = reinterpret_cast<decltype(&WriteFile)>(write.Original());
        sink.Write(L"two\nlines\n");
        sink.Write(std::wstring(3000, L'x') + L"\n");
        EXPECT_EQ(2, g_writes);
        EXPECT_EQ(0, g_flushes);
    }
    // A unit above U+00FF becomes "?" and the line keeps its end.
    EXPECT_EQ("[ERR]caf\xE9 ?? end\r\ntwo\r\nlines\r\n" + std::string(3000, 'x') + "\r\n",
              ReadFileBytes(sink.FilePath()));
}

TEST(RotatingFileSink, FileNameCarriesTheEncodedConsoleUser)
{
    TempDir dir;
    RotatingFileSink sink(5, 100, dir / L"logs", L"log");
    const std::wstring expected =
        L"log_" + EncodeUserNameForFileName(Groundwork::GetConsoleUserName(), VANTU_LOG_NAME_KEY) + L".txt";
    EXPECT_EQ(dir / L"logs\\" + expected, sink.FilePath());
    EXPECT_FALSE(FileExists(dir / L"logs")) << "construction creates nothing on disk";
}

TEST(RotatingFileSink, RotatesWhenTheFileGrowsPastTheLimit)
{
    TempDir dir;
    RotatingFileSink sink(5, 100, dir.Path(), L"log");
    const std::wstring& file = sink.FilePath();

    sink.Write(LineOf(60, L'a'));
    sink.Write(LineOf(40, L'b'));  // exactly 100 bytes: no rotation
    EXPECT_FALSE(FileExists(file + L".0"));
    EXPECT_EQ(100u, ReadFileBytes(file).size());

    sink.Write(LineOf(10, L'c'));  // 110 > 100: the line is written whole, then rotated
    EXPECT_FALSE(FileExists(file));
    ASSERT_TRUE(FileExists(file + L".0"));
    EXPECT_EQ(110u, ReadFileBytes(file + L".0").size());

    // Six more generations: the backups shift and the oldest falls off at ".4".
    for (wchar_t generation = L'd'; generation <= L'i'; ++generation)
        sink.Write(LineOf(101, generation));
    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(std::string(99, 'i') + "\r\n", ReadFileBytes(file + L".0"));
    EXPECT_EQ(std::string(99, 'h') + "\r\n", ReadFileBytes(file + L".1"));
    EXPECT_EQ(std::string(99, 'e') + "\r\n", ReadFileBytes(file + L".4"));
    EXPECT_FALSE(FileExists(file + L".5"));

    sink.Write(L"next\n");
    EXPECT_EQ("next\r\n", ReadFileBytes(file));
}

TEST(RotatingFileSink, CountOneKeepsOneBackupAndCountZeroNeverRotates)
{
    TempDir one;
    RotatingFileSink single(1, 10, one.Path(), L"log");
    single.Write(L"first line\n");
    single.Write(L"second line\n");
    EXPECT_EQ("second line\r\n", ReadFileBytes(single.FilePath() + L".0"));
    EXPECT_FALSE(FileExists(single.FilePath() + L".1"));

    TempDir none;
    RotatingFileSink unlimited(0, 10, none.Path(), L"log");
    for (int i = 0; i < 20; ++i)
        unlimited.Write(L"0123456789\n");
    EXPECT_EQ(20u * 12u, ReadFileBytes(unlimited.FilePath()).size());
    EXPECT_FALSE(FileExists(unlimited.FilePath() + L".0"));
}

TEST(RotatingFileSink, SizeZeroPutsEachLineInItsOwnBackup)
{
    TempDir dir;
    RotatingFileSink sink(3, 0, dir.Path(), L"log");
    sink.Write(L"a\n");
    sink.Write(L"b\n");
    sink.Write(L"c\n");
    EXPECT_EQ("c\r\n", ReadFileBytes(sink.FilePath() + L".0"));
    EXPECT_EQ("b\r\n", ReadFileBytes(sink.FilePath() + L".1"));
    EXPECT_EQ("a\r\n", ReadFileBytes(sink.FilePath() + L".2"));
}

TEST(RotatingFileSink, MissingIntermediateBackupsAreSkipped)
{
    TempDir dir;
    RotatingFileSink sink(5, 1000, dir.Path(), L"log");
    const std::wstring& file = sink.FilePath();
    testsupport::WriteFileBytes(file + L".2", "two");
    testsupport::WriteFileBytes(file, "current");
    EXPECT_TRUE(sink.Rotate());
    EXPECT_EQ("current", ReadFileBytes(file + L".0"));
    EXPECT_EQ("two", ReadFileBytes(file + L".3"));
    EXPECT_FALSE(FileExists(file + L".1"));
    EXPECT_FALSE(FileExists(file + L".2"));
    EXPECT_TRUE(MoveLogFile(file + L".9", file + L".10")) << "a missing source counts as moved";
}

// A rotation asked for by another thread waits for a line being written: the
// file is never moved while the sink has it open, and no line is lost.
TEST(RotatingFileSink, RotationFromAnotherThreadWaitsForTheWriter)
{
    TempDir dir;
    constexpr int kLines = 300;
    constexpr int kRotations = 24;
    RotatingFileSink sink(kRotations + 1, 1u << 30, dir.Path(), L"log");
    int failedRotations = 0;
    std::thread rotator([&] {
        for (int i = 0; i < kRotations; ++i)
            failedRotations += sink.Rotate() ? 0 : 1;
    });
    for (int i = 0; i < kLines; ++i)
        sink.Write(L"line\n");
    rotator.join();
    EXPECT_EQ(0, failedRotations);
    size_t bytes = ReadFileBytes(sink.FilePath()).size();
    for (int i = 0; i < kRotations; ++i)
        bytes += ReadFileBytes(sink.FilePath() + L"." + std::to_wstring(i)).size();
    EXPECT_EQ(kLines * 6u, bytes) << "every line, across the file and its backups";
}

// Whether this file system keeps a DACL given to a new directory (Wine keeps
// descriptors only where it can store extended attributes).
bool FileSystemKeepsDacls(const TempDir& dir)
{
    const std::wstring probe = dir / L"dacl-probe";
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;BA)", SDDL_REVISION_1, &sd, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), sd, FALSE};
    const bool created = CreateDirectoryW(probe.c_str(), &attributes) != FALSE;
    LocalFree(sd);
    return created && DaclSddl(probe) == L"D:(A;;FA;;;BA)";
}

TEST(LogFolder, DescriptorsAreWellFormed)
{
    for (const wchar_t* sddl : {kLogFolderSddl, kLogFileSddl})
    {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) << sddl;
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        EXPECT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
        ASSERT_TRUE(present && dacl != nullptr);
        EXPECT_EQ(sddl == kLogFolderSddl ? 4 : 5, dacl->AceCount) << sddl;
        LocalFree(sd);
    }
}

TEST(LogFolder, IsCreatedWithTheFolderDescriptor)
{
    TempDir dir;
    if (!FileSystemKeepsDacls(dir))
        GTEST_SKIP() << "the file system under this Wine prefix does not keep directory DACLs";
    RotatingFileSink sink(5, 1000, dir / L"secured", L"log");
    sink.Write(L"line\n");
    ASSERT_TRUE(FileExists(sink.FilePath()));
    const std::wstring sddl = DaclSddl(dir / L"secured");
    // Deny guests and anonymous logon, full control for administrators.
    EXPECT_NE(std::wstring::npos, sddl.find(L"(D;OICI;GA;;;BG)")) << sddl;
    EXPECT_NE(std::wstring::npos, sddl.find(L"(D;OICI;GA;;;AN)")) << sddl;
    EXPECT_NE(std::wstring::npos, sddl.find(L";;;BA)")) << sddl;
}

TEST(LogFolder, ExistingDirectoryIsAcceptedAndLinkIsReplaced)
{
    TempDir dir;
    SECURITY_ATTRIBUTES* noSecurity = nullptr;
    const std::wstring plain = dir / L"plain";
    ASSERT_TRUE(CreateSecuredDirectory(plain, noSecurity));
    EXPECT_TRUE(CreateSecuredDirectory(plain, noSecurity)) << "already there counts as success";

    const std::wstring target = dir / L"target";
    const std::wstring link = dir / L"link";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    testsupport::WriteFileBytes(target + L"\\keep.txt", "keep");
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
        GTEST_SKIP() << "this Wine cannot create a directory link: " << GetLastError();
    ASSERT_NE(0u, GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);

    ASSERT_TRUE(CreateSecuredDirectory(link, noSecurity));
    const DWORD attributes = GetFileAttributesW(link.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_EQ(0u, attributes & FILE_ATTRIBUTE_REPARSE_POINT) << "a real directory now";
    EXPECT_TRUE(FileExists(target + L"\\keep.txt")) << "the link's target is untouched";
}

TEST(LogFolder, IsNamedAfterTheModule)
{
    std::wstring folder;
    ASSERT_TRUE(LogFolder(nullptr, folder));
    EXPECT_NE(std::wstring::npos, folder.find(L"\\Zelnor\\Pathwarden\\logging_tests.exe")) << folder;
    EXPECT_EQ(folder.size(), folder.find(L"logging_tests.exe") + wcslen(L"logging_tests.exe"));
}

TEST(UserNameEncoding, XorsEachUnitWithTheKeyAndWritesHex)
{
    // 'A' ^ 'k' = 0x2A, 'b' ^ 'e' = 0x07, 'c' ^ 'y' = 0x1A, then the key wraps: 'd' ^ 'k' = 0x0F.
    EXPECT_EQ(L"002A0007001A000F", EncodeUserNameForFileName(L"Abcd", L"key"));
    EXPECT_EQ(L"", EncodeUserNameForFileName(L"", L"key"));
    const std::wstring unknown = EncodeUserNameForFileName(L"UNKNOWN", VANTU_LOG_NAME_KEY);
    EXPECT_EQ(28u, unknown.size());
    const std::wstring accented = EncodeUserNameForFileName(L"J\u00FCrgen \u738B", VANTU_LOG_NAME_KEY);
    EXPECT_EQ(32u, accented.size());
    EXPECT_EQ(std::wstring::npos, accented.find_first_not_of(L"0123456789ABCDEF"));
    // U+738B ^ key character keeps its high byte.
    EXPECT_EQ(L"73", accented.substr(28, 2));
}
