// Helpers for the transport tests: the product's statistics values, and the
// reference services run as a separate process.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ipc/PipeName.h"
#include "ipc/ipc_common.h"
#include "ipc/ipc_stats_collector.h"
#include "platform/CObfuscatedRegKey.h"
#include "platform/CRegKey.h"
#include "platform/ProductRegistry.h"
#include "support/ChildProcess.h"
#include "support/ProductKey.h"
#include "support/TestFiles.h"

namespace ipctest {

using testsupport::ChildProcess;

constexpr REGSAM kWrite = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

// Open handles of this process. Wine's GetProcessHandleCount says 0, so
// every handle value is asked about.
inline DWORD OpenHandleCount()
{
    DWORD count = 0;
    DWORD flags = 0;
    for (uintptr_t value = 4; value < 0x40000; value += 4)
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    return count;
}

// "ipc_stats_enabled": a value, or absent.
inline void SetStatsSwitch(std::optional<DWORD> value)
{
    if (value)
        testsupport::SetProductValue(ipc::ipc_stats_collector::kEnabledValue, *value);
    else
        testsupport::DeleteProductValue(ipc::ipc_stats_collector::kEnabledValue);
}

inline bool OpenStats(Groundwork::CRegKey& key)
{
    return key.Open(HKEY_LOCAL_MACHINE, ipc::ipc_stats_collector::StatsKeyPath().c_str(), KEY_READ | KEY_WOW64_64KEY) ==
           ERROR_SUCCESS;
}

inline bool StatsKeyExists()
{
    Groundwork::CRegKey key;
    return OpenStats(key);
}

inline std::optional<ULONGLONG> ReadStat(const std::wstring& name)
{
    Groundwork::CRegKey key;
    ULONGLONG value = 0;
    if (!OpenStats(key) || key.QueryQWORDValue(name.c_str(), value) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

// Names of all values under the statistics key.
inline std::vector<std::wstring> StatNames()
{
    std::vector<std::wstring> names;
    Groundwork::CRegKey key;
    wchar_t name[512];
    if (OpenStats(key))
        for (DWORD i = 0, chars = 512;
             RegEnumValueW(key.Handle(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             ++i, chars = 512)
            names.emplace_back(name, chars);
    return names;
}

// The product's statistics as an installed product has them: the product
// key present (an earlier test may have deleted it), switch absent, no
// statistics key.
class StatsSandbox
{
public:
    StatsSandbox() { Reset(); }
    ~StatsSandbox() { Reset(); }
    static void Reset()
    {
        Groundwork::CRegKey product;
        testsupport::OpenProductKey(product);
        SetStatsSwitch(std::nullopt);
        testsupport::DeleteProductSubkey(L"IPC_Stats");
    }
};

// Sealed pipe names under the Servers key.
inline bool RegisterPipeName(const std::wstring& service, const std::wstring& path)
{
    Groundwork::CObfuscatedRegKey key;
    return key.Create(HKEY_LOCAL_MACHINE, ipc::kServersKeyPath, nullptr, REG_OPTION_NON_VOLATILE, kWrite) ==
               ERROR_SUCCESS &&
           key.SetStringValue(service.c_str(), path.c_str()) == ERROR_SUCCESS;
}

inline void ClearPipeNames() { testsupport::DeleteProductSubkey(L"Servers"); }

// The reference services as a separate process: started with a ready file
// and a stop event of its own, stopped (or killed) by the test.
class ServicesProcess
{
public:
    ServicesProcess()
    {
        static int counter = 0;
        m_stopName =
            L"vantu-services-stop-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    }
    ~ServicesProcess() { Stop(); }

    // Starts with `arguments` and waits until every pipe listens;
    // `beforeRun` is given the process ID before the program runs.
    bool Start(const std::wstring& arguments, const std::function<void(DWORD)>& beforeRun = nullptr)
    {
        Stop();
        m_readyFile = m_dir / (L"ready-" + std::to_wstring(++m_starts) + L".txt");
        m_stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, m_stopName.c_str()));
        // After a clean Stop the named event may still exist, set: a new
        // program would see it and end at once.
        ResetEvent(m_stopEvent.get());
        // VANTU_SERVICES_VERBOSE=1 shows what the services do, for debugging.
        const bool verbose = GetEnvironmentVariableW(L"VANTU_SERVICES_VERBOSE", nullptr, 0) != 0;
        if (!m_process.Launch(L"pathwarden-services.exe",
                              L"--ready-file \"" + m_readyFile + L"\" --stop-event " + m_stopName +
                                  (verbose ? L" --verbose " : L" ") + arguments,
                              L"", beforeRun != nullptr))
            return false;
        if (beforeRun)
        {
            beforeRun(m_process.Id());
            if (!m_process.Resume())
                return false;
        }
        // The file is moved into place whole; it may still be mid-move when
        // first seen, so it is read until it names the ready time. The wait
        // on the process doubles as the poll interval.
        const ULONGLONG deadline = GetTickCount64() + 60000;
        while (testsupport::ReadFileBytes(m_readyFile).find("ready_ticks=") == std::string::npos)
            if (GetTickCount64() > deadline || WaitForSingleObject(m_process.Handle(), 5) != WAIT_TIMEOUT)
                return false;
        return true;
    }
    // Asks the program to end and waits for it.
    void Stop()
    {
        if (!m_process.Running())
            return;
        SetEvent(m_stopEvent.get());
        if (!m_process.Wait(30000))
            m_process.Kill();
    }
    // Ends the program at once, as a crash would.
    void Kill() { m_process.Kill(); }
    bool Running() const { return m_process.Running(); }
    std::wstring File(const std::wstring& name) const { return m_dir / name; }

private:
    testsupport::TempDir m_dir;
    std::wstring m_stopName;
    std::wstring m_readyFile;
    int m_starts = 0;
    ipc::ScopedHandle m_stopEvent;
    ChildProcess m_process;
};

}  // namespace ipctest
