// The file sink on the real (Wine) file system: bytes on disk, rotation,
// the folder's security and the encoded file name.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <thread>
#include <tuple>

#include "logging/LoggerStartup.h"
#include "platform/ScopedHandle.h"
#include "platform/SessionUtils.h"
#include "support/ImportHook.h"
#include "support/Links.h"
#include "support/TestFiles.h"
#include "vantu_config.h"

using testsupport::FileExists;
using testsupport::PlantHardLink;
using testsupport::PlantSymbolicLink;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

// A line of exactly `bytes` bytes on disk ("\n" becomes "\r\n").
std::wstring LineOf(size_t bytes, wchar_t fill = L'x')
{
    return std::wstring(bytes - 2, fill) + L"\n";
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

// The descriptor the code hands to CreateDirectoryW, as SDDL.
std::wstring g_directorySddl;
decltype(&CreateDirectoryW) g_realCreateDirectory = nullptr;

BOOL WINAPI RecordingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    Groundwork::LocalMemory<LPWSTR> text;
    if (security && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                        security->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, text.put(), nullptr))
        g_directorySddl = text.get();
    return g_realCreateDirectory(path, security);
}

// Debugger messages, while a test hooks them.
std::vector<std::wstring> g_debugMessages;

void WINAPI RecordingOutputDebugString(LPCWSTR text)
{
    g_debugMessages.emplace_back(text != nullptr ? text : L"");
}

std::wstring DaclOf(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &sd) != ERROR_SUCCESS)
        return L"<unreadable>";
    LPWSTR text = nullptr;
    std::wstring result = L"<unconvertible>";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                             nullptr))
    {
        result = text;
        LocalFree(text);
    }
    LocalFree(sd);
    return result;
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
    // The stand-in's console session is this process's user; each UTF-16 unit
    // XOR the key's unit (the key repeating), as four upper-case hex digits.
    wchar_t user[256] = {};
    DWORD length = 256;
    ASSERT_TRUE(GetUserNameW(user, &length));
    const std::wstring key = VANTU_LOG_NAME_KEY;
    std::wstring expected = L"log_";
    for (size_t i = 0; user[i] != L'\0'; ++i)
    {
        wchar_t unit[5];
        swprintf(unit, 5, L"%04X", static_cast<unsigned>(user[i] ^ key[i % key.size()]));
        expected += unit;
    }
    TempDir dir;
    RotatingFileSink sink(5, 100, dir / L"logs", L"log");
    EXPECT_EQ(dir / L"logs\\" + expected + L".txt", sink.FilePath());
    EXPECT_FALSE(FileExists(dir / L"logs")) << "construction creates nothing on disk";
}

// Lines of `bytes` bytes each on disk, written in turn to a sink of `count`
// backups rotating past `size` bytes; then the current file and the backups
// (`files`: "" for the current one, "0", "1", ...) hold what the case says,
// and the ones it names as "-" do not exist.
TEST(RotatingFileSink, RotationKeepsTheNewestBackupsAndWritesEachLineWhole)
{
    const auto lines = [](std::initializer_list<std::pair<size_t, wchar_t>> list) {
        std::vector<std::wstring> result;
        for (const auto& [bytes, fill] : list)
            result.push_back(LineOf(bytes, fill));
        return result;
    };
    const auto text = [](size_t bytes, char fill) { return std::string(bytes - 2, fill) + "\r\n"; };
    using Files = std::vector<std::pair<std::wstring, std::string>>;
    const std::tuple<const char*, uint32_t, uint32_t, std::vector<std::wstring>, Files> cases[] = {
        {"exactly at the limit", 5, 100, lines({{60, 'a'}, {40, 'b'}}),
         {{L"", text(60, 'a') + text(40, 'b')}, {L"0", "-"}}},
        {"past the limit: written whole, then rotated", 5, 100, lines({{60, 'a'}, {40, 'b'}, {10, 'c'}}),
         {{L"", "-"}, {L"0", text(60, 'a') + text(40, 'b') + text(10, 'c')}}},
        {"the oldest falls off at the count", 5, 100,
         lines({{101, 'd'}, {101, 'e'}, {101, 'f'}, {101, 'g'}, {101, 'h'}, {101, 'i'}, {6, 'j'}}),
         {{L"", text(6, 'j')}, {L"0", text(101, 'i')}, {L"1", text(101, 'h')}, {L"4", text(101, 'e')},
          {L"5", "-"}}},
        {"count 1", 1, 10, lines({{12, 'a'}, {13, 'b'}}), {{L"", "-"}, {L"0", text(13, 'b')}, {L"1", "-"}}},
        {"count 0 never rotates", 0, 10, std::vector<std::wstring>(3, LineOf(12)),
         {{L"", text(12, 'x') + text(12, 'x') + text(12, 'x')}, {L"0", "-"}}},
        {"size 0: each line a backup of its own", 3, 0, lines({{3, 'a'}, {3, 'b'}, {3, 'c'}}),
         {{L"0", text(3, 'c')}, {L"1", text(3, 'b')}, {L"2", text(3, 'a')}, {L"3", "-"}}},
    };
    for (const auto& [what, count, size, written, files] : cases)
    {
        SCOPED_TRACE(what);
        TempDir dir;
        RotatingFileSink sink(count, size, dir.Path(), L"log");
        for (const std::wstring& line : written)
            sink.Write(line);
        for (const auto& [suffix, content] : files)
        {
            const std::wstring path = sink.FilePath() + (suffix.empty() ? L"" : L"." + suffix);
            if (content == "-")
                EXPECT_FALSE(FileExists(path)) << suffix;
            else
                EXPECT_EQ(content, ReadFileBytes(path)) << suffix;
        }
    }
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

// Another user plants a link where the sink writes, moves or re-permissions:
// at the log file, at a backup, or at a folder on the way. The sink refuses
// the file (one debugger message), leaves the link, and the file the link
// leads to keeps its bytes, its place and its DACL.
TEST(RotatingFileSink, PlantedLinksAreNeverFollowed)
{
    enum class Where
    {
        kFile,
        kBackup,
        kFolder,
    };
    const std::tuple<const char*, Where, bool, const wchar_t*> cases[] = {
        {"hard link at the log file", Where::kFile, true, L"it has more than one hard link"},
        {"symbolic link at the log file", Where::kFile, false, L"it resolves to another path"},
        {"hard link at a backup", Where::kBackup, true, L"it has more than one hard link"},
        {"symbolic link at a backup", Where::kBackup, false, L"it resolves to another path"},
        {"symbolic link at a folder on the way", Where::kFolder, false, L"it resolves to another path"},
    };
    const std::string victimBytes = "the other user's own file\r\n";
    for (const auto& [what, where, hard, reason] : cases)
    {
        SCOPED_TRACE(what);
        TempDir dir;
        const std::wstring elsewhere = dir / L"elsewhere";
        ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
        std::wstring folder = dir / L"logs";
        if (where == Where::kFolder)
        {
            // Above the log folder itself, which the sink would replace.
            ASSERT_TRUE(PlantSymbolicLink(dir / L"chain", elsewhere));
            folder = dir / L"chain\\logs";
        }
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        RotatingFileSink sink(3, 50, folder, L"log");
        const std::wstring name = sink.FilePath().substr(folder.size() + 1);

        // Where a followed link would lead.
        const std::wstring victim =
            where == Where::kFolder ? elsewhere + L"\\logs\\" + name : elsewhere + L"\\victim.txt";
        testsupport::WriteFileBytes(victim, victimBytes);
        const std::wstring victimDacl = DaclOf(victim);
        const std::wstring link = where == Where::kBackup ? sink.FilePath() + L".0" : sink.FilePath();
        if (where != Where::kFolder)
        {
            ASSERT_TRUE(hard ? PlantHardLink(link, victim) : PlantSymbolicLink(link, victim));
        }
        ASSERT_EQ(victimBytes, ReadFileBytes(link)) << "the link leads to the victim";

        g_debugMessages.clear();
        {
            testsupport::ImportHook hook("kernel32.dll", "OutputDebugStringW",
                                         reinterpret_cast<void*>(&RecordingOutputDebugString));
            ASSERT_TRUE(hook.Installed());
            sink.Write(LineOf(60, L'a'));  // past the limit: DACL, then rotation
            sink.Write(LineOf(60, L'b'));
        }

        EXPECT_EQ(victimBytes, ReadFileBytes(victim)) << "nothing written to or moved from the victim";
        EXPECT_EQ(victimDacl, DaclOf(victim));
        EXPECT_TRUE(FileExists(link)) << "the link is left where it was";
        const std::wstring refusal = L"Log file '" + link + L"' refused: " + reason;
        EXPECT_NE(g_debugMessages.end(), std::find(g_debugMessages.begin(), g_debugMessages.end(), refusal))
            << (g_debugMessages.empty() ? std::wstring(L"<none>") : g_debugMessages[0]);
        if (where == Where::kBackup)
        {
            // The log itself rotated around the refused backup.
            EXPECT_EQ(std::string(58, 'b') + "\r\n", ReadFileBytes(sink.FilePath() + L".0"));
        }
        else
        {
            EXPECT_EQ(2u, g_debugMessages.size()) << "one message per line refused";
            EXPECT_FALSE(FileExists(sink.FilePath() + L".0")) << "nothing rotated";
        }
        if (!hard)
            testsupport::RemoveSymbolicLink(where == Where::kFolder ? dir / L"chain" : link);
    }
}

TEST(LogFolder, DescriptorsAreWellFormed)
{
    for (const wchar_t* sddl : {kLogFolderSddl, kLogFileSddl})
    {
        Groundwork::LocalMemory<PSECURITY_DESCRIPTOR> sd;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, sd.put(), nullptr))
            << sddl;
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        EXPECT_TRUE(GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted));
        ASSERT_TRUE(present && dacl != nullptr);
        EXPECT_EQ(sddl == kLogFolderSddl ? 4 : 5, dacl->AceCount) << sddl;
    }
}

TEST(LogFolder, IsCreatedWithTheFolderDescriptor)
{
    TempDir dir;
    RotatingFileSink sink(5, 1000, dir / L"secured", L"log");
    {
        testsupport::ImportHook hook("kernel32.dll", "CreateDirectoryW",
                                     reinterpret_cast<void*>(&RecordingCreateDirectory));
        ASSERT_TRUE(hook.Installed());
        g_realCreateDirectory = reinterpret_cast<decltype(&CreateDirectoryW)>(hook.Original());
        sink.Write(L"line\n");
    }
    ASSERT_TRUE(FileExists(sink.FilePath()));
    // Deny guests and anonymous logon, full control for administrators.
    EXPECT_NE(std::wstring::npos, g_directorySddl.find(L"(D;OICI;GA;;;BG)")) << g_directorySddl;
    EXPECT_NE(std::wstring::npos, g_directorySddl.find(L"(D;OICI;GA;;;AN)")) << g_directorySddl;
    EXPECT_NE(std::wstring::npos, g_directorySddl.find(L";;;BA)")) << g_directorySddl;
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

TEST(UserNameEncoding, XorsEachUnitWithTheKeyAndWritesHex)
{
    // 'A' ^ 'k' = 0x2A, 'b' ^ 'e' = 0x07, 'c' ^ 'y' = 0x1A, then the key wraps: 'd' ^ 'k' = 0x0F.
    EXPECT_EQ(L"002A0007001A000F", EncodeUserNameForFileName(L"Abcd", L"key"));
    EXPECT_EQ(L"", EncodeUserNameForFileName(L"", L"key"));
    // A unit above U+00FF keeps its high byte.
    EXPECT_EQ(L"73E0", EncodeUserNameForFileName(L"\u738B", L"k"));
}
