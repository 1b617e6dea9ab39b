// Showing, tracking and dismissing toasts through the DLL against the toast
// platform stand-in, and end to end: handler -> transport -> the UI host
// service of the active session.
#include <windows.h>

#include <thread>
#include <tuple>

#include "toast/ToastHost.h"

using testsupport::HostEvent;
using testsupport::kSimpleToast;

namespace {

using ToastDisplay = testsupport::InitializedToastTest;

using ToastReporting = testsupport::ToastHostTest;

}  // namespace

TEST_F(ToastDisplay, ShownToastsCarryTheXmlAndIdentityAndAGlobalEventEach)
{
    HostEvent first;
    HostEvent second;
    ASSERT_TRUE(toast->ShowToastFromXml(1, kSimpleToast, first.put()));
    ASSERT_TRUE(toast->ShowToastFromXml(2, kSimpleToast, second.put()));
    const auto screen = OnScreen();
    ASSERT_EQ(2u, screen.size());
    EXPECT_EQ(L"Zelnor.Pathwarden.DesktopToasts", ToastText(screen[0], VantuSimToastText_AppId));
    EXPECT_EQ(kSimpleToast, ToastText(screen[0], VantuSimToastText_Xml));
    EXPECT_EQ(2u, sim.LiveObjects(VantuSimToastObject_Toast)) << "the stand-in counts what the library holds";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.get(), 0)) << "not set before the toast ends";

    const std::wstring a = testsupport::KernelObjectText(first.get(), 1);
    const std::wstring b = testsupport::KernelObjectText(second.get(), 1);
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    for (const std::wstring& name : {a, b})
    {
        // "Global\" puts the event into the global namespace, not into a
        // session's own one.
        EXPECT_EQ(0u, name.find(L"\\BaseNamedObjects\\")) << name;
    }
}

TEST_F(ToastDisplay, BadInputIsRefusedBeforeAnythingIsCreated)
{
    HostEvent event;
    EXPECT_FALSE(toast->ShowToastFromXml(1, L"", event.put()));
    EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_XmlDocument)) << "the runtime was not touched";
    EXPECT_EQ(nullptr, event.get()) << "no event for a toast that was never created";
    // (XML that the platform's parser refuses: the LoadXml case of
    // EachPlatformFailureIsLoggedWithItsMessage.)
    EXPECT_FALSE(toast->ShowToastFromXml(3, std::wstring(L"\0<toast/>", 9), event.put()));
    EXPECT_EQ(nullptr, event.get());
    EXPECT_TRUE(OnScreen().empty());
    EXPECT_TRUE(toast->DismissAllToasts()) << "nothing tracked";
}

// Each failing step is logged with its code and leaves nothing on screen or
// tracked. The operations go in the order the library calls them: from the
// handlers on, the host has its event.
TEST_F(ToastDisplay, EachPlatformFailureIsLoggedWithItsCode)
{
    int id = 100;
    for (int operation = VantuSimToastOp_ActivateXmlDocument; operation <= VantuSimToastOp_Show; ++operation)
    {
        SCOPED_TRACE(operation);
        ASSERT_EQ(S_OK, sim.FailNext(static_cast<VantuSimToastOperation>(operation), E_FAIL));
        const size_t before = Log().size();
        HostEvent event;
        EXPECT_FALSE(toast->ShowToastFromXml(++id, kSimpleToast, event.put()));
        const std::string log = Log().substr(before);
        EXPECT_TRUE(operation == VantuSimToastOp_Show || log.find("Error: 0x80004005") != std::string::npos) << log;
        EXPECT_NE(std::string::npos, log.find("[ERR]")) << log;
        EXPECT_EQ(operation >= VantuSimToastOp_AddActivated, event.get() != nullptr);
        EXPECT_TRUE(OnScreen().empty());
        EXPECT_TRUE(Untracked(id));
    }

    // Nothing is left behind by the failed attempts, and the next show works.
    Settle();
    EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_Toast));
    HostEvent event;
    EXPECT_TRUE(toast->ShowToastFromXml(1, kSimpleToast, event.put()));
}

// Two toasts under one ID: the table keeps the second; whichever ends first
// takes the ID's entry with it.
TEST_F(ToastDisplay, SameIdTwiceReplacesTheTableEntry)
{
    for (bool hideSecond : {true, false})
    {
        HostEvent first;
        HostEvent second;
        ASSERT_TRUE(toast->ShowToastFromXml(5, kSimpleToast, first.put()));
        ASSERT_TRUE(toast->ShowToastFromXml(5, kSimpleToast, second.put()));
        ASSERT_EQ(2u, OnScreen().size());
        if (hideSecond)
            EXPECT_TRUE(toast->DismissToast(5));
        else
            ASSERT_EQ(S_OK, sim.Dismiss(OnScreen()[0], 2));
        Settle();
        EXPECT_TRUE((hideSecond ? second : first).Signalled());
        EXPECT_TRUE(Untracked(5)) << "the ID's entry went with the toast that ended";
        const auto screen = OnScreen();
        ASSERT_EQ(1u, screen.size()) << "the other stays on screen";
        ASSERT_EQ(S_OK, sim.Activate(screen[0], nullptr));
        Settle();
        EXPECT_TRUE((hideSecond ? first : second).Signalled());
    }
}

TEST_F(ToastDisplay, StressShowDismissAndPlatformEvents)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 60;
    sim.SetAutoMode(VantuSimToastAuto_Activate, 1, nullptr, 0, S_OK);
    std::vector<HostEvent> events(kThreads * kPerThread);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0, id = t * 1000; i < kPerThread; ++i, ++id)
                failures += !toast->ShowToastFromXml(id, kSimpleToast, events[t * kPerThread + i].put()) +
                            (i % 3 == 0 && !toast->DismissToast(id)) + (i % 17 == 0 && !toast->DismissAllToasts());
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(0, failures.load());
    // Whatever the automatic clicks did not reach yet goes now.
    EXPECT_TRUE(toast->DismissAllToasts());
    sim.SetAutoMode(VantuSimToastAuto_Off, 0, nullptr, 0, S_OK);
    for (const VantuSimToastId id : OnScreen())
        sim.Dismiss(id, 0);
    Settle();

    for (auto& event : events)
        EXPECT_TRUE(event.Signalled(0));
    EXPECT_TRUE(OnScreen().empty());
    for (int t = 0; t < kThreads; ++t)
        EXPECT_TRUE(Untracked(t * 1000 + kPerThread - 1));
    EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_Toast)) << "every toast released";
    EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_EventArgs));
}


// Every way a toast ends, one after the other: the host's event is set once,
// the ID is no longer tracked, and the UI host gets the record unchanged.
TEST_F(ToastDisplay, EveryEndingSetsTheEventUntracksAndSendsItsRecord)
{
    enum Ending { Activate, ActivateUnreadable, Dismiss, DismissUnreadable, Hide, Fail, ActivateEventClosed };
    // How the toast ends, its ID, the reason, HRESULT or error of the
    // unreadable argument, the argument, and the record.
    using Case = std::tuple<Ending, int, int, const wchar_t*, std::string>;
    const Case cases[] = {
        {Activate, -7, 0, L"say \"hi\" \\ C:\\path \u00E9\u4E2D",
         "{\"Status\":\"Activated\",\"Argument\":\"say \\\"hi\\\" \\\\ C:\\\\path \xC3\xA9\xE4\xB8\xAD\",\"ID\":-7}"},
        {Activate, 8, 0, L"", R"({"Status":"Activated","Argument":"","ID":8})"},
        {ActivateUnreadable, 3, E_NOINTERFACE, nullptr, R"({"Status":"Activated","Argument":"","ID":3})"},
        {ActivateUnreadable, 4, E_ACCESSDENIED, nullptr, R"({"Status":"Activated","Argument":"","ID":4})"},
        {Dismiss, 9, 0, nullptr, R"({"Status":"Dismissed","Argument":"UserCanceled","ID":9})"},
        {Dismiss, 11, 2, nullptr, R"({"Status":"Dismissed","Argument":"TimedOut","ID":11})"},
        {Dismiss, 12, 3, nullptr, R"({"Status":"Dismissed","Argument":"NotActivated","ID":12})"},
        {Dismiss, 14, -3, nullptr, R"({"Status":"Dismissed","Argument":"NotActivated","ID":14})"},
        {DismissUnreadable, 15, E_FAIL, nullptr, R"({"Status":"Dismissed","Argument":"","ID":15})"},
        // The Dismissed handler needs the table while DismissToast may still
        // hold it: no deadlock, one ending.
        {Hide, 10, 0, nullptr, R"({"Status":"Dismissed","Argument":"ApplicationHidden","ID":10})"},
        {Fail, 2147483647, 5, nullptr,
         R"({"Status":"Failed","Argument":"The toast encountered an error: 0x5","ID":2147483647})"},
        {Fail, 17, static_cast<int>(0xC00CE556), nullptr,
         R"({"Status":"Failed","Argument":"The toast encountered an error: 0xc00ce556","ID":17})"},
        // The named event no longer exists: logged, and the handler carries on.
        {ActivateEventClosed, 18, 0, L"x", R"({"Status":"Activated","Argument":"x","ID":18})"},
    };
    size_t count = 0;
    for (const auto& [ending, id, code, argument, record] : cases)
    {
        SCOPED_TRACE(record);
        HostEvent event;
        const VantuSimToastId shown = Show(id, event);
        switch (ending)
        {
        case Activate: ASSERT_EQ(S_OK, sim.Activate(shown, argument)); break;
        case ActivateUnreadable: ASSERT_EQ(S_OK, sim.ActivateUnreadable(shown, code)); break;
        case Dismiss: ASSERT_EQ(S_OK, sim.Dismiss(shown, code)); break;
        case DismissUnreadable: ASSERT_EQ(S_OK, sim.DismissUnreadable(shown, code)); break;
        case Hide: EXPECT_TRUE(toast->DismissToast(id)); break;
        case Fail: ASSERT_EQ(S_OK, sim.Fail(shown, code)); break;
        case ActivateEventClosed:
            event.reset();
            ASSERT_EQ(S_OK, sim.Activate(shown, argument));
            break;
        }
        const bool hostHasEvent = ending != ActivateEventClosed;
        EXPECT_TRUE(!hostHasEvent || event.Signalled());
        Settle();
        EXPECT_TRUE(!hostHasEvent || WaitForSingleObject(event.get(), 0) == WAIT_TIMEOUT) << "set once";
        EXPECT_TRUE(OnScreen().empty());
        EXPECT_TRUE(Untracked(id));
        const std::vector<std::string> records = ResultRecords(++count);
        ASSERT_EQ(count, records.size());
        EXPECT_EQ(record, records.back());
    }
    EXPECT_FALSE(Logged("Failed to send toast"));
}

// (That a toast on screen still reports after the last Release, and what
// happens without the services, is the edge tests' part.)
// Each service's connection is made once and stays while the process lives:
// objects made after the last Release report over the same connections, and
// nothing queued on them is ever dropped by the library going idle.
TEST_F(ToastReporting, TheConnectionsStayForTheNextObjects)
{
    for (size_t round = 0; round < 3; ++round)
    {
        IVantuToast* toast = InitializedObject();
        HostEvent event;
        sim.Activate(ShowOne(toast, 31, event), L"again");
        Settle();
        ASSERT_EQ(round + 1, ResultRecords(round + 1).size());
        EXPECT_TRUE(toast->Release());
        // Idle a while, with no object and no toast: what is closed on idle
        // would be closed now.
        Sleep(500);
    }
    EXPECT_FALSE(Logged("Failed to send toast"));
    const std::string log = Log();
    for (const std::string service : {"SettingManager", "UIManager_1"})
    {
        const std::string made = "]: ###:" + service + ":Before initialize\r\n";
        const size_t first = log.find(made);
        EXPECT_NE(std::string::npos, first) << service;
        EXPECT_EQ(std::string::npos, log.find(made, first + 1)) << service << " connected once";
    }
}
