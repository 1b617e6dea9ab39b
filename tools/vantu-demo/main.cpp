// Demo host. Starts the reference product services (settings manager with a
// "HowItWorksUrl", UI host of the active session), loads VantuToast.dll with
// LoadLibrary/GetProcAddress, shows toasts, lets the simulated user act on
// them, waits on the toast events and checks every result record the UI
// host received. Exit code 0 only when every expected record arrived intact.
//
//   vantu-demo.exe --templates DIR [--work DIR]
//
// DIR holds the signed sample templates (welcome.template,
// update-ready.template, threat-blocked.template); the demo makes a tampered
// copy and an unsigned file of its own in the work folder.
#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include <cstdio>
#include <string>
#include <vector>

#include <wrl/client.h>

#include "includes/JsonDocument.h"
#include "logging/LogFormat.h"
#include "logging/LoggerStartup.h"
#include "platform/JoinPath.h"
#include "platform/ScopedHandle.h"
#include "platform/SessionUtils.h"
#include "sim/toast/VantuSimToast.h"
#include "support/Shortcut.h"
#include "VantuToast/IVantuToast.h"
#include "VantuToast/VantuToast.h"
#include "vantu_config.h"


namespace {

constexpr DWORD kWaitMs = 15000;
constexpr char kServedUrl[] = "https://help.zelnor.example/pathwarden/how-toasts-work";

struct Expected
{
    int id;
    std::string status;
    std::string argument;
};

using Handle = Groundwork::ScopedHandle;

std::wstring Widen(const std::string& utf8)
{
    std::wstring wide(utf8.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                                      static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return wide;
}

std::string ReadWholeFile(const std::wstring& path)
{
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    if (file.get() == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return bytes;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes)
{
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file.get() != INVALID_HANDLE_VALUE &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::wstring ExeDirectory()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.rfind(L'\\'));
}

bool WaitForFile(const std::wstring& path, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        if (GetTickCount64() > end)
            return false;
        Sleep(20);
    }
    return true;
}

// The reference services as a child process, stopped through a named event.
class Services
{
public:
    bool Start(const std::wstring& exe, const std::wstring& work)
    {
        m_events = JoinPath(work, L"ui-host-events.jsonl");
        const std::wstring settings = JoinPath(work, L"settings.json");
        const std::wstring ready = JoinPath(work, L"services.ready");
        DeleteFileW(m_events.c_str());
        DeleteFileW(ready.c_str());
        if (!WriteWholeFile(settings, std::string("{\"HowItWorksUrl\":\"") + kServedUrl + "\"}\n"))
            return false;
        m_stopName = L"Local\\vantu-demo-stop-" + std::to_wstring(GetCurrentProcessId());
        m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, m_stopName.c_str()));

        std::wstring command = L"\"" + exe + L"\" --settings \"" + settings + L"\" --ui-session 1 --events \"" +
                               m_events + L"\" --ready-file \"" + ready + L"\" --stop-event " + m_stopName;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info))
            return false;
        CloseHandle(info.hThread);
        m_process.reset(info.hProcess);
        return WaitForFile(ready, kWaitMs);
    }
    void Stop()
    {
        if (!m_process.get())
            return;
        SetEvent(m_stop.get());
        if (WaitForSingleObject(m_process.get(), kWaitMs) != WAIT_OBJECT_0)
            TerminateProcess(m_process.get(), 1);
        m_process.reset();
    }
    ~Services() { Stop(); }

    // The events recorded so far, one JSON object per line.
    std::vector<std::string> Events() const
    {
        std::vector<std::string> lines;
        const std::string text = ReadWholeFile(m_events);
        size_t start = 0;
        while (start < text.size())
        {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                break;  // a line still being written
            if (end > start)
                lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }
    const std::wstring& EventsFile() const { return m_events; }

private:
    Handle m_process;
    Handle m_stop;
    std::wstring m_stopName;
    std::wstring m_events;
};

struct Step
{
    std::string what;
    bool ok;
};

class Demo
{
public:
    int Run(const std::wstring& templates, const std::wstring& work)
    {
        std::printf("== starting the reference services (settings manager, UI host of session 1)\n");
        if (!m_services.Start(JoinPath(ExeDirectory(), L"pathwarden-services.exe"), work))
            return Fail("the services did not become ready");

        HMODULE dll = LoadLibraryW(L"VantuToast.dll");
        auto create = dll ? reinterpret_cast<CreateVantuToastObjectFn>(
                                reinterpret_cast<void*>(GetProcAddress(dll, "CreateVantuToastObject")))
                          : nullptr;
        if (!create)
            return Fail("VantuToast.dll or its export not found");
        if (!m_sim.Load())
            return Fail("the toast platform stand-in is not registered in this prefix");
        m_sim.Reset();

        IVantuToast* toast = create();
        std::wstring shortcut;
        GetShortcutPath(shortcut);
        DeleteFileW(shortcut.c_str());
        Record("Initialize registers the Start-menu shortcut", toast && toast->Initialize());
        const std::wstring target = testsupport::ReadShortcut(shortcut).target;
        std::printf("   shortcut %ls\n", shortcut.c_str());
        if (target == Widen(kServedUrl))
            std::printf("   target   %s, as served\n", kServedUrl);
        else  // Wine's shell link takes a web address for a file path under the current folder
            std::printf("   target   %s as served; Wine's shell link took it for a file path under the "
                        "current folder and stored %ls\n",
                        kServedUrl, target.c_str());
        Record("shortcut target served by the settings manager", testsupport::TargetIs(target, Widen(kServedUrl)));

        std::printf("== toast 1: signed template, the user clicks it\n");
        Handle clicked;
        if (Record("ShowToastFromTemplate(1, welcome.template)",
                   toast->ShowToastFromTemplate(1, JoinPath(templates, L"welcome.template"), clicked.put())))
        {
            m_sim.Activate(NewestOnScreen(), nullptr);  // the toast's launch arguments
            Record("host woke on toast 1's event", WaitForSingleObject(clicked.get(), kWaitMs) == WAIT_OBJECT_0);
        }

        std::printf("== toast 2: left alone until it times out\n");
        Handle timedOut;
        if (Record("ShowToastFromTemplate(2, update-ready.template)",
                   toast->ShowToastFromTemplate(2, JoinPath(templates, L"update-ready.template"), timedOut.put())))
        {
            m_sim.Dismiss(NewestOnScreen(), 2);
            Record("host woke on toast 2's event", WaitForSingleObject(timedOut.get(), kWaitMs) == WAIT_OBJECT_0);
        }

        std::printf("== toast 3: dismissed by the host\n");
        Handle hidden;
        if (Record("ShowToastFromTemplate(-3, threat-blocked.template)",
                   toast->ShowToastFromTemplate(-3, JoinPath(templates, L"threat-blocked.template"), hidden.put())))
        {
            Record("DismissToast(-3)", toast->DismissToast(-3));
            Record("host woke on toast -3's event", WaitForSingleObject(hidden.get(), kWaitMs) == WAIT_OBJECT_0);
        }

        std::printf("== toast 4: from XML, clicked with its own arguments\n");
        Handle fromXml;
        const wchar_t* xml = L"<toast launch=\"demo\"><visual><binding template=\"ToastGeneric\"><text>Pathwarden"
                             L"</text><text>Quarantine reviewed</text></binding></visual></toast>";
        if (Record("ShowToastFromXml(4, ...)", toast->ShowToastFromXml(4, xml, fromXml.put())))
        {
            m_sim.Activate(NewestOnScreen(), L"open \"C:\\Quarantine\\r\u00e9sum\u00e9.pdf\"");
            Record("host woke on toast 4's event", WaitForSingleObject(fromXml.get(), kWaitMs) == WAIT_OBJECT_0);
        }

        std::printf("== refused templates\n");
        std::string tampered = ReadWholeFile(JoinPath(templates, L"welcome.template"));
        const size_t text = tampered.find("<text>");
        if (text != std::string::npos)
            tampered[text + 6] ^= 0x20;  // one letter's case in the signed content
        const std::wstring tamperedPath = JoinPath(work, L"tampered.template");
        const std::wstring unsignedPath = JoinPath(work, L"unsigned.xml");
        WriteWholeFile(tamperedPath, tampered);
        WriteWholeFile(unsignedPath, "<toast><visual><binding template=\"ToastGeneric\"><text>Not signed</text>"
                                     "</binding></visual></toast>\n");
        Handle unused;
        Record("tampered template refused", !toast->ShowToastFromTemplate(5, tamperedPath, unused.put()));
        Record("unsigned XML file refused", !toast->ShowToastFromTemplate(6, unsignedPath, unused.put()));

        m_sim.WaitIdle(kWaitMs);
        Record("Release removes the shortcut",
               toast->Release() && GetFileAttributesW(shortcut.c_str()) == INVALID_FILE_ATTRIBUTES);

        const std::vector<Expected> expected = {
            {1, "Activated", ActivationArgumentsOf(templates)},
            {2, "Dismissed", "TimedOut"},
            {-3, "Dismissed", "ApplicationHidden"},
            {4, "Activated", "open \"C:\\Quarantine\\r\xC3\xA9sum\xC3\xA9.pdf\""},
        };
        CheckRecords(expected);
        m_services.Stop();
        const std::wstring logFile = LogFileOf(dll);
        // Once used, the library stays in the process until it ends: the
        // platform may still call handlers of toasts it showed, and its
        // connection threads run on. FreeLibrary only drops the host's
        // reference, at once.
        const bool freed = FreeLibrary(dll) != FALSE;
        Record("FreeLibrary returns, the library stays loaded", freed && GetModuleHandleW(L"VantuToast.dll") != nullptr);

        PrintSummary(logFile);
        return m_failed ? 1 : 0;
    }

private:
    bool Record(const std::string& what, bool ok)
    {
        std::printf("   [%s] %s\n", ok ? " ok " : "FAIL", what.c_str());
        m_steps.push_back({what, ok});
        m_failed = m_failed || !ok;
        return ok;
    }

    int Fail(const char* why)
    {
        std::printf("demo failed: %s\n", why);
        return 1;
    }

    VantuSimToastId NewestOnScreen()
    {
        if (!m_sim.WaitForOnScreen(1, kWaitMs))
            return 0;
        VantuSimToastId ids[64] = {};
        const uint32_t count = m_sim.ListOnScreen(ids, 64);
        return count == 0 ? 0 : ids[count < 64 ? count - 1 : 63];
    }

    // The launch attribute of the first sample, as the platform passes it.
    static std::string ActivationArgumentsOf(const std::wstring& templates)
    {
        const std::string xml = ReadWholeFile(JoinPath(templates, L"welcome.template"));
        const size_t at = xml.find("launch=\"");
        if (at == std::string::npos)
            return "";
        const size_t end = xml.find('"', at + 8);
        std::string launch = xml.substr(at + 8, end - at - 8);
        for (size_t amp; (amp = launch.find("&amp;")) != std::string::npos;)
            launch.replace(amp, 5, "&");
        return launch;
    }

    void CheckRecords(const std::vector<Expected>& expected)
    {
        std::printf("== what the UI host service received (%ls)\n", m_services.EventsFile().c_str());
        std::vector<std::string> events;
        const ULONGLONG end = GetTickCount64() + kWaitMs;
        while ((events = m_services.Events()).size() < expected.size() && GetTickCount64() < end)
            Sleep(50);

        std::vector<bool> matched(expected.size(), false);
        for (const std::string& line : events)
        {
            JsonDocument event;
            std::string record;
            if (!ParseJsonReply(line.data(), line.size(), event) || !event.IsObject() ||
                !event.HasMember("eventValue") || !event["eventValue"].IsString())
            {
                Record("well-formed event line: " + line, false);
                continue;
            }
            record = event["eventValue"].GetString();
            std::printf("   %s: %s\n",
                        event.HasMember("eventName") && event["eventName"].IsString() ? event["eventName"].GetString()
                                                                                       : "?",
                        record.c_str());
            JsonDocument value;
            if (!ParseJsonReply(record.data(), record.size(), value) || !value.IsObject())
                continue;
            for (size_t i = 0; i < expected.size(); ++i)
            {
                const Expected& e = expected[i];
                if (value.MemberCount() == 3 && value.HasMember("ID") && value["ID"].IsInt() &&
                    value["ID"].GetInt() == e.id && value.HasMember("Status") && value["Status"].IsString() &&
                    value["Status"].GetString() == e.status && value.HasMember("Argument") &&
                    value["Argument"].IsString() && value["Argument"].GetString() == e.argument)
                    matched[i] = true;
            }
        }
        for (size_t i = 0; i < expected.size(); ++i)
            Record("record for toast " + std::to_string(expected[i].id) + " (" + expected[i].status + ", \"" +
                       expected[i].argument + "\") arrived intact",
                   matched[i]);
        Record("no unexpected records", events.size() == expected.size());
    }

    static std::wstring LogFileOf(HMODULE dll)
    {
        std::wstring folder;
        if (!LogFolder(dll, folder))
            return L"";
        return JoinPath(folder, L"log_" +
                                    EncodeUserNameForFileName(Groundwork::GetConsoleUserName(), VANTU_LOG_NAME_KEY) +
                                    L".txt");
    }

    void PrintSummary(const std::wstring& logFile)
    {
        size_t passed = 0;
        for (const Step& step : m_steps)
            passed += step.ok ? 1 : 0;
        std::printf("\n== summary\n   %-58s %s\n", "check", "result");
        for (const Step& step : m_steps)
            std::printf("   %-58.58s %s\n", step.what.c_str(), step.ok ? "ok" : "FAILED");
        std::printf("   %zu of %zu checks passed\n", passed, m_steps.size());

        std::printf("   VantuToast.dll log: %ls\n", logFile.c_str());
    }

    Services m_services;
    VantuSimToastApi m_sim;
    std::vector<Step> m_steps;
    bool m_failed = false;
};

}  // namespace

int main(int argc, char** argv)
{
    std::wstring templates = JoinPath(ExeDirectory(), L"..\\samples");
    std::wstring work = JoinPath(ExeDirectory(), L"..\\demo");
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string option = argv[i];
        if (option == "--templates")
            templates = Widen(argv[i + 1]);
        else if (option == "--work")
            work = Widen(argv[i + 1]);
    }
    for (std::wstring* path : {&templates, &work})
    {
        wchar_t full[MAX_PATH] = {};
        const DWORD n = GetFullPathNameW(path->c_str(), MAX_PATH, full, nullptr);
        if (n > 0 && n < MAX_PATH)
            *path = full;
    }
    CreateDirectoryW(work.c_str(), nullptr);
    // Run from the system drive, as an installed host does. Wine resolves the
    // web address the shortcut gets as a path under the current folder and
    // asks that folder's volume for its label, which it cannot read on the
    // Unix root (drive Z:) in a container, and says so on standard error.
    wchar_t windows[MAX_PATH] = {};
    if (GetWindowsDirectoryW(windows, MAX_PATH) >= 3)
        SetCurrentDirectoryW(std::wstring(windows, 3).c_str());
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    const int result = Demo().Run(templates, work);
    CoUninitialize();
    return result;
}
