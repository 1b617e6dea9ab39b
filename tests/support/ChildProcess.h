// A program of the build's bin folder run as a child process by a test.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "platform/ScopedHandle.h"

namespace testsupport {

// Folder of the running test program (the build's bin folder).
inline std::wstring BinDir()
{
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

// Runs a program of the bin folder with arguments; owns the process.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // With `outputFile`, the program's standard output and error go there.
    // A `suspended` program runs once Resume is called.
    bool Launch(const std::wstring& program, const std::wstring& arguments, const std::wstring& outputFile = L"",
                bool suspended = false)
    {
        const std::wstring exe = BinDir() + L"\\" + program;
        std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        Groundwork::ScopedHandle output;
        if (!outputFile.empty())
        {
            SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
            output.reset(CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     CREATE_ALWAYS, 0, nullptr));
            if (!output.valid())
                return false;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = output.get();
            startup.hStdError = output.get();
        }
        PROCESS_INFORMATION info{};
        // Wine 8 now and then refuses a process start with
        // ERROR_INTERNAL_ERROR when the machine is busy: tried once more.
        for (int attempt = 0; attempt < 2; ++attempt)
        {
            if (CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, output.valid(),
                               suspended ? CREATE_SUSPENDED : 0, nullptr, nullptr, &startup, &info))
            {
                m_thread.reset(info.hThread);
                m_process.reset(info.hProcess);
                m_id = info.dwProcessId;
                return true;
            }
            if (GetLastError() != ERROR_INTERNAL_ERROR)
                break;
        }
        return false;
    }
    HANDLE Handle() const { return m_process.get(); }
    bool Resume() { return ResumeThread(m_thread.get()) != static_cast<DWORD>(-1); }
    DWORD Id() const { return m_id; }
    bool Running() const { return m_process.valid() && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT; }
    // Exit code, or nothing if it did not end within `ms`.
    std::optional<DWORD> Wait(DWORD ms)
    {
        if (!m_process.valid() || WaitForSingleObject(m_process.get(), ms) != WAIT_OBJECT_0)
            return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(m_process.get(), &code);
        return code;
    }
    void Kill()
    {
        if (Running())
        {
            TerminateProcess(m_process.get(), 99);
            WaitForSingleObject(m_process.get(), 30000);
        }
    }

private:
    Groundwork::ScopedHandle m_process;
    Groundwork::ScopedHandle m_thread;
    DWORD m_id = 0;
};

}  // namespace testsupport
