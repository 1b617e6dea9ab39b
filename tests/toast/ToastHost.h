// A test host: loads VantuToast.dll from the build as the product's desktop
// program does, reaches the toast platform stand-in loaded into the same
// process, and reads the DLL's own log file.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "includes/JsonDocument.h"
#include "ipc/IpcTestSupport.h"
#include "ipc/TransportTestSupport.h"
#include "logging/LogFormat.h"
#include "logging/LoggerStartup.h"
#include "platform/JoinPath.h"
#include "platform/ProductRegistry.h"
#include "platform/SessionUtils.h"
#include "sim/toast/VantuSimToast.h"
#include "support/ProductKey.h"
#include "support/Shortcut.h"
#include "support/TestFiles.h"
#include "VantuToast/IVantuToast.h"
#include "VantuToast/VantuToast.h"
#include "vantu_config.h"

namespace testsupport {

// A kernel object's name (what = 1) or type name (what = 2), or "".
inline std::wstring KernelObjectText(HANDLE handle, int what)
{
    using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<NtQueryObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    alignas(8) unsigned char buffer[4096] = {};
    ULONG length = 0;
    if (query == nullptr || query(handle, what, buffer, sizeof(buffer), &length) != 0)
        return std::wstring();
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer);
    return text->Buffer ? std::wstring(text->Buffer, text->Length / sizeof(wchar_t)) : std::wstring();
}

// What a process holds, to see what a run leaves behind.
struct ProcessUsage
{
    DWORD handles = 0;        // open handles, the platform's class keys left out
    DWORD classKeys = 0;      // the platform's class keys
    SIZE_T privateBytes = 0;  // committed private memory
};

// Wine's RoActivateInstance and RoGetActivationFactory leave the class's
// registry key open on every call (fixed in later Wine releases), so keys
// under this path are counted apart: they are not the library's.
constexpr wchar_t kClassKeyPrefix[] = L"\\REGISTRY\\Machine\\Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\";

// Every handle value is asked about (Wine's GetProcessHandleCount gives 0),
// and the address space is walked (Wine leaves PrivateUsage at 0).
inline ProcessUsage MeasureProcess()
{
    ProcessUsage usage;
    for (uintptr_t value = 4; value < 0x40000; value += 4)
    {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags))
            continue;
        const bool classKey = KernelObjectText(handle, 2) == L"Key" &&
                              KernelObjectText(handle, 1).rfind(kClassKeyPrefix, 0) == 0;
        ++(classKey ? usage.classKeys : usage.handles);
    }
    MEMORY_BASIC_INFORMATION region{};
    for (const char* address = nullptr; VirtualQuery(address, &region, sizeof(region)) == sizeof(region) &&
                                        region.RegionSize != 0;
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize)
    {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            usage.privateBytes += region.RegionSize;
    }
    return usage;
}

// Loads the library as the host does; its factory, or null.
inline CreateVantuToastObjectFn LoadToastLibrary(HMODULE& dll)
{
    dll = LoadLibraryW(L"VantuToast.dll");
    return dll ? reinterpret_cast<CreateVantuToastObjectFn>(
                     reinterpret_cast<void*>(GetProcAddress(dll, "CreateVantuToastObject")))
               : nullptr;
}

// Owner of the toast event handle a host receives.
struct HostEvent : Groundwork::ScopedHandle
{
    bool Signalled(DWORD timeoutMs = 10000) const
    {
        return valid() && WaitForSingleObject(get(), timeoutMs) == WAIT_OBJECT_0;
    }
};

constexpr wchar_t kSimpleToast[] =
    L"<toast launch=\"action=open&amp;id=7\"><visual><binding template=\"ToastGeneric\">"
    L"<text>Pathwarden</text><text>Scan finished</text></binding></visual></toast>";

class ToastHostTest : public ::testing::Test
{
protected:
    // The product's services are up for every test: without a UI host every
    // result record waits out the connection's readiness wait.
    // `faults` are more options for them.
    bool StartServices(const std::wstring& faults = L"")
    {
        const std::wstring file = services.File(L"settings.json");
        WriteFileBytes(file, "{\"HowItWorksUrl\":\"https://help.zelnor.example/pathwarden/how-toasts-work\"}");
        return services.Start(L"--events \"" + EventsFile() + L"\" --settings \"" + file + L"\" --ui-session 1 " +
                              faults);
    }
    std::wstring EventsFile() const { return services.File(L"events.jsonl"); }

    // The "eventValue" texts of the result events the UI host recorded,
    // waiting up to 15 s for `count` of them.
    std::vector<std::string> ResultRecords(size_t count)
    {
        std::vector<std::string> records;
        for (const std::string& line : FileLines(EventsFile(), count))
        {
            JsonDocument event;
            const bool parsed = ParseJsonReply(line.data(), line.size(), event) && event.IsObject() &&
                                event.HasMember("eventValue") && event.HasMember("eventName");
            EXPECT_TRUE(parsed) << line;
            if (!parsed)
                continue;
            EXPECT_STREQ("EVENT_USER_VANTU_TOAST_RESULT", event["eventName"].GetString());
            records.emplace_back(event["eventValue"].GetString(), event["eventValue"].GetStringLength());
        }
        return records;
    }

    void SetUp() override
    {
        ipctest::ClearPipeNames();
        ASSERT_TRUE(StartServices());
        ASSERT_TRUE(SetProductValue(L"LogLevel", 4));  // every line of the DLL reaches its log
        // No rotation within a test: a rotated file would take the lines the
        // test is about to read with it.
        ASSERT_TRUE(SetProductValue(L"LogRotationFileSize", 256u << 20));
        DeleteProductValue(L"Icon");
        ASSERT_TRUE(GetShortcutPath(shortcutPath));
        RestoreProgramsFolder();  // after a run that was killed while it was aside
        DeleteFileW(shortcutPath.c_str());

        create = LoadToastLibrary(dll);
        ASSERT_NE(nullptr, create) << GetLastError();
        ASSERT_TRUE(sim.Load()) << "the toast platform stand-in is registered in the prefix";
        sim.Reset();
        sim.RequireShortcut(TRUE);  // as Windows: no toast without the Start-menu shortcut

        std::wstring folder;
        ASSERT_TRUE(LogFolder(dll, folder));
        logPath = JoinPath(folder, L"log_" +
                                       EncodeUserNameForFileName(Groundwork::GetConsoleUserName(), VANTU_LOG_NAME_KEY) +
                                       L".txt");
        // The DLL's logger starts at its first line, after this.
        DeleteFileW(logPath.c_str());
    }

    void TearDown() override
    {
        if (sim.Reset)
        {
            sim.WaitIdle(10000);
            sim.Reset();
        }
        RestoreProgramsFolder();
        DeleteFileW(shortcutPath.c_str());
        for (const wchar_t* name : {L"LogLevel", L"LogRotationFileSize", L"Icon"})
            DeleteProductValue(name);
        services.Stop();
        ipctest::ClearPipeNames();
    }

    // The user's Start-menu Programs folder, and where a test that blocks it
    // puts it aside.
    std::wstring ProgramsFolder() const { return shortcutPath.substr(0, shortcutPath.rfind(L'\\')); }
    std::wstring ProgramsAside() const { return ProgramsFolder() + L".aside"; }
    // Puts it back, whatever ended the test that moved it (an assertion, or a
    // time-out that killed the program): later shortcut tests need it.
    void RestoreProgramsFolder() const
    {
        if (GetFileAttributesW(ProgramsAside().c_str()) == INVALID_FILE_ATTRIBUTES)
            return;
        DeleteFileW(ProgramsFolder().c_str());  // the blocker in its place
        EXPECT_TRUE(MoveFileW(ProgramsAside().c_str(), ProgramsFolder().c_str())) << GetLastError();
    }

    // What the DLL logged since the test began; whether it logged `text` at
    // or after `from`.
    std::string Log() const { return ReadFileBytes(logPath); }
    bool Logged(const std::string& text, size_t from = 0) const { return Log().find(text, from) != std::string::npos; }

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
        EXPECT_TRUE(toast->ShowToastFromXml(id, kSimpleToast, event.put()));
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
