// The session stand-in: the prefix's WTSAPI32.dll, configured through its
// control API and seen by the library's session utilities and by other
// programs of the prefix.
#include <gtest/gtest.h>

#include <windows.h>
#include <lmcons.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "platform/SessionUtils.h"
#include "sim/wtsapi32/VantuSimWts.h"

namespace {

// The WTSAPI32.dll the library gets: the system folder's.
HMODULE SystemWtsapi()
{
    return LoadLibraryExW(L"WTSAPI32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

template <typename Fn>
Fn Export(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(SystemWtsapi(), name)));
}

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

std::wstring ProcessUser()
{
    wchar_t name[UNLEN + 1] = {};
    DWORD length = UNLEN + 1;
    return GetUserNameW(name, &length) ? std::wstring(name) : std::wstring();
}

struct Query
{
    BOOL ok = FALSE;
    DWORD error = 0;
    std::vector<unsigned char> bytes;
};

Query QueryW(DWORD sessionId, WTS_INFO_CLASS infoClass, HANDLE server = WTS_CURRENT_SERVER_HANDLE)
{
    Query result;
    LPWSTR buffer = nullptr;
    DWORD size = 0;
    SetLastError(0);
    result.ok = WTSQuerySessionInformationW(server, sessionId, infoClass, &buffer, &size);
    result.error = GetLastError();
    if (result.ok && buffer != nullptr)
        result.bytes.assign(reinterpret_cast<unsigned char*>(buffer), reinterpret_cast<unsigned char*>(buffer) + size);
    WTSFreeMemory(buffer);
    return result;
}

std::wstring AsText(const Query& query)
{
    if (query.bytes.size() < sizeof(wchar_t))
        return L"<none>";
    return std::wstring(reinterpret_cast<const wchar_t*>(query.bytes.data()));
}

class SimSessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(api.Load()) << "the prefix's WTSAPI32.dll is not the stand-in";
        ASSERT_EQ(api.Reset(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    void TearDown() override { api.Reset(); }

    void Configure(std::initializer_list<VantuSimWtsSession> sessions, DWORD console = 1)
    {
        ASSERT_EQ(api.SetSessions(sessions.begin(), static_cast<DWORD>(sessions.size()), console),
                  static_cast<DWORD>(ERROR_SUCCESS));
    }

    VantuSimWtsApi api;
};

TEST_F(SimSessionTest, TheSystemFoldersWtsapiIsTheStandInWithItsDefaultSession)
{
    wchar_t path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(SystemWtsapi(), path, MAX_PATH), 0u);
    EXPECT_EQ(Lower(path), L"c:\\windows\\system32\\wtsapi32.dll");
    // The test program's own import of WTSAPI32 is the same module.
    EXPECT_EQ(GetModuleHandleW(L"wtsapi32.dll"), SystemWtsapi());

    // Default: one active session, number 1, of the user running us.
    uint32_t id = 0;
    EXPECT_TRUE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(id, 1u);
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    ASSERT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(sessions[0].SessionId, 1u);
    EXPECT_EQ(sessions[0].State, WTSActive);
    EXPECT_EQ(std::wstring(sessions[0].pWinStationName), L"Console");
    WTSFreeMemory(sessions);
    EXPECT_FALSE(ProcessUser().empty());
    EXPECT_EQ(AsText(QueryW(1, WTSUserName)), ProcessUser());
}

TEST_F(SimSessionTest, GetActiveSessionIdSeesTheConfiguredSessions)
{
    uint32_t id = 0;
    // No active session: only disconnected, listening and down ones.
    Configure({{0, WTSDisconnected, nullptr}, {2, WTSDisconnected, L"alice"}, {65536, WTSListen, nullptr},
               {3, WTSDown, L"bob"}});
    EXPECT_FALSE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(id, Groundwork::kNoSession);

    // Two active sessions: the first in enumeration order wins, not the
    // lowest number.
    Configure({{0, WTSDisconnected, nullptr}, {7, WTSActive, L"carol"}, {3, WTSActive, L"dave"}});
    EXPECT_TRUE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(id, 7u);

    // No session at all.
    Configure({});
    id = 0;
    EXPECT_FALSE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(id, Groundwork::kNoSession);

    // Back to the default after a reset.
    ASSERT_EQ(api.Reset(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(id, 1u);
}

TEST_F(SimSessionTest, AnExportToldToFailFailsWithThatErrorUntilCleared)
{
    ASSERT_EQ(api.FailCall("WTSEnumerateSessionsW", ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_SUCCESS));
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    SetLastError(0);
    EXPECT_FALSE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    uint32_t id = 0;
    EXPECT_FALSE(Groundwork::GetActiveSessionId(id));
    EXPECT_FALSE(Groundwork::GetActiveSessionId(id));  // every call, not just the next
    // Other exports are not affected.
    EXPECT_TRUE(QueryW(1, WTSSessionId).ok);

    ASSERT_EQ(api.FailCall("WTSEnumerateSessionsW", ERROR_SUCCESS), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(Groundwork::GetActiveSessionId(id));

    ASSERT_EQ(api.FailCall("WTSQuerySessionInformationW", ERROR_NOT_ENOUGH_MEMORY), static_cast<DWORD>(ERROR_SUCCESS));
    Query failed = QueryW(1, WTSUserName);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(Groundwork::GetConsoleUserName(), L"UNKNOWN");
    EXPECT_EQ(api.FailCall("", ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SimSessionTest, SessionInformationByClass)
{
    Configure({{1, WTSActive, L"alice"}, {2, WTSDisconnected, nullptr}}, 2);

    Query user = QueryW(1, WTSUserName);
    ASSERT_TRUE(user.ok);
    EXPECT_EQ(user.bytes.size(), 6 * sizeof(wchar_t));  // terminator included
    EXPECT_EQ(AsText(user), L"alice");
    Query nobody = QueryW(2, WTSUserName);
    ASSERT_TRUE(nobody.ok);
    EXPECT_EQ(nobody.bytes.size(), sizeof(wchar_t));
    EXPECT_EQ(AsText(QueryW(2, WTSWinStationName)), L"Console");
    EXPECT_EQ(AsText(QueryW(1, WTSWinStationName)), L"RDP-Tcp#1");
    EXPECT_EQ(AsText(QueryW(2, WTSDomainName)), L"");

    Query id = QueryW(2, WTSSessionId);
    ASSERT_EQ(id.bytes.size(), sizeof(DWORD));
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(id.bytes.data()), 2u);
    Query state = QueryW(2, WTSConnectState);
    ASSERT_EQ(state.bytes.size(), sizeof(WTS_CONNECTSTATE_CLASS));
    EXPECT_EQ(*reinterpret_cast<const WTS_CONNECTSTATE_CLASS*>(state.bytes.data()), WTSDisconnected);
    Query protocol = QueryW(1, WTSClientProtocolType);
    ASSERT_EQ(protocol.bytes.size(), sizeof(USHORT));
    EXPECT_EQ(*reinterpret_cast<const USHORT*>(protocol.bytes.data()), 2);

    // The caller's own session, as the kernel numbers it.
    DWORD own = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &own));
    Query current = QueryW(WTS_CURRENT_SESSION, WTSSessionId);
    if (own == 1 || own == 2)
    {
        ASSERT_TRUE(current.ok);
        EXPECT_EQ(*reinterpret_cast<const DWORD*>(current.bytes.data()), own);
    }
    else
    {
        EXPECT_FALSE(current.ok);
    }

    EXPECT_EQ(QueryW(9, WTSUserName).error, static_cast<DWORD>(ERROR_CTX_WINSTATION_NOT_FOUND));
    EXPECT_EQ(QueryW(1, WTSLogonTime).error, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(QueryW(1, WTSUserName, reinterpret_cast<HANDLE>(0x1234)).error, static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // The narrow variant converts.
    LPSTR narrow = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, 1, WTSUserName, &narrow, &size));
    EXPECT_EQ(std::string(narrow), "alice");
    EXPECT_EQ(size, 6u);
    WTSFreeMemory(narrow);

    // Level 1 of the extended enumeration names the users.
    struct SessionInfo1
    {
        DWORD ExecEnvId;
        WTS_CONNECTSTATE_CLASS State;
        DWORD SessionId;
        LPWSTR pSessionName, pHostName, pUserName, pDomainName, pFarmName;
    };
    using EnumerateEx = BOOL(WINAPI*)(HANDLE, DWORD*, DWORD, SessionInfo1**, DWORD*);
    using FreeEx = BOOL(WINAPI*)(int, PVOID, ULONG);
    auto enumerateEx = Export<EnumerateEx>("WTSEnumerateSessionsExW");
    auto freeEx = Export<FreeEx>("WTSFreeMemoryExW");
    ASSERT_NE(enumerateEx, nullptr);
    ASSERT_NE(freeEx, nullptr);
    DWORD level = 1, count = 0;
    SessionInfo1* info = nullptr;
    ASSERT_TRUE(enumerateEx(WTS_CURRENT_SERVER_HANDLE, &level, 0, &info, &count));
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(info[0].SessionId, 1u);
    EXPECT_EQ(std::wstring(info[0].pUserName), L"alice");
    EXPECT_EQ(std::wstring(info[0].pSessionName), L"RDP-Tcp#1");
    EXPECT_EQ(info[1].pUserName, nullptr);
    EXPECT_EQ(info[1].State, WTSDisconnected);
    EXPECT_TRUE(freeEx(2 /* WTSTypeSessionInfoLevel1 */, info, count));
    level = 2;
    EXPECT_FALSE(enumerateEx(WTS_CURRENT_SERVER_HANDLE, &level, 0, &info, &count));

    // A user token only for a session with a user.
    HANDLE token = nullptr;
    EXPECT_TRUE(WTSQueryUserToken(1, &token));
    EXPECT_NE(token, nullptr);
    if (token != nullptr)
        CloseHandle(token);
    SetLastError(0);
    EXPECT_FALSE(WTSQueryUserToken(2, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

TEST_F(SimSessionTest, ConsoleUserNameComesFromTheKernelsConsoleSession)
{
    // WTSGetActiveConsoleSessionId is the kernel's: the stand-in can only
    // name the user of whatever session number it reports.
    const DWORD console = WTSGetActiveConsoleSessionId();
    if (console == Groundwork::kNoSession)
    {
        EXPECT_EQ(Groundwork::GetConsoleUserName(), L"UNKNOWN");
        return;
    }
    Configure({{console, WTSActive, L"erin"}});
    EXPECT_EQ(Groundwork::GetConsoleUserName(), L"erin");
    Configure({{console, WTSConnected, nullptr}});  // nobody logged on
    EXPECT_EQ(Groundwork::GetConsoleUserName(), L"UNKNOWN");
    Configure({{console + 1, WTSActive, L"frank"}});  // no such session
    EXPECT_EQ(Groundwork::GetConsoleUserName(), L"UNKNOWN");
}

TEST_F(SimSessionTest, InvalidConfigurationIsRefusedOrReportedNeverReadAsNoSessions)
{
    const VantuSimWtsSession badState{1, 10, L"x"};
    EXPECT_EQ(api.SetSessions(&badState, 1, 1), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(api.SetSessions(nullptr, 2, 1), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    uint32_t id = 0;
    EXPECT_TRUE(Groundwork::GetActiveSessionId(id));  // configuration unchanged
    EXPECT_EQ(id, 1u);

    // A value written by hand that the stand-in cannot read fails the calls.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VantuSim\\Wtsapi32", 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t broken[] = L"1,0,alice\0two,0,bob\0";
    EXPECT_EQ(RegSetValueExW(key, L"Sessions", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(broken), sizeof(broken)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    SetLastError(0);
    EXPECT_FALSE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(Groundwork::GetActiveSessionId(id));

    // Wrong arguments, as Windows refuses them.
    ASSERT_EQ(api.Reset(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 2, &sessions, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, nullptr, &count));
}

// --- Other programs of the prefix ------------------------------------------

std::wstring OwnFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

// Runs a program of the prefix and returns what it printed, or "<failed>".
std::string RunAndCapture(const std::wstring& commandLine, DWORD& exitCode)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return "<failed>";
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::wstring mutableLine = commandLine;
    // Detached: no console of its own, so no console host that would
    // inherit the pipe and keep it open after the program ends.
    const BOOL started = CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                                        nullptr, &startup, &process);
    CloseHandle(writeEnd);
    std::string output;
    if (started)
    {
        // The output is a few lines: it fits the pipe, so read it once the
        // program has ended.
        if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &exitCode);
        DWORD available = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0)
        {
            char chunk[512];
            DWORD read = 0;
            if (!ReadFile(readEnd, chunk, sizeof(chunk), &read, nullptr) || read == 0)
                break;
            output.append(chunk, read);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(readEnd);
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());  // text-mode line ends
    return started ? output : "<failed>";
}

TEST_F(SimSessionTest, EveryProgramOfThePrefixSeesTheSameSessions)
{
    Configure({{0, WTSDisconnected, nullptr}, {4, WTSActive, L"grace"}, {5, WTSDisconnected, L"heidi"}}, 4);
    DWORD exitCode = 99;
    const std::string output = RunAndCapture(L"\"" + OwnFolder() + L"sim-session-probe.exe\"", exitCode);
    EXPECT_EQ(exitCode, 0u) << output;
    std::string expected = "module=C:\\windows\\system32\\wtsapi32.dll\n"
                           "session=0,4,Services,\n"
                           "session=4,0,Console,grace\n"
                           "session=5,4,RDP-Tcp#5,heidi\n"
                           "shell=ok\n"
                           "winrt=ok\n";
    std::string normalized = output;
    // Wine may report the folder in either case.
    std::transform(normalized.begin(), normalized.begin() + std::min<size_t>(normalized.find('\n'), normalized.size()),
                   normalized.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    std::transform(expected.begin(), expected.begin() + expected.find('\n'), expected.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_EQ(normalized, expected);

    ASSERT_EQ(api.FailCall("WTSEnumerateSessionsW", ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_SUCCESS));
    const std::string failing = RunAndCapture(L"\"" + OwnFolder() + L"sim-session-probe.exe\"", exitCode);
    EXPECT_NE(failing.find("enumerate-error=5\n"), std::string::npos) << failing;

    // A stock program of the prefix still starts and runs.
    exitCode = 0;
    RunAndCapture(L"C:\\windows\\system32\\cmd.exe /c exit 7", exitCode);
    EXPECT_EQ(exitCode, 7u);
}

// --- Importers of WTSAPI32 in the prefix -----------------------------------

// Names a PE file imports (directly or delay-loaded) from any of these
// DLLs; ordinals as "#<n>".
std::vector<std::string> ImportsFrom(const std::wstring& file, std::initializer_list<const char*> dlls)
{
    std::vector<std::string> names;
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return names;
    LARGE_INTEGER size{};
    std::vector<unsigned char> image;
    if (GetFileSizeEx(handle, &size) && size.QuadPart < (256 << 20))
    {
        image.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(handle, image.data(), static_cast<DWORD>(image.size()), &read, nullptr) || read != image.size())
            image.clear();
    }
    CloseHandle(handle);
    auto at = [&](size_t offset, size_t length) { return offset + length <= image.size(); };
    if (!at(0, sizeof(IMAGE_DOS_HEADER)))
        return names;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || !at(dos->e_lfanew, sizeof(IMAGE_NT_HEADERS64)))
        return names;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return names;
    const auto* sections = IMAGE_FIRST_SECTION(nt);
    auto offsetOf = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i)
            if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + sections[i].SizeOfRawData)
                return rva - sections[i].VirtualAddress + sections[i].PointerToRawData;
        return static_cast<size_t>(-1);
    };
    auto text = [&](DWORD rva) -> std::string {
        size_t offset = offsetOf(rva);
        std::string s;
        while (offset < image.size() && image[offset] != 0)
            s += static_cast<char>(image[offset++]);
        return s;
    };
    auto wanted = [&](DWORD nameRva) {
        const std::string name = text(nameRva);
        return std::any_of(dlls.begin(), dlls.end(), [&](const char* dll) { return _stricmp(name.c_str(), dll) == 0; });
    };
    auto readThunks = [&](DWORD tableRva) {
        for (size_t offset = offsetOf(tableRva); at(offset, sizeof(ULONGLONG)); offset += sizeof(ULONGLONG))
        {
            const ULONGLONG thunk = *reinterpret_cast<const ULONGLONG*>(image.data() + offset);
            if (thunk == 0)
                break;
            if (IMAGE_SNAP_BY_ORDINAL64(thunk))
                names.push_back("#" + std::to_string(IMAGE_ORDINAL64(thunk)));
            else
                names.push_back(text(static_cast<DWORD>(thunk) + 2));
        }
    };
    const auto& directories = nt->OptionalHeader.DataDirectory;
    for (size_t offset = offsetOf(directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
         directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress != 0 && at(offset, sizeof(IMAGE_IMPORT_DESCRIPTOR));
         offset += sizeof(IMAGE_IMPORT_DESCRIPTOR))
    {
        const auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + offset);
        if (descriptor->Name == 0)
            break;
        if (wanted(descriptor->Name))
            readThunks(descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk : descriptor->FirstThunk);
    }
    for (size_t offset = offsetOf(directories[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].VirtualAddress);
         directories[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].VirtualAddress != 0 &&
         at(offset, sizeof(IMAGE_DELAYLOAD_DESCRIPTOR));
         offset += sizeof(IMAGE_DELAYLOAD_DESCRIPTOR))
    {
        const auto* descriptor = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(image.data() + offset);
        if (descriptor->DllNameRVA == 0)
            break;
        if (wanted(descriptor->DllNameRVA))
            readThunks(descriptor->ImportNameTableRVA);
    }
    return names;
}

TEST_F(SimSessionTest, EveryImportOfWtsapiInThePrefixIsExported)
{
    // A program of the prefix that imports a WTSAPI32 function the stand-in
    // lacks would no longer load at all.
    const std::wstring system = L"C:\\windows\\system32\\";
    size_t scanned = 0;
    std::set<std::string> imported;
    for (const wchar_t* pattern : {L"*.dll", L"*.exe"})
    {
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((system + pattern).c_str(), &found);
        ASSERT_NE(search, INVALID_HANDLE_VALUE);
        do
        {
            if (Lower(found.cFileName) == L"wtsapi32.dll")
                continue;
            ++scanned;
            // Directly, or through the API sets that resolve to WTSAPI32.
            for (const std::string& name :
                 ImportsFrom(system + found.cFileName, {"wtsapi32.dll", "ext-ms-win-session-wtsapi32-l1-1-0.dll",
                                                        "ext-ms-win-session-usertoken-l1-1-0.dll"}))
                imported.insert(name);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    EXPECT_GT(scanned, 100u);
    // The test's own import table is checked the same way: it imports
    // several WTSAPI32 functions itself.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::vector<std::string> own = ImportsFrom(self, {"wtsapi32.dll"});
    EXPECT_GE(own.size(), 4u);
    imported.insert(own.begin(), own.end());
    for (const std::string& name : imported)
        EXPECT_NE(GetProcAddress(SystemWtsapi(), name.c_str()), nullptr) << name;
}

}  // namespace
