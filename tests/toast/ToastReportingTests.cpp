// End to end: host -> VantuToast.dll -> toast platform stand-in -> handler ->
// transport -> the UI host service of the active session, and the shortcut
// target from the settings-manager service.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>

#include "includes/JsonDocument.h"
#include "ipc/IpcTestSupport.h"
#include "toast/ToastHost.h"

using ipctest::ServicesProcess;
using testsupport::HostEvent;
using testsupport::kSimpleToast;

namespace {

constexpr wchar_t kServedUrl[] = L"https://help.zelnor.example/pathwarden/how-toasts-work";

class ToastReporting : public testsupport::ToastHostTest
{
protected:
    bool StartsServices() const override { return false; }
};

size_t ThreadCount()
{
    size_t count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

}  // namespace

TEST_F(ToastReporting, EveryHandlersRecordArrivesUnchanged)
{
    ASSERT_TRUE(StartServices(true, true));
    IVantuToast* toast = InitializedObject();
    EXPECT_TRUE(testsupport::TargetIs(testsupport::ReadShortcut(shortcutPath).target, kServedUrl));

    HostEvent events[9];
    sim.Activate(ShowOne(toast, -7, events[0]), L"say \"hi\" \\ C:\\path \u00E9\u4E2D");
    sim.Activate(ShowOne(toast, 8, events[1]), L"");
    sim.Dismiss(ShowOne(toast, 9, events[2]), 0);
    ShowOne(toast, 10, events[3]);
    EXPECT_TRUE(toast->DismissToast(10));
    sim.Dismiss(ShowOne(toast, 11, events[4]), 2);
    sim.Dismiss(ShowOne(toast, 12, events[5]), 9);
    sim.DismissUnreadable(ShowOne(toast, 13, events[6]), E_FAIL);
    sim.Fail(ShowOne(toast, 14, events[7]), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    sim.Fail(ShowOne(toast, 2147483647, events[8]), 5);
    Settle();
    for (auto& event : events)
        EXPECT_TRUE(event.Signalled());

    const std::vector<std::string> expected = {
        "{\"Status\":\"Activated\",\"Argument\":\"say \\\"hi\\\" \\\\ C:\\\\path \xC3\xA9\xE4\xB8\xAD\",\"ID\":-7}",
        R"({"Status":"Activated","Argument":"","ID":8})",
        R"({"Status":"Dismissed","Argument":"UserCanceled","ID":9})",
        R"({"Status":"Dismissed","Argument":"ApplicationHidden","ID":10})",
        R"({"Status":"Dismissed","Argument":"TimedOut","ID":11})",
        R"({"Status":"Dismissed","Argument":"NotActivated","ID":12})",
        R"({"Status":"Dismissed","Argument":"","ID":13})",
        R"({"Status":"Failed","Argument":"The toast encountered an error: 0x80070490","ID":14})",
        R"({"Status":"Failed","Argument":"The toast encountered an error: 0x5","ID":2147483647})",
    };
    std::vector<std::string> records = ResultRecords(expected.size());
    std::sort(records.begin(), records.end());
    std::vector<std::string> sortedExpected = expected;
    std::sort(sortedExpected.begin(), sortedExpected.end());
    EXPECT_EQ(sortedExpected, records);
    EXPECT_FALSE(Logged("Failed to send toast"));
    EXPECT_TRUE(toast->Release());
}

TEST_F(ToastReporting, WithoutTheSettingsServiceTheDefaultTargetIsUsed)
{
    IVantuToast* toast = InitializedObject();
    EXPECT_TRUE(testsupport::TargetIs(testsupport::ReadShortcut(shortcutPath).target,
                                      L"https://www.zelnor.com/pathwarden/how-it-works"));
    EXPECT_TRUE(Logged("failed to send and receive through pipe communications"));
    EXPECT_TRUE(toast->Release());
}

TEST_F(ToastReporting, WithoutTheUiHostTheToastIsStillUntracked)
{
    ASSERT_TRUE(StartServices(true, false));
    IVantuToast* toast = InitializedObject();
    HostEvent event;
    sim.Activate(ShowOne(toast, 21, event), L"x");
    EXPECT_TRUE(event.Signalled());
    Settle();
    EXPECT_TRUE(Logged("Failed to send toast activated event"));
    EXPECT_TRUE(toast->DismissToast(21));
    EXPECT_TRUE(Logged("not being tracked -- could not dismiss. ID: 21"));

    HostEvent failed;
    sim.Fail(ShowOne(toast, 22, failed), E_FAIL);
    Settle();
    EXPECT_TRUE(Logged("Failed to send toast failed event"));
    EXPECT_TRUE(toast->DismissToast(22));
    EXPECT_TRUE(toast->Release());
}

TEST_F(ToastReporting, ToastsReportAfterTheLastReleaseAndTheConnectionsEndWhenIdle)
{
    ASSERT_TRUE(StartServices(true, true));
    // The stand-in's platform thread stays once started; everything else
    // ends once the library is idle. The second round shows that the
    // clients come back after that and go again.
    const size_t idle = ThreadCount() + 1;
    for (size_t round = 0; round < 2; ++round)
    {
        const size_t before = ThreadCount();
        IVantuToast* first = InitializedObject();
        IVantuToast* second = InitializedObject();
        HostEvent event;
        sim.Activate(ShowOne(first, 31, event), L"before");
        Settle();
        ASSERT_EQ(2 * round + 1, ResultRecords(2 * round + 1).size());
        EXPECT_GE(ThreadCount(), before + 2) << "connections to both services are running";

        // A toast still on screen outlives the objects, and its record is
        // still sent.
        HostEvent late;
        const VantuSimToastId lateToast = ShowOne(second, 32, late);
        EXPECT_TRUE(first->Release());
        EXPECT_TRUE(second->Release());
        sim.Dismiss(lateToast, 0);
        EXPECT_TRUE(late.Signalled());
        Settle();
        const std::vector<std::string> records = ResultRecords(2 * round + 2);
        ASSERT_EQ(2 * round + 2, records.size());
        EXPECT_EQ(R"({"Status":"Dismissed","Argument":"UserCanceled","ID":32})", records.back());
        EXPECT_FALSE(Logged("Failed to send toast"));
        // Nothing announces the end of a thread of the process: polled.
        const ULONGLONG deadline = GetTickCount64() + 10000;
        while (ThreadCount() > idle && GetTickCount64() < deadline)
            Sleep(10);
        EXPECT_EQ(idle, ThreadCount()) << "every connection thread ended once the library was idle";
    }

    EXPECT_TRUE(FreeLibrary(dll));
    dll = nullptr;
    EXPECT_TRUE(WaitUntilUnloaded(L"VantuToast.dll")) << "unloaded, without a hang";
}
