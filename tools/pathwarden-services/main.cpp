// Reference product services: the settings-manager service and the UI host
// services of chosen sessions, at the server ends of the pipes. See --help.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Options.h"
#include "Requests.h"
#include "ServiceHost.h"
#include "ipc/PipeName.h"
#include "platform/ScopedHandle.h"
#include "logging/Logger.h"
#include "platform/CObfuscatedRegKey.h"

namespace {

constexpr wchar_t kLogModule[] = L"main";
constexpr REGSAM kServersKeyWrite = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY;

HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD)
{
    SetEvent(g_stopEvent);
    return TRUE;
}

bool ReadWholeFile(const std::wstring& path, std::string& content)
{
    ipc::ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > 16LL * 1024 * 1024)
        return false;
    content.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return content.empty() ||
           (ReadFile(file.get(), &content[0], static_cast<DWORD>(content.size()), &read, nullptr) &&
            read == content.size());
}

// Written under a temporary name and moved into place, so that a reader
// never sees half of it.
bool WriteReadyFile(const std::wstring& path, const std::string& content)
{
    const std::wstring temporary = path + L".tmp";
    {
        ipc::ScopedHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file.valid() ||
            !WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
            written != content.size())
            return false;
    }
    return MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

std::string Narrow(const std::wstring& text)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes, nullptr,
                            nullptr);
    return out;
}

int64_t UnixTicksNow()
{
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) -
           116'444'736'000'000'000LL;
}

bool RegisterPipe(const std::wstring& name, const std::wstring& path)
{
    Groundwork::CObfuscatedRegKey key;
    LONG result = key.Create(HKEY_LOCAL_MACHINE, ipc::kServersKeyPath, nullptr, REG_OPTION_NON_VOLATILE,
                             kServersKeyWrite);
    if (result == ERROR_SUCCESS)
        result = key.SetStringValue(name.c_str(), path.c_str());
    if (result != ERROR_SUCCESS)
    {
        VT_LOG(ERR) << "Failed to register pipe of " << name << ". Error " << result;
        std::fwprintf(stderr, L"pathwarden-services: cannot write the pipe name of %ls (error %ld)\n", name.c_str(),
                      result);
        return false;
    }
    return true;
}

// Removes a registration unless another instance has replaced it meanwhile.
void UnregisterPipe(const std::wstring& name, const std::wstring& path)
{
    Groundwork::CObfuscatedRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, ipc::kServersKeyPath, kServersKeyWrite) != ERROR_SUCCESS)
        return;
    std::wstring current;
    if (key.QueryStringValue(name.c_str(), current) == ERROR_SUCCESS && current == path)
        key.DeleteValue(name.c_str());
}

// --handshake foreign-transport: a second copy of this program, in a job
// that ends it with us, serves the transport pipe that every handshake
// answer names; it echoes requests, so a client that took it for ours
// would become ready and get its answers.
class ForeignTransport
{
public:
    ForeignTransport() = default;
    ForeignTransport(const ForeignTransport&) = delete;
    ForeignTransport& operator=(const ForeignTransport&) = delete;
    ~ForeignTransport()
    {
        if (!m_process.valid())
            return;
        SetEvent(m_stop.get());
        WaitForSingleObject(m_process.get(), 10000);
    }

    bool Start(const std::wstring& pipePath)
    {
        wchar_t exe[MAX_PATH] = L"";
        if (GetModuleFileNameW(nullptr, exe, MAX_PATH) == 0)
            return false;
        const std::wstring stopName =
            L"Zelnor.Pathwarden." + std::to_wstring(GetCurrentProcessId()) + L".foreign-stop";
        m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));
        m_job.reset(CreateJobObjectW(nullptr, nullptr));
        if (!m_stop.valid() || !m_job.valid())
            return false;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(m_job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" --raw-echo " + pipePath + L" --stop-event " + stopName;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(exe, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                            &startup, &info))
            return false;
        m_process.reset(info.hProcess);
        const ipc::ScopedHandle thread(info.hThread);
        AssignProcessToJobObject(m_job.get(), m_process.get());
        ResumeThread(thread.get());
        for (const ULONGLONG deadline = GetTickCount64() + 30000; GetTickCount64() < deadline;)
        {
            if (WaitNamedPipeW(pipePath.c_str(), 50))
                return true;
            if (WaitForSingleObject(m_process.get(), 20) != WAIT_TIMEOUT)
                return false;
        }
        return false;
    }

private:
    ipc::ScopedHandle m_job;
    ipc::ScopedHandle m_stop;
    ipc::ScopedHandle m_process;
};

}  // namespace

int main(int, char**)
{
    const int64_t startTicks = UnixTicksNow();
    int argc = 0;
    const Groundwork::LocalMemory<LPWSTR*> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    std::vector<std::wstring> args;
    for (int i = 1; argv && i < argc; ++i)
        args.emplace_back(argv.get()[i]);

    services::Options options;
    bool help = false;
    std::wstring error;
    if (!services::ParseOptions(args, options, help, error))
    {
        std::fwprintf(stderr, L"pathwarden-services: %ls\n\n%ls", error.c_str(), services::UsageText());
        return 2;
    }
    if (help)
    {
        std::fwprintf(stdout, L"%ls", services::UsageText());
        return 0;
    }

    ipc::ScopedHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE,
                                             options.stopEvent.empty() ? nullptr : options.stopEvent.c_str()));
    if (!stopEvent.valid())
    {
        std::fwprintf(stderr, L"pathwarden-services: cannot create the stop event (error %lu)\n", GetLastError());
        return 1;
    }
    g_stopEvent = stopEvent.get();
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    services::Settings settings;
    if (!options.settingsFile.empty())
    {
        std::string content;
        std::string problem;
        if (!ReadWholeFile(options.settingsFile, content) || !settings.Load(content, problem))
        {
            std::fwprintf(stderr, L"pathwarden-services: cannot use settings file %ls: %hs\n",
                          options.settingsFile.c_str(), problem.empty() ? "cannot read it" : problem.c_str());
            return 1;
        }
    }
    services::EventSink events;
    if (!events.Open(options.eventsFile))
    {
        std::fwprintf(stderr, L"pathwarden-services: cannot open events file %ls (error %lu)\n",
                      options.eventsFile.c_str(), GetLastError());
        return 1;
    }

    services::HostContext context;
    context.stopEvent = stopEvent.get();
    context.options = &options;
    context.settings = options.settingsFile.empty() ? nullptr : &settings;
    context.events = &events;

    // A random part in every name: another local user who creates the names
    // first would otherwise make every handshake fail.
    const std::wstring random = services::UnguessablePipePart();
    if (random.empty())
    {
        std::fwprintf(stderr, L"pathwarden-services: no random pipe name (error %lu)\n", GetLastError());
        return 1;
    }
    const std::wstring pipeBase =
        L"\\\\.\\pipe\\Zelnor.Pathwarden." + std::to_wstring(GetCurrentProcessId()) + L"." + random + L".";
    ForeignTransport foreign;
    if (options.faults.handshake == services::HandshakeFault::kForeignTransport)
    {
        context.foreignTransportPath = pipeBase + L"foreign";
        if (!foreign.Start(context.foreignTransportPath))
        {
            std::fwprintf(stderr, L"pathwarden-services: cannot start the foreign transport process\n");
            return 1;
        }
    }
    std::vector<std::unique_ptr<services::ServiceHost>> hosts;
    if (!options.settingsFile.empty())
        hosts.push_back(std::make_unique<services::ServiceHost>(context, L"SettingManager", pipeBase + L"SettingManager",
                                                                services::ServiceHost::Kind::kService));
    for (uint32_t session : options.uiSessions)
    {
        const std::wstring name = L"UIManager_" + std::to_wstring(session);
        hosts.push_back(
            std::make_unique<services::ServiceHost>(context, name, pipeBase + name, services::ServiceHost::Kind::kService));
    }
    if (!options.rawEchoPipe.empty())
        hosts.push_back(std::make_unique<services::ServiceHost>(context, L"raw-echo", options.rawEchoPipe,
                                                                services::ServiceHost::Kind::kRawEcho));

    for (auto& host : hosts)
        if (!host->Listen())
            return 1;
    std::vector<std::pair<std::wstring, std::wstring>> registered;
    for (auto& host : hosts)
    {
        if (host->Name() == L"raw-echo")
            continue;
        if (!RegisterPipe(host->Name(), host->FirstPipePath()))
        {
            for (const auto& entry : registered)
                UnregisterPipe(entry.first, entry.second);
            return 1;
        }
        registered.emplace_back(host->Name(), host->FirstPipePath());
    }
    for (auto& host : hosts)
        host->Start();

    const int64_t readyTicks = UnixTicksNow();
    if (!options.readyFile.empty())
    {
        std::string content = "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
        content += "start_ticks=" + std::to_string(startTicks) + "\n";
        content += "ready_ticks=" + std::to_string(readyTicks) + "\n";
        for (auto& host : hosts)
            content += Narrow(host->Name()) + "=" + Narrow(host->FirstPipePath()) + "\n";
        if (!WriteReadyFile(options.readyFile, content))
        {
            std::fwprintf(stderr, L"pathwarden-services: cannot write ready file %ls (error %lu)\n",
                          options.readyFile.c_str(), GetLastError());
            SetEvent(stopEvent.get());
        }
    }
    services::Report(context, L"listening");

    WaitForSingleObject(stopEvent.get(), INFINITE);
    for (auto& host : hosts)
        host->Join();
    if (!options.keepRegistry)
        for (const auto& entry : registered)
            UnregisterPipe(entry.first, entry.second);
    services::Report(context, L"stopped");
    return 0;
}
