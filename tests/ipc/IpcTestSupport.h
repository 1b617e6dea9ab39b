// Helpers for the transport tests: the product's statistics values, and the
// reference services run as a separate process.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "ipc/ipc_common.h"
#include "ipc/ipc_stats_collector.h"
#include "platform/CRegKey.h"
#include "platform/ProductRegistry.h"

namespace ipctest {

constexpr REGSAM kWrite = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

// Folder of the running test program (the build's bin folder).
inline std::wstring BinDir()
{
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

// "ipc_stats_enabled": a value, or absent.
inline void SetStatsSwitch(std::optional<DWORD> value)
{
    Groundwork::CRegKey key;
    if (key.Create(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, nullptr, REG_OPTION_NON_VOLATILE, kWrite) !=
        ERROR_SUCCESS)
        return;
    if (value)
        key.SetDWORDValue(ipc::ipc_stats_collector::kEnabledValue, *value);
    else
        key.DeleteValue(ipc::ipc_stats_collector::kEnabledValue);
}

inline void ClearStats()
{
    Groundwork::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, kWrite) == ERROR_SUCCESS)
        key.RecurseDeleteKey(L"IPC_Stats");
}

inline bool StatsKeyExists()
{
    Groundwork::CRegKey key;
    return key.Open(HKEY_LOCAL_MACHINE, ipc::ipc_stats_collector::StatsKeyPath().c_str(),
                    KEY_READ | KEY_WOW64_64KEY) == ERROR_SUCCESS;
}

inline std::optional<ULONGLONG> ReadStat(const std::wstring& name)
{
    Groundwork::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, ipc::ipc_stats_collector::StatsKeyPath().c_str(),
                 KEY_READ | KEY_WOW64_64KEY) != ERROR_SUCCESS)
        return std::nullopt;
    ULONGLONG value = 0;
    if (key.QueryQWORDValue(name.c_str(), value) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

// Names of all values under the statistics key.
inline std::vector<std::wstring> StatNames()
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ipc::ipc_stats_collector::StatsKeyPath().c_str(), 0,
                      KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[512];
        DWORD chars = 512;
        if (RegEnumValueW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, chars);
    }
    RegCloseKey(key);
    return names;
}

// Leaves the product's statistics as a test found them: switch absent, no key.
class StatsSandbox
{
public:
    StatsSandbox()
    {
        SetStatsSwitch(std::nullopt);
        ClearStats();
    }
    ~StatsSandbox()
    {
        SetStatsSwitch(std::nullopt);
        ClearStats();
    }
};

// Runs a program of the bin folder with arguments; owns the process.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Launch(const std::wstring& program, const std::wstring& arguments)
    {
        const std::wstring exe = BinDir() + L"\\" + program;
        std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info))
            return false;
        CloseHandle(info.hThread);
        m_process.Reset(info.hProcess);
        m_id = info.dwProcessId;
        return true;
    }
    HANDLE Handle() const { return m_process.Get(); }
    DWORD Id() const { return m_id; }
    bool Running() const { return m_process.Valid() && WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT; }
    // Exit code, or nothing if it did not end within `ms`.
    std::optional<DWORD> Wait(DWORD ms)
    {
        if (!m_process.Valid() || WaitForSingleObject(m_process.Get(), ms) != WAIT_OBJECT_0)
            return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(m_process.Get(), &code);
        return code;
    }
    void Kill()
    {
        if (Running())
        {
            TerminateProcess(m_process.Get(), 99);
            WaitForSingleObject(m_process.Get(), 30000);
        }
    }

private:
    ipc::ScopedHandle m_process;
    DWORD m_id = 0;
};

}  // namespace ipctest
