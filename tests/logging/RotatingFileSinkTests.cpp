// The file sink on the real (Wine) file system: bytes on disk, rotation,
// the folder's security and the encoded file name.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <sstream>
#include <tuple>

#include "logging/LogFormat.h"
#include "logging/LoggerStartup.h"
#include "platform/ScopedHandle.h"
#include "support/ChildProcess.h"
#include "support/ImportHook.h"
#include "support/Links.h"
#include "support/TestFiles.h"

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
    Groundwork::LocalMemory<PSECURITY_DESCRIPTOR> sd;
    Groundwork::LocalMemory<LPWSTR> text;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, sd.put()) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              text.put(), nullptr))
        return L"<unreadable>";
    return text.get();
}

}  // namespace

TEST(RotatingFileSink, EachLineIsOneByteOneUnitWithCrLfInOneWriteNotForcedToDisk)
{
    TempDir dir;
    RotatingFileSink sink(5, 1 << 20, dir / L"logs", L"log");
    EXPECT_FALSE(FileExists(dir / L"logs")) << "nothing is created before the first line";
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

// Only the backups that exist move, each up one number; names that are not
// backups of this count stay as they are, and a count in the billions costs
// what the files cost (the earlier loop over the count ran for hours).
TEST(RotatingFileSink, RotationMovesOnlyTheBackupsThatExist)
{
    TempDir dir;
    RotatingFileSink sink(0xFFFFFFFFu, 1000, dir.Path(), L"log");
    const std::wstring& file = sink.FilePath();
    const std::pair<std::wstring, std::string> before[] = {
        {L"", "current"}, {L".2", "two"}, {L".4294967293", "next to oldest"}, {L".4294967294", "oldest"},
        {L".02", "not canonical"}, {L".4294967295", "at the count"}, {L".1x", "not a number"}};
    for (const auto& [suffix, content] : before)
        testsupport::WriteFileBytes(file + suffix, content);
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(sink.Rotate());
    EXPECT_GT(60000u, GetTickCount64() - start);
    const std::pair<std::wstring, std::string> after[] = {
        {L"", "-"}, {L".0", "current"}, {L".1", "-"}, {L".2", "-"}, {L".3", "two"}, {L".4294967293", "-"},
        {L".4294967294", "next to oldest"}, {L".02", "not canonical"}, {L".4294967295", "at the count"},
        {L".1x", "not a number"}};
    for (const auto& [suffix, content] : after)
    {
        if (content == "-")
            EXPECT_FALSE(FileExists(file + suffix)) << suffix;
        else
            EXPECT_EQ(content, ReadFileBytes(file + suffix)) << suffix;
    }
}

// A reader (a log viewer, another user) holds the current file, then a
// backup, open without delete sharing while lines cross the size: no file is
// overwritten, each line is still written, the failed rotation is not tried
// again on every line, and it happens once the reader lets go.
TEST(RotatingFileSink, AFileHeldOpenStopsTheRotationAndCostsNoBackup)
{
    constexpr DWORD kRetryMs = 1000;  // far longer than the few lines written while it runs
    TempDir dir;
    RotatingFileSink sink(3, 100, dir.Path(), L"log", kRetryMs);
    const auto path = [&](int i) { return sink.FilePath() + (i < 0 ? L"" : L"." + std::to_wstring(i)); };
    using Files = std::vector<std::string>;  // the file, ".0", ".1", ".2"; "-" for none
    const auto files = [&] {
        Files contents;
        for (int i = -1; i < 3; ++i)
            contents.push_back(FileExists(path(i)) ? ReadFileBytes(path(i)) : "-");
        return contents;
    };
    const auto hold = [&](int i) {
        return Groundwork::ScopedHandle(CreateFileW(path(i).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    nullptr, OPEN_EXISTING, 0, nullptr));
    };
    const auto text = [](size_t bytes, char fill) { return std::string(bytes - 2, fill) + "\r\n"; };
    testsupport::WriteFileBytes(path(0), "zero");
    testsupport::WriteFileBytes(path(1), "one");
    g_debugMessages.clear();
    testsupport::ImportHook hook("kernel32.dll", "OutputDebugStringW",
                                 reinterpret_cast<void*>(&RecordingOutputDebugString));
    ASSERT_TRUE(hook.Installed());

    sink.Write(LineOf(60, L'a'));
    const std::string older = text(60, 'a') + text(60, 'b') + text(60, 'c') + text(60, 'd');
    {
        const Groundwork::ScopedHandle reader = hold(-1);
        ASSERT_TRUE(reader.valid());
        for (wchar_t fill : {L'b', L'c', L'd'})
            sink.Write(LineOf(60, fill));  // each past the size
        EXPECT_EQ((Files{older, "zero", "one", "-"}), files());
        EXPECT_EQ(1, std::count_if(g_debugMessages.begin(), g_debugMessages.end(),
                                   [](const std::wstring& m) { return m.rfind(L"Error moving '", 0) == 0; }))
            << "tried once, not on every line";
    }
    Sleep(kRetryMs + 200);
    sink.Write(LineOf(10, L'e'));
    EXPECT_EQ((Files{"-", older + text(10, 'e'), "zero", "one"}), files());

    // Now a backup: the shift stops there, and nothing below it moves.
    const std::string newer = text(101, 'f') + text(101, 'g');
    {
        const Groundwork::ScopedHandle reader = hold(1);
        ASSERT_TRUE(reader.valid());
        sink.Write(LineOf(101, L'f'));
        sink.Write(LineOf(101, L'g'));
        EXPECT_EQ((Files{newer, older + text(10, 'e'), "zero", "one"}), files());
    }
    Sleep(kRetryMs + 200);
    sink.Write(LineOf(10, L'h'));
    EXPECT_EQ((Files{"-", newer + text(10, 'h'), older + text(10, 'e'), "zero"}), files());
}

namespace {

constexpr wchar_t kWriterVariable[] = L"VANTU_LOG_WRITER";

// A line of one writer: "w<writer> n<number> " and filler, 60 bytes on disk.
std::string WriterLine(int writer, int number)
{
    std::string line = "w" + std::to_string(writer) + " n" + std::to_string(number) + " ";
    return line + std::string(58 - line.size(), '.');
}

}  // namespace

// One writer process of the next test, run as its child only.
TEST(RotatingFileSinkChild, DISABLED_WritesItsLines)
{
    wchar_t setting[MAX_PATH + 64] = L"";
    ASSERT_NE(0u, GetEnvironmentVariableW(kWriterVariable, setting, MAX_PATH + 64))
        << "runs as a child of SeveralProcessesWriteEachLineOnceAndWhole";
    std::wistringstream in(setting);
    int writer = 0, lines = 0;
    uint32_t count = 0, size = 0;
    std::wstring start, folder;
    ASSERT_TRUE(in >> writer >> lines >> count >> size >> start >> folder) << setting;  // no spaces in test paths
    RotatingFileSink sink(count, size, folder, L"log");
    const Groundwork::ScopedHandle go(OpenEventW(SYNCHRONIZE, FALSE, start.c_str()));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(go.get(), 60000));
    for (int i = 0; i < lines; ++i)
    {
        const std::string line = WriterLine(writer, i);
        sink.Write(std::wstring(line.begin(), line.end()) + L"\n");
    }
}

// Processes writing one file at once, without rotation and with it (nothing
// ages out): every line arrives exactly once, whole.
TEST(RotatingFileSink, SeveralProcessesWriteEachLineOnceAndWhole)
{
    constexpr int kWriters = 6;
    constexpr int kLines = 800;
    for (const auto& [count, size] : {std::pair<unsigned, unsigned>{0, 0}, {1000, 4096}})
    {
        SCOPED_TRACE(count == 0 ? "without rotation" : "with rotation");
        TempDir dir;
        const std::wstring start = L"Local\\vantu-log-writers-" + std::to_wstring(GetCurrentProcessId());
        const Groundwork::ScopedHandle go(CreateEventW(nullptr, TRUE, FALSE, start.c_str()));
        ASSERT_TRUE(go.valid());
        testsupport::ChildProcess writers[kWriters];
        for (int w = 0; w < kWriters; ++w)
        {
            const std::wstring setting = std::to_wstring(w) + L" " + std::to_wstring(kLines) + L" " +
                                         std::to_wstring(count) + L" " + std::to_wstring(size) + L" " + start + L" " +
                                         dir.Path();
            ASSERT_TRUE(SetEnvironmentVariableW(kWriterVariable, setting.c_str()));
            ASSERT_TRUE(writers[w].Launch(L"logging_tests.exe",
                                          L"--gtest_also_run_disabled_tests --gtest_filter=RotatingFileSinkChild.*",
                                          dir / (L"writer" + std::to_wstring(w) + L".out")));
        }
        SetEnvironmentVariableW(kWriterVariable, nullptr);
        SetEvent(go.get());
        for (auto& writer : writers)
            ASSERT_EQ(0u, writer.Wait(240000).value_or(99));

        RotatingFileSink names(count, size, dir.Path(), L"log");
        std::vector<std::string> lines, expected;
        for (int i = -1; i == -1 || FileExists(names.FilePath() + L"." + std::to_wstring(i)); ++i)
        {
            std::istringstream text(ReadFileBytes(i < 0 ? names.FilePath() : names.FilePath() + L"." + std::to_wstring(i)));
            for (std::string line; std::getline(text, line);)
                lines.push_back(line);
        }
        for (int w = 0; w < kWriters; ++w)
            for (int i = 0; i < kLines; ++i)
                expected.push_back(WriterLine(w, i) + "\r");
        std::sort(lines.begin(), lines.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_TRUE(lines == expected) << lines.size() << " lines read, some lost, cut or twice";
    }
}

// Another user plants a link where the sink writes, moves or re-permissions:
// at the log file, at a backup, at the log folder or at a folder on the way.
// The sink refuses the file or folder (a debugger message), leaves the link,
// and the file the link leads to keeps its bytes, its place and its DACL.
// (Under Wine a link is a Unix one, seen through the final path, not as a
// reparse point.)
TEST(RotatingFileSink, PlantedLinksAreNeverFollowed)
{
    enum class Where
    {
        kFile,
        kBackup,
        kLogFolder,
        kFolderOnTheWay,
    };
    const std::tuple<const char*, Where, bool, const wchar_t*> cases[] = {
        {"hard link at the log file", Where::kFile, true, L"it has more than one hard link"},
        {"symbolic link at the log file", Where::kFile, false, L"it resolves to another path"},
        {"symbolic link for a log file already written", Where::kFile, false, L"it resolves to another path"},
        {"hard link at a backup", Where::kBackup, true, L"it has more than one hard link"},
        {"symbolic link at a backup", Where::kBackup, false, L"it resolves to another path"},
        {"symbolic link at the log folder", Where::kLogFolder, false, L"it resolves to another path"},
        {"symbolic link at a folder on the way", Where::kFolderOnTheWay, false, L"it resolves to another path"},
    };
    const std::string victimBytes = "the other user's own file\r\n";
    for (const auto& [what, where, hard, reason] : cases)
    {
        SCOPED_TRACE(what);
        const bool atFolder = where == Where::kLogFolder || where == Where::kFolderOnTheWay;
        TempDir dir;
        const std::wstring elsewhere = dir / L"elsewhere";
        ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((elsewhere + L"\\logs").c_str(), nullptr));
        std::wstring folder = dir / L"logs";
        std::wstring link;
        if (where == Where::kFolderOnTheWay)
        {
            link = dir / L"chain";
            ASSERT_TRUE(PlantSymbolicLink(link, elsewhere));
            folder = dir / L"chain\\logs";
        }
        else if (where == Where::kLogFolder)
        {
            link = folder;
            ASSERT_TRUE(PlantSymbolicLink(link, elsewhere + L"\\logs"));
        }
        else
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        RotatingFileSink sink(3, 50, folder, L"log");
        const std::wstring name = sink.FilePath().substr(folder.size() + 1);

        // Where a followed link would lead: a file to write to, or (at the
        // log folder) a free name to create.
        const std::wstring victim = atFolder ? elsewhere + L"\\logs\\" + name : elsewhere + L"\\victim.txt";
        const bool create = where == Where::kLogFolder;
        if (!create)
            testsupport::WriteFileBytes(victim, victimBytes);
        const std::wstring victimDacl = create ? L"" : DaclOf(victim);
        if (!atFolder)
        {
            if (std::string(what).find("already") != std::string::npos)
            {
                sink.Write(LineOf(10));  // the file passes its full check once
                ASSERT_TRUE(DeleteFileW(sink.FilePath().c_str()));
            }
            link = where == Where::kBackup ? sink.FilePath() + L".0" : sink.FilePath();
            ASSERT_TRUE(hard ? PlantHardLink(link, victim) : PlantSymbolicLink(link, victim));
        }
        if (!create)
        {
            ASSERT_EQ(victimBytes, ReadFileBytes(atFolder ? sink.FilePath() : link)) << "the link leads to the victim";
        }

        g_debugMessages.clear();
        {
            testsupport::ImportHook hook("kernel32.dll", "OutputDebugStringW",
                                         reinterpret_cast<void*>(&RecordingOutputDebugString));
            ASSERT_TRUE(hook.Installed());
            sink.Write(LineOf(60, L'a'));  // past the limit: DACL, then rotation
            sink.Write(LineOf(60, L'b'));
        }

        if (create)
            EXPECT_FALSE(FileExists(victim)) << "nothing created through the link";
        else
        {
            EXPECT_EQ(victimBytes, ReadFileBytes(victim)) << "nothing written to or moved from the victim";
            EXPECT_EQ(victimDacl, DaclOf(victim));
        }
        EXPECT_TRUE(FileExists(link)) << "the link is left where it was";
        // A file reached through a folder link is refused by its path; a
        // free name there is never created, the folder refused first.
        const std::wstring refusal = (create ? L"Log folder '" + folder : L"Log file '" + (atFolder ? sink.FilePath() : link)) +
                                     L"' refused: " + reason;
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
            testsupport::RemoveSymbolicLink(link);
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

TEST(UserNameEncoding, XorsEachUnitWithTheKeyAndWritesHex)
{
    // 'A' ^ 'k' = 0x2A, 'b' ^ 'e' = 0x07, 'c' ^ 'y' = 0x1A, then the key wraps: 'd' ^ 'k' = 0x0F.
    EXPECT_EQ(L"002A0007001A000F", EncodeUserNameForFileName(L"Abcd", L"key"));
    EXPECT_EQ(L"", EncodeUserNameForFileName(L"", L"key"));
    // A unit above U+00FF keeps its high byte.
    EXPECT_EQ(L"73E0", EncodeUserNameForFileName(L"\u738B", L"k"));
}
