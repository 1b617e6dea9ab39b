// A test host: loads VantuToast.dll from the build as the product's desktop
// program does, reaches the toast platform stand-in loaded into the same
// process, and reads the DLL's own log file.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <propkey.h>
#include <shobjidl.h>

#include <sstream>
#include <string>
#include <vector>

#include <wrl/client.h>

#include "includes/JsonDocument.h"
#include "ipc/IpcTestSupport.h"
#include "logging/LogFormat.h"
#include "logging/LoggerStartup.h"
#include "platform/CRegKey.h"
#include "platform/JoinPath.h"
#include "platform/ProductRegistry.h"
#include "platform/SessionUtils.h"
#include "sim/toast/VantuSimToast.h"
#include "support/Shortcut.h"
#include "support/TestFiles.h"
#include "VantuToast/IVantuToast.h"
#include "VantuToast/VantuToast.h"
#include "vantu_config.h"

namespace testsupport {

// Every string value or DWORD the product key gets during a test, removed
// again afterwards.
inline void SetProductDword(const wchar_t* name, DWORD value)
{
    Groundwork::CRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    ASSERT_EQ(ERROR_SUCCESS, key.SetDWORDValue(name, value));
}

inline void SetProductString(const wchar_t* name, const wchar_t* value)
{
    Groundwork::CRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(name, value));
}

inline void DeleteProductValue(const wchar_t* name)
{
    Groundwork::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, KEY_ALL_ACCESS | KEY_WOW64_64KEY) == ERROR_SUCCESS)
        key.DeleteValue(name);
}

// Owner of the toast event handle a host receives.
class HostEvent
{
public:
    HostEvent() = default;
    ~HostEvent() { Close(); }
    HostEvent(const HostEvent&) = delete;
    HostEvent& operator=(const HostEvent&) = delete;
    HostEvent(HostEvent&& other) noexcept : m_h(other.m_h) { other.m_h = nullptr; }

    HANDLE* Put() { return &m_h; }
    HANDLE Get() const { return m_h; }
    void Close()
    {
        if (m_h)
            CloseHandle(m_h);
        m_h = nullptr;
    }
    bool Signalled(DWORD timeoutMs = 10000) const { return m_h && WaitForSingleObject(m_h, timeoutMs) == WAIT_OBJECT_0; }

private:
    HANDLE m_h = nullptr;
};

constexpr wchar_t kSimpleToast[] =
    L"<toast launch=\"action=open&amp;id=7\"><visual><binding template=\"ToastGeneric\">"
    L"<text>Pathwarden</text><text>Scan finished</text></binding></visual></toast>";

class ToastHostTest : public ::testing::Test
{
protected:
    // The product's services are up for every test unless a test says
    // otherwise: without a UI host every result record waits out the
    // connection's readiness wait.
    virtual bool StartsServices() const { return true; }

    bool StartServices(bool settings, bool uiHost)
    {
        std::wstring arguments = L"--events \"" + EventsFile() + L"\"";
        if (settings)
        {
            const std::wstring file = services.File(L"settings.json");
            WriteFileBytes(file, "{\"HowItWorksUrl\":\"https://help.zelnor.example/pathwarden/how-toasts-work\"}");
            arguments += L" --settings \"" + file + L"\"";
        }
        if (uiHost)
            arguments += L" --ui-session 1";
        return services.Start(arguments);
    }
    std::wstring EventsFile() const { return services.File(L"events.jsonl"); }

    // The "eventValue" texts the UI host recorded, waiting up to 15 s for
    // `count` of them.
    std::vector<std::string> ResultRecords(size_t count)
    {
        std::vector<std::string> records;
        const ULONGLONG deadline = GetTickCount64() + 15000;
        do
        {
            records.clear();
            std::istringstream lines(ReadFileBytes(EventsFile()));
            for (std::string line; std::getline(lines, line);)
            {
                JsonDocument event;
                if (!line.empty() && ParseJsonReply(line.data(), line.size(), event) && event.IsObject() &&
                    event.HasMember("eventValue") && event.HasMember("eventName") &&
                    std::string(event["eventName"].GetString()) == "EVENT_USER_VANTU_TOAST_RESULT")
                    records.emplace_back(event["eventValue"].GetString(), event["eventValue"].GetStringLength());
            }
            if (records.size() >= count)
                break;
            Sleep(20);
        } while (GetTickCount64() < deadline);
        return records;
    }

    void SetUp() override
    {
        ipctest::ClearPipeNames();
        if (StartsServices())
        {
            ASSERT_TRUE(StartServices(true, true));
        }
        SetProductDword(L"LogLevel", 4);  // every line of the DLL reaches its log
        // No rotation within a test: a rotated file would take the lines the
        // test is about to read with it.
        SetProductDword(L"LogRotationFileSize", 256u << 20);
        DeleteProductValue(L"Icon");
        ASSERT_TRUE(GetShortcutPath(shortcutPath));
        DeleteFileW(shortcutPath.c_str());

        dll = LoadLibraryW(L"VantuToast.dll");
        ASSERT_NE(nullptr, dll) << GetLastError();
        create = reinterpret_cast<CreateVantuToastObjectFn>(
            reinterpret_cast<void*>(GetProcAddress(dll, "CreateVantuToastObject")));
        ASSERT_NE(nullptr, create);
        ASSERT_TRUE(sim.Load()) << "the toast platform stand-in is registered in the prefix";
        sim.Reset();

        std::wstring folder;
        ASSERT_TRUE(LogFolder(dll, folder));
        logPath = JoinPath(folder, L"log_" +
                                       EncodeUserNameForFileName(Groundwork::GetConsoleUserName(), VANTU_LOG_NAME_KEY) +
                                       L".txt");
        // The DLL's logger starts at its first line, after this: each test
        // reads a log of its own.
        DeleteFileW(logPath.c_str());
    }

    void TearDown() override
    {
        if (sim.WaitIdle)
            sim.WaitIdle(10000);
        if (sim.Reset)
            sim.Reset();
        DeleteFileW(shortcutPath.c_str());
        DeleteProductValue(L"LogLevel");
        DeleteProductValue(L"LogRotationFileSize");
        DeleteProductValue(L"Icon");
        services.Stop();
        ipctest::ClearPipeNames();
    }

    // What the DLL logged since the test began.
    std::string Log() const
    {
        return ReadFileBytes(logPath);
    }
    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

    // Waits until no module of that name is in the process any more.
    static bool WaitUntilUnloaded(const wchar_t* module, DWORD timeoutMs = 10000)
    {
        // Nothing signals an unload: the module list is polled.
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (GetModuleHandleW(module) != nullptr && GetTickCount64() < deadline)
            Sleep(5);
        return GetModuleHandleW(module) == nullptr;
    }

    // Waits until the platform raised every requested event and the handlers returned.
    void Settle() { ASSERT_TRUE(sim.WaitIdle(10000)); }

    // An initialised toast object (the shortcut registered).
    IVantuToast* InitializedObject()
    {
        IVantuToast* toast = create();
        EXPECT_NE(nullptr, toast);
        EXPECT_TRUE(toast->Initialize());
        return toast;
    }

    // The toasts on screen, oldest first.
    std::vector<VantuSimToastId> OnScreen() const
    {
        std::vector<VantuSimToastId> ids(64);
        ids.resize(sim.ListOnScreen(ids.data(), static_cast<uint32_t>(ids.size())));
        return ids;
    }

    std::wstring ToastText(VantuSimToastId id, VantuSimToastText which) const
    {
        wchar_t buffer[4096] = {};
        return sim.GetToastText(id, which, buffer, 4096) >= 0 ? std::wstring(buffer) : std::wstring();
    }

    ipctest::ServicesProcess services;
    // Shows kSimpleToast under `id` and returns its stand-in identifier.
    VantuSimToastId ShowOne(IVantuToast* toast, int id, HostEvent& event)
    {
        EXPECT_TRUE(toast->ShowToastFromXml(id, kSimpleToast, event.Put()));
        const auto screen = OnScreen();
        EXPECT_FALSE(screen.empty());
        return screen.empty() ? 0 : screen.back();
    }

    HMODULE dll = nullptr;
    CreateVantuToastObjectFn create = nullptr;
    VantuSimToastApi sim;
    std::wstring shortcutPath;
    std::wstring logPath;
};


// A fixture with one initialised toast object, released at the end.
class InitializedToastTest : public ToastHostTest
{
protected:
    void SetUp() override
    {
        ToastHostTest::SetUp();
        toast = InitializedObject();
    }
    void TearDown() override
    {
        if (toast)
            toast->Release();
        ToastHostTest::TearDown();
    }

    VantuSimToastId Show(int id, HostEvent& event) { return ShowOne(toast, id, event); }

    // True when DismissToast finds nothing tracked under the ID.
    bool Untracked(int id)
    {
        const std::string line =
            "Vantu Toast is not being tracked -- could not dismiss. ID: " + std::to_string(id) + "\r\n";
        const size_t before = Log().size();
        EXPECT_TRUE(toast->DismissToast(id));
        return Log().find(line, before) != std::string::npos;
    }

    IVantuToast* toast = nullptr;
};

}  // namespace testsupport
