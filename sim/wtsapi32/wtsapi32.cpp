// WTSAPI32.dll of the test prefix: Remote Desktop Services session functions
// answered from a configuration in the prefix's registry (VantuSimWts.h).
#include <windows.h>
#include <lmcons.h>
#include <wtsapi32.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/ScopedHandle.h"
#include "sim/wtsapi32/SessionConfig.h"
#include "sim/wtsapi32/VantuSimWts.h"

using VantuSim::SimSession;

// Exports that mingw-w64's wtsapi32.h does not declare.
extern "C" {

typedef enum VantuWtsTypeClass {
    VantuWtsTypeProcessInfoLevel0 = 0,
    VantuWtsTypeProcessInfoLevel1 = 1,
    VantuWtsTypeSessionInfoLevel1 = 2,
} VantuWtsTypeClass;

typedef struct VantuWtsSessionInfo1W {
    DWORD ExecEnvId;
    WTS_CONNECTSTATE_CLASS State;
    DWORD SessionId;
    LPWSTR pSessionName;
    LPWSTR pHostName;
    LPWSTR pUserName;
    LPWSTR pDomainName;
    LPWSTR pFarmName;
} VantuWtsSessionInfo1W;

typedef struct VantuWtsSessionInfo1A {
    DWORD ExecEnvId;
    WTS_CONNECTSTATE_CLASS State;
    DWORD SessionId;
    LPSTR pSessionName;
    LPSTR pHostName;
    LPSTR pUserName;
    LPSTR pDomainName;
    LPSTR pFarmName;
} VantuWtsSessionInfo1A;

WINBOOL WINAPI WTSEnumerateSessionsExW(HANDLE server, DWORD* level, DWORD filter, VantuWtsSessionInfo1W** info,
                                       DWORD* count);
WINBOOL WINAPI WTSEnumerateSessionsExA(HANDLE server, DWORD* level, DWORD filter, VantuWtsSessionInfo1A** info,
                                       DWORD* count);
WINBOOL WINAPI WTSEnumerateProcessesExW(HANDLE server, DWORD* level, DWORD sessionId, LPWSTR* info, DWORD* count);
WINBOOL WINAPI WTSEnumerateProcessesExA(HANDLE server, DWORD* level, DWORD sessionId, LPSTR* info, DWORD* count);
WINBOOL WINAPI WTSFreeMemoryExW(VantuWtsTypeClass type, PVOID memory, ULONG count);
WINBOOL WINAPI WTSFreeMemoryExA(VantuWtsTypeClass type, PVOID memory, ULONG count);
HANDLE WINAPI WTSOpenServerExW(LPWSTR serverName);
HANDLE WINAPI WTSOpenServerExA(LPSTR serverName);
WINBOOL WINAPI WTSEnableChildSessions(WINBOOL enable);
WINBOOL WINAPI WTSSetSessionInformationW(HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass, LPWSTR buffer,
                                         DWORD length);
WINBOOL WINAPI WTSSetSessionInformationA(HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass, LPSTR buffer,
                                         DWORD length);

DWORD WINAPI VantuSimWts_SetSessions(const VantuSimWtsSession* sessions, DWORD count, DWORD consoleSessionId);
DWORD WINAPI VantuSimWts_FailCall(const char* functionName, DWORD error);
DWORD WINAPI VantuSimWts_Reset(void);

}  // extern "C"

namespace {

constexpr wchar_t kConfigKey[] = L"SOFTWARE\\VantuSim\\Wtsapi32";
constexpr wchar_t kFailuresKey[] = L"SOFTWARE\\VantuSim\\Wtsapi32\\Failures";
constexpr uint32_t kDefaultConsoleSession = 1;

using RegKey = Groundwork::RegistryKey;

struct Config
{
    std::vector<SimSession> sessions;
    uint32_t consoleSession = kDefaultConsoleSession;
};

std::wstring ProcessUserName()
{
    wchar_t name[UNLEN + 1] = {};
    DWORD length = UNLEN + 1;
    if (!GetUserNameW(name, &length))
        return std::wstring();
    return name;
}

// ERROR_SUCCESS, or the error to fail the call with.
DWORD LoadConfig(Config& config)
{
    config = Config{};
    RegKey key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put());
    DWORD bytes = 0;
    if (status == ERROR_SUCCESS)
        status = RegGetValueW(key.get(), nullptr, L"Sessions", RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &bytes);
    if (status == ERROR_FILE_NOT_FOUND)
    {
        config.sessions.push_back(SimSession{1, VantuSim::kWtsActive, ProcessUserName()});
    }
    else if (status != ERROR_SUCCESS)
    {
        return status;
    }
    else
    {
        std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, L'\0');
        bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        status = RegGetValueW(key.get(), nullptr, L"Sessions", RRF_RT_REG_MULTI_SZ, nullptr, data.data(), &bytes);
        if (status != ERROR_SUCCESS)
            return status;
        for (const std::wstring& entry : VantuSim::SplitMultiString(data.data(), bytes / sizeof(wchar_t)))
        {
            SimSession session;
            if (!VantuSim::ParseSession(entry, session))
                return ERROR_INVALID_DATA;  // a broken configuration must not look like "no sessions"
            config.sessions.push_back(std::move(session));
        }
    }
    DWORD console = kDefaultConsoleSession;
    bytes = sizeof(console);
    if (key.get() != nullptr &&
        RegGetValueW(key.get(), nullptr, L"ConsoleSession", RRF_RT_REG_DWORD, nullptr, &console, &bytes) ==
            ERROR_SUCCESS)
        config.consoleSession = console;
    return ERROR_SUCCESS;
}

// The error configured for this export, or ERROR_SUCCESS.
DWORD InjectedFailure(const char* function)
{
    std::wstring name;
    for (const char* c = function; *c != '\0'; ++c)
        name += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = sizeof(error);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kFailuresKey, name.c_str(), RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY,
                     nullptr, &error, &bytes) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    return error;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Every implemented export starts here: the injected failure, then the
// configuration.
bool Begin(const char* function, HANDLE server, Config& config)
{
    DWORD error = InjectedFailure(function);
    if (error == ERROR_SUCCESS && server != WTS_CURRENT_SERVER_HANDLE)
        error = ERROR_INVALID_HANDLE;  // only the local server is simulated
    if (error == ERROR_SUCCESS)
        error = LoadConfig(config);
    if (error != ERROR_SUCCESS)
    {
        SetLastError(error);
        return false;
    }
    return true;
}

const SimSession* FindSession(const Config& config, DWORD sessionId)
{
    if (sessionId == WTS_CURRENT_SESSION && !ProcessIdToSessionId(GetCurrentProcessId(), &sessionId))
        return nullptr;
    for (const SimSession& session : config.sessions)
        if (session.id == sessionId)
            return &session;
    return nullptr;
}

std::wstring DomainName(const SimSession& session)
{
    if (session.userName.empty())
        return std::wstring();
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &length) ? std::wstring(name) : std::wstring();
}

template <typename Char>
std::basic_string<Char> Text(const std::wstring& text);

template <>
std::wstring Text<wchar_t>(const std::wstring& text)
{
    return text;
}

template <>
std::string Text<char>(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &result[0], bytes, nullptr, nullptr);
    return result;
}

// One LocalAlloc block holding `count` records followed by the strings they
// point to, so that WTSFreeMemory frees it with one LocalFree.
template <typename Record, typename Char>
class Block
{
public:
    Block(size_t count, const std::vector<std::basic_string<Char>>& strings)
    {
        size_t bytes = count * sizeof(Record);
        for (const auto& s : strings)
            bytes += (s.size() + 1) * sizeof(Char);
        m_memory.reset(static_cast<unsigned char*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, bytes == 0 ? 1 : bytes)));
        m_next = reinterpret_cast<Char*>(m_memory.get() + count * sizeof(Record));
    }

    bool Valid() const { return m_memory.valid(); }
    Record* Records() { return reinterpret_cast<Record*>(m_memory.get()); }
    Char* Put(const std::basic_string<Char>& s)
    {
        Char* at = m_next;
        std::memcpy(at, s.c_str(), (s.size() + 1) * sizeof(Char));
        m_next += s.size() + 1;
        return at;
    }
    void* Release() { return m_memory.release(); }

private:
    Groundwork::LocalMemory<unsigned char*> m_memory;
    Char* m_next = nullptr;
};

template <typename Char, typename Info>
BOOL EnumerateSessions(const char* function, HANDLE server, DWORD reserved, DWORD version, Info** info, DWORD* count)
{
    Config config;
    if (!Begin(function, server, config))
        return FALSE;
    if (reserved != 0 || version != 1 || info == nullptr || count == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::vector<std::basic_string<Char>> names;
    names.reserve(config.sessions.size());
    for (const SimSession& session : config.sessions)
        names.push_back(Text<Char>(VantuSim::StationName(session.id, config.consoleSession)));
    Block<Info, Char> block(config.sessions.size(), names);
    if (!block.Valid())
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    for (size_t i = 0; i < config.sessions.size(); ++i)
    {
        block.Records()[i].SessionId = config.sessions[i].id;
        block.Records()[i].pWinStationName = block.Put(names[i]);
        block.Records()[i].State = static_cast<WTS_CONNECTSTATE_CLASS>(config.sessions[i].state);
    }
    *count = static_cast<DWORD>(config.sessions.size());
    *info = static_cast<Info*>(block.Release());
    return TRUE;
}

template <typename Char, typename Info>
BOOL EnumerateSessionsEx(const char* function, HANDLE server, DWORD* level, DWORD filter, Info** info, DWORD* count)
{
    Config config;
    if (!Begin(function, server, config))
        return FALSE;
    if (level == nullptr || *level != 1 || filter != 0 || info == nullptr || count == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::vector<std::basic_string<Char>> strings;
    for (const SimSession& session : config.sessions)
    {
        strings.push_back(Text<Char>(VantuSim::StationName(session.id, config.consoleSession)));
        strings.push_back(Text<Char>(session.userName));
        strings.push_back(Text<Char>(DomainName(session)));
    }
    Block<Info, Char> block(config.sessions.size(), strings);
    if (!block.Valid())
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    for (size_t i = 0; i < config.sessions.size(); ++i)
    {
        Info& record = block.Records()[i];
        record.ExecEnvId = config.sessions[i].id;
        record.State = static_cast<WTS_CONNECTSTATE_CLASS>(config.sessions[i].state);
        record.SessionId = config.sessions[i].id;
        record.pSessionName = block.Put(strings[3 * i]);
        record.pHostName = nullptr;
        record.pUserName = strings[3 * i + 1].empty() ? nullptr : block.Put(strings[3 * i + 1]);
        record.pDomainName = strings[3 * i + 2].empty() ? nullptr : block.Put(strings[3 * i + 2]);
        record.pFarmName = nullptr;
    }
    *count = static_cast<DWORD>(config.sessions.size());
    *info = static_cast<Info*>(block.Release());
    return TRUE;
}

template <typename Value>
BOOL ReturnValue(const Value& value, void** buffer, DWORD* bytes)
{
    void* memory = LocalAlloc(LMEM_FIXED, sizeof(Value));
    if (memory == nullptr)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(memory, &value, sizeof(Value));
    *buffer = memory;
    *bytes = sizeof(Value);
    return TRUE;
}

template <typename Char>
BOOL ReturnText(const std::wstring& text, void** buffer, DWORD* bytes)
{
    const std::basic_string<Char> converted = Text<Char>(text);
    const size_t size = (converted.size() + 1) * sizeof(Char);
    void* memory = LocalAlloc(LMEM_FIXED, size);
    if (memory == nullptr)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(memory, converted.c_str(), size);
    *buffer = memory;
    *bytes = static_cast<DWORD>(size);
    return TRUE;
}

template <typename Char>
BOOL QuerySessionInformation(const char* function, HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass,
                             Char** buffer, DWORD* bytes)
{
    Config config;
    if (!Begin(function, server, config))
        return FALSE;
    if (buffer == nullptr || bytes == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *buffer = nullptr;
    *bytes = 0;
    const SimSession* session = FindSession(config, sessionId);
    if (session == nullptr)
        return Fail(ERROR_CTX_WINSTATION_NOT_FOUND);
    void** out = reinterpret_cast<void**>(buffer);
    switch (infoClass)
    {
    case WTSSessionId:
        return ReturnValue<DWORD>(session->id, out, bytes);
    case WTSUserName:
        return ReturnText<Char>(session->userName, out, bytes);
    case WTSWinStationName:
        return ReturnText<Char>(VantuSim::StationName(session->id, config.consoleSession), out, bytes);
    case WTSDomainName:
        return ReturnText<Char>(DomainName(*session), out, bytes);
    case WTSConnectState:
        return ReturnValue<WTS_CONNECTSTATE_CLASS>(static_cast<WTS_CONNECTSTATE_CLASS>(session->state), out, bytes);
    case WTSClientProtocolType:
        return ReturnValue<USHORT>(session->id == config.consoleSession ? 0 : 2, out, bytes);
    default:
        return Fail(ERROR_NOT_SUPPORTED);
    }
}

// Win32 errors of the control functions.
DWORD WriteConfigValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
{
    RegKey key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    return RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes);
}

}  // namespace

// ---------------------------------------------------------------------------
// Implemented exports
// ---------------------------------------------------------------------------
WINBOOL WINAPI WTSEnumerateSessionsW(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW* info,
                                     DWORD* count)
{
    return EnumerateSessions<wchar_t>("WTSEnumerateSessionsW", server, reserved, version, info, count);
}

WINBOOL WINAPI WTSEnumerateSessionsA(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOA* info,
                                     DWORD* count)
{
    return EnumerateSessions<char>("WTSEnumerateSessionsA", server, reserved, version, info, count);
}

WINBOOL WINAPI WTSEnumerateSessionsExW(HANDLE server, DWORD* level, DWORD filter, VantuWtsSessionInfo1W** info,
                                       DWORD* count)
{
    return EnumerateSessionsEx<wchar_t>("WTSEnumerateSessionsExW", server, level, filter, info, count);
}

WINBOOL WINAPI WTSEnumerateSessionsExA(HANDLE server, DWORD* level, DWORD filter, VantuWtsSessionInfo1A** info,
                                       DWORD* count)
{
    return EnumerateSessionsEx<char>("WTSEnumerateSessionsExA", server, level, filter, info, count);
}

WINBOOL WINAPI WTSQuerySessionInformationW(HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass, LPWSTR* buffer,
                                           DWORD* bytes)
{
    return QuerySessionInformation<wchar_t>("WTSQuerySessionInformationW", server, sessionId, infoClass, buffer,
                                            bytes);
}

WINBOOL WINAPI WTSQuerySessionInformationA(HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass, LPSTR* buffer,
                                           DWORD* bytes)
{
    return QuerySessionInformation<char>("WTSQuerySessionInformationA", server, sessionId, infoClass, buffer, bytes);
}

VOID WINAPI WTSFreeMemory(PVOID memory)
{
    if (memory != nullptr)
        LocalFree(memory);
}

WINBOOL WINAPI WTSFreeMemoryExW(VantuWtsTypeClass, PVOID memory, ULONG)
{
    WTSFreeMemory(memory);
    return TRUE;
}

WINBOOL WINAPI WTSFreeMemoryExA(VantuWtsTypeClass, PVOID memory, ULONG)
{
    WTSFreeMemory(memory);
    return TRUE;
}

WINBOOL WINAPI WTSQueryUserToken(ULONG sessionId, PHANDLE token)
{
    Config config;
    if (!Begin("WTSQueryUserToken", WTS_CURRENT_SERVER_HANDLE, config))
        return FALSE;
    if (token == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *token = nullptr;
    const SimSession* session = FindSession(config, sessionId);
    if (session == nullptr || session->userName.empty())
        return Fail(ERROR_NO_TOKEN);
    Groundwork::ScopedHandle own;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, own.put()))
        return FALSE;
    const BOOL duplicated =
        DuplicateTokenEx(own.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, token);
    const DWORD error = GetLastError();
    own.reset();
    SetLastError(error);
    return duplicated;
}

WINBOOL WINAPI WTSEnumerateProcessesW(HANDLE, DWORD, DWORD, PWTS_PROCESS_INFOW* info, DWORD* count)
{
    if (info == nullptr || count == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *info = nullptr;
    *count = 0;
    return TRUE;
}

WINBOOL WINAPI WTSEnumerateProcessesA(HANDLE, DWORD, DWORD, PWTS_PROCESS_INFOA* info, DWORD* count)
{
    if (info == nullptr || count == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *info = nullptr;
    *count = 0;
    return TRUE;
}

WINBOOL WINAPI WTSEnumerateProcessesExW(HANDLE, DWORD* level, DWORD, LPWSTR* info, DWORD* count)
{
    if (level == nullptr || info == nullptr || count == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *info = nullptr;
    *count = 0;
    return TRUE;
}

WINBOOL WINAPI WTSEnumerateProcessesExA(HANDLE, DWORD* level, DWORD, LPSTR* info, DWORD* count)
{
    if (level == nullptr || info == nullptr || count == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *info = nullptr;
    *count = 0;
    return TRUE;
}

WINBOOL WINAPI WTSRegisterSessionNotification(HWND, DWORD) { return TRUE; }
WINBOOL WINAPI WTSUnRegisterSessionNotification(HWND) { return TRUE; }
WINBOOL WTSRegisterSessionNotificationEx(HANDLE, HWND, DWORD) { return TRUE; }
WINBOOL WINAPI WTSUnRegisterSessionNotificationEx(HANDLE, HWND) { return TRUE; }

// ---------------------------------------------------------------------------
// Exports that exist so that importers load, and do nothing.
// ---------------------------------------------------------------------------
VOID WINAPI WTSCloseServer(HANDLE) {}
HANDLE WINAPI WTSOpenServerW(LPWSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}
HANDLE WINAPI WTSOpenServerA(LPSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}
HANDLE WINAPI WTSOpenServerExW(LPWSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}
HANDLE WINAPI WTSOpenServerExA(LPSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}
HANDLE WINAPI WTSVirtualChannelOpen(HANDLE, DWORD, LPSTR)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}
HANDLE WINAPI WTSVirtualChannelOpenEx(DWORD, LPSTR, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}
WINBOOL WINAPI WTSConnectSessionA(ULONG, ULONG, PSTR, WINBOOL) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSConnectSessionW(ULONG, ULONG, PWSTR, WINBOOL) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSDisconnectSession(HANDLE, DWORD, WINBOOL) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSEnableChildSessions(WINBOOL) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSEnumerateServersW(LPWSTR, DWORD, DWORD, PWTS_SERVER_INFOW*, DWORD*)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINBOOL WINAPI WTSEnumerateServersA(LPSTR, DWORD, DWORD, PWTS_SERVER_INFOA*, DWORD*)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINBOOL WINAPI WTSLogoffSession(HANDLE, DWORD, WINBOOL) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSQueryUserConfigW(LPWSTR, LPWSTR, WTS_CONFIG_CLASS, LPWSTR*, DWORD*)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINBOOL WINAPI WTSQueryUserConfigA(LPSTR, LPSTR, WTS_CONFIG_CLASS, LPSTR*, DWORD*)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINBOOL WINAPI WTSSetUserConfigW(LPWSTR, LPWSTR, WTS_CONFIG_CLASS, LPWSTR, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINBOOL WINAPI WTSSetUserConfigA(LPSTR, LPSTR, WTS_CONFIG_CLASS, LPSTR, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINBOOL WINAPI WTSSetSessionInformationW(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINBOOL WINAPI WTSSetSessionInformationA(HANDLE, DWORD, WTS_INFO_CLASS, LPSTR, DWORD)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINBOOL WINAPI WTSSendMessageW(HANDLE, DWORD, LPWSTR, DWORD, LPWSTR, DWORD, DWORD, DWORD, DWORD*, WINBOOL)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINBOOL WINAPI WTSSendMessageA(HANDLE, DWORD, LPSTR, DWORD, LPSTR, DWORD, DWORD, DWORD, DWORD*, WINBOOL)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
WINBOOL WINAPI WTSShutdownSystem(HANDLE, DWORD) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSStartRemoteControlSessionW(LPWSTR, ULONG, BYTE, USHORT) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSStartRemoteControlSessionA(LPSTR, ULONG, BYTE, USHORT) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSStopRemoteControlSession(ULONG) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSTerminateProcess(HANDLE, DWORD, DWORD) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSWaitSystemEvent(HANDLE, DWORD, DWORD*) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSVirtualChannelClose(HANDLE) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSVirtualChannelRead(HANDLE, ULONG, PCHAR, ULONG, PULONG) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSVirtualChannelWrite(HANDLE, PCHAR, ULONG, PULONG) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSVirtualChannelPurgeInput(HANDLE) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSVirtualChannelPurgeOutput(HANDLE) { return Fail(ERROR_CALL_NOT_IMPLEMENTED); }
WINBOOL WINAPI WTSVirtualChannelQuery(HANDLE, WTS_VIRTUAL_CLASS, PVOID*, DWORD*)
{
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}

// ---------------------------------------------------------------------------
// Control API
// ---------------------------------------------------------------------------
DWORD WINAPI VantuSimWts_SetSessions(const VantuSimWtsSession* sessions, DWORD count, DWORD consoleSessionId)
{
    if (sessions == nullptr && count > 0)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::wstring> entries;
    for (DWORD i = 0; i < count; ++i)
    {
        SimSession session{sessions[i].sessionId, sessions[i].state,
                           sessions[i].userName != nullptr ? sessions[i].userName : L""};
        SimSession check;
        const std::wstring entry = VantuSim::FormatSession(session);
        if (session.state > VantuSim::kWtsMaxState || !VantuSim::ParseSession(entry, check))
            return ERROR_INVALID_PARAMETER;
        entries.push_back(entry);
    }
    const std::wstring data = VantuSim::JoinMultiString(entries);
    DWORD status = WriteConfigValue(L"ConsoleSession", REG_DWORD, &consoleSessionId, sizeof(consoleSessionId));
    if (status == ERROR_SUCCESS)
        status = WriteConfigValue(L"Sessions", REG_MULTI_SZ, data.data(),
                                  static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    return status;
}

DWORD WINAPI VantuSimWts_FailCall(const char* functionName, DWORD error)
{
    if (functionName == nullptr || *functionName == '\0')
        return ERROR_INVALID_PARAMETER;
    std::wstring name;
    for (const char* c = functionName; *c != '\0'; ++c)
        name += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    RegKey key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFailuresKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    if (error == ERROR_SUCCESS)
    {
        status = RegDeleteValueW(key.get(), name.c_str());
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
    return RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&error), sizeof(error));
}

DWORD WINAPI VantuSimWts_Reset(void)
{
    LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kConfigKey);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}
