// End to end: host -> VantuToast.dll -> toast platform stand-in -> handler ->
// transport -> the UI host service of the active session, and the shortcut
// target from the settings-manager service.
#include <windows.h>
#include <tlhelp32.h>

#include "includes/JsonDocument.h"
#include "ipc/IpcTestSupport.h"
#include "ipc/TransportTestSupport.h"
#include "toast/ToastHost.h"

using testsupport::HostEvent;

namespace {

constexpr wchar_t kServedUrl[] = L"https://help.zelnor.example/pathwarden/how-toasts-work";

using ToastHandlers = testsupport::InitializedToastTest;

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

// Every way a toast ends, one after the other: the host's event is set once,
// the ID is no longer tracked, the UI host gets the record unchanged, and the
// handler logs what it says it logs.
TEST_F(ToastHandlers, EveryEndingSetsTheEventUntracksAndSendsItsRecord)
{
    EXPECT_TRUE(testsupport::TargetIs(testsupport::ReadShortcut(shortcutPath).target, kServedUrl));
    enum Ending { Activate, ActivateUnreadable, Dismiss, DismissUnreadable, Hide, Fail, ActivateEventClosed };
    struct Case
    {
        Ending ending;
        int id;
        int code;  // reason, HRESULT, or the error of the unreadable argument
        const wchar_t* argument;
        std::string record;
        std::string line;  // "SEV text" of the line the ending logs, if any
    };
    const char* const kUnreadable = "INF Vantu toast has been clicked, but retrieving event arguments failed";
    const Case cases[] = {
        {Activate, -7, 0, L"say \"hi\" \\ C:\\path \u00E9\u4E2D",
         "{\"Status\":\"Activated\",\"Argument\":\"say \\\"hi\\\" \\\\ C:\\\\path \xC3\xA9\xE4\xB8\xAD\",\"ID\":-7}", ""},
        {Activate, 8, 0, L"", R"({"Status":"Activated","Argument":"","ID":8})", ""},
        {ActivateUnreadable, 3, E_NOINTERFACE, nullptr, R"({"Status":"Activated","Argument":"","ID":3})", kUnreadable},
        {ActivateUnreadable, 4, E_ACCESSDENIED, nullptr, R"({"Status":"Activated","Argument":"","ID":4})", kUnreadable},
        {Dismiss, 9, 0, nullptr, R"({"Status":"Dismissed","Argument":"UserCanceled","ID":9})", ""},
        {Dismiss, 11, 2, nullptr, R"({"Status":"Dismissed","Argument":"TimedOut","ID":11})", ""},
        {Dismiss, 12, 3, nullptr, R"({"Status":"Dismissed","Argument":"NotActivated","ID":12})", ""},
        {Dismiss, 13, 9, nullptr, R"({"Status":"Dismissed","Argument":"NotActivated","ID":13})", ""},
        {Dismiss, 14, -3, nullptr, R"({"Status":"Dismissed","Argument":"NotActivated","ID":14})", ""},
        {DismissUnreadable, 15, E_FAIL, nullptr, R"({"Status":"Dismissed","Argument":"","ID":15})", ""},
        // The Dismissed handler needs the table while DismissToast may still
        // hold it: no deadlock, one ending.
        {Hide, 10, 0, nullptr, R"({"Status":"Dismissed","Argument":"ApplicationHidden","ID":10})", ""},
        {Fail, 16, static_cast<int>(HRESULT_FROM_WIN32(ERROR_NOT_FOUND)), nullptr,
         R"({"Status":"Failed","Argument":"The toast encountered an error: 0x80070490","ID":16})",
         "ERR Vantu toast failed. Error code: The toast encountered an error: 0x80070490"},
        {Fail, 2147483647, 5, nullptr,
         R"({"Status":"Failed","Argument":"The toast encountered an error: 0x5","ID":2147483647})",
         "ERR Vantu toast failed. Error code: The toast encountered an error: 0x5"},
        {Fail, 17, static_cast<int>(0xC00CE556), nullptr,
         R"({"Status":"Failed","Argument":"The toast encountered an error: 0xc00ce556","ID":17})",
         "ERR Vantu toast failed. Error code: The toast encountered an error: 0xc00ce556"},
        // The named event no longer exists: logged, and the handler carries on.
        {ActivateEventClosed, 18, 0, L"x", R"({"Status":"Activated","Argument":"x","ID":18})",
         "ERR Failed to open and set toast event: 2"},
    };
    size_t count = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.record);
        const size_t before = Log().size();
        HostEvent event;
        const VantuSimToastId shown = Show(c.id, event);
        switch (c.ending)
        {
        case Activate: ASSERT_EQ(S_OK, sim.Activate(shown, c.argument)); break;
        case ActivateUnreadable: ASSERT_EQ(S_OK, sim.ActivateUnreadable(shown, c.code)); break;
        case Dismiss: ASSERT_EQ(S_OK, sim.Dismiss(shown, c.code)); break;
        case DismissUnreadable: ASSERT_EQ(S_OK, sim.DismissUnreadable(shown, c.code)); break;
        case Hide: EXPECT_TRUE(toast->DismissToast(c.id)); break;
        case Fail: ASSERT_EQ(S_OK, sim.Fail(shown, c.code)); break;
        case ActivateEventClosed:
            event.Close();
            ASSERT_EQ(S_OK, sim.Activate(shown, c.argument));
            break;
        }
        const bool hostHasEvent = c.ending != ActivateEventClosed;
        EXPECT_TRUE(!hostHasEvent || event.Signalled());
        Settle();
        EXPECT_TRUE(!hostHasEvent || WaitForSingleObject(event.Get(), 0) == WAIT_TIMEOUT) << "set once";
        EXPECT_TRUE(OnScreen().empty());
        EXPECT_TRUE(Untracked(c.id));
        const std::vector<std::string> records = ResultRecords(++count);
        ASSERT_EQ(count, records.size());
        EXPECT_EQ(c.record, records.back());
        if (!c.line.empty())
        {
            EXPECT_TRUE(LoggedLine(c.line.substr(0, 3).c_str(), c.line.substr(4), before)) << Log().substr(before);
        }
        else
        {
            EXPECT_EQ(std::string::npos, Log().find("[ERR]", before)) << Log().substr(before);
        }
    }
    EXPECT_FALSE(Logged("Failed to send toast"));
}

// Without the services: the shortcut gets the default target, and a toast
// that ends is still untracked though its record cannot be sent.
TEST_F(ToastReporting, WithoutTheServicesTheDefaultTargetIsUsedAndToastsStillEnd)
{
    IVantuToast* toast = InitializedObject();
    EXPECT_TRUE(testsupport::TargetIs(testsupport::ReadShortcut(shortcutPath).target,
                                      L"https://www.zelnor.com/pathwarden/how-it-works"));
    EXPECT_TRUE(Logged("failed to send and receive through pipe communications"));
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
    EXPECT_TRUE(toast->Release());
}

// (That a toast on screen still reports after the last Release is the edge
// tests' part.)
TEST_F(ToastReporting, TheConnectionsEndWhenIdleAndComeBack)
{
    ASSERT_TRUE(StartServices(true, true));
    // The stand-in's platform thread stays once started; everything else
    // ends once the library is idle. The second round shows that the
    // clients come back after that and go again.
    const size_t idle = ThreadCount() + 1;
    for (size_t round = 0; round < 2; ++round)
    {
        const size_t before = ThreadCount();
        IVantuToast* toast = InitializedObject();
        HostEvent event;
        sim.Activate(ShowOne(toast, 31, event), L"before");
        Settle();
        ASSERT_EQ(round + 1, ResultRecords(round + 1).size());
        EXPECT_GE(ThreadCount(), before + 2) << "connections to both services are running";
        EXPECT_TRUE(toast->Release());
        EXPECT_FALSE(Logged("Failed to send toast"));
        // Nothing announces the end of a thread of the process: polled.
        EXPECT_TRUE(ipctest::WaitFor([&] { return ThreadCount() <= idle; }, 10000));
        EXPECT_EQ(idle, ThreadCount()) << "every connection thread ended once the library was idle";
    }
    EXPECT_TRUE(FreeLibrary(dll));
    dll = nullptr;
    EXPECT_TRUE(WaitUntilUnloaded(L"VantuToast.dll")) << "unloaded, without a hang";
}
