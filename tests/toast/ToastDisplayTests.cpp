// Showing, tracking and dismissing toasts through the DLL, against the
// toast platform stand-in.
#include <set>
#include <thread>

#include "toast/ToastHost.h"

using testsupport::HostEvent;
using testsupport::kSimpleToast;

namespace {

using ToastDisplay = testsupport::InitializedToastTest;

}  // namespace

TEST_F(ToastDisplay, ShownToastsCarryTheXmlAndIdentityAndAGlobalEventEach)
{
    HostEvent first;
    HostEvent second;
    ASSERT_TRUE(toast->ShowToastFromXml(1, kSimpleToast, first.Put()));
    ASSERT_TRUE(toast->ShowToastFromXml(2, kSimpleToast, second.Put()));
    const auto screen = OnScreen();
    ASSERT_EQ(2u, screen.size());
    EXPECT_EQ(L"Zelnor.Pathwarden.DesktopToasts", ToastText(screen[0], VantuSimToastText_AppId));
    EXPECT_EQ(kSimpleToast, ToastText(screen[0], VantuSimToastText_Xml));
    EXPECT_EQ(2u, sim.LiveObjects(VantuSimToastObject_Toast)) << "the stand-in counts what the library holds";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.Get(), 0)) << "not set before the toast ends";

    const std::wstring a = testsupport::KernelObjectText(first.Get(), 1);
    const std::wstring b = testsupport::KernelObjectText(second.Get(), 1);
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    for (const std::wstring& name : {a, b})
    {
        // "Global\" puts the event into the global namespace, not into a
        // session's own one.
        EXPECT_EQ(0u, name.find(L"\\BaseNamedObjects\\")) << name;
        const size_t brace = name.find(L'{');
        ASSERT_NE(std::wstring::npos, brace) << name;
        const std::wstring guid = name.substr(brace);
        EXPECT_EQ(38u, guid.size()) << name;
        EXPECT_EQ(std::wstring::npos, guid.find_first_of(L"abcdef")) << "upper-case GUID: " << name;
    }
}

TEST_F(ToastDisplay, BadInputIsRefusedBeforeAnythingIsCreated)
{
    HostEvent event;
    EXPECT_FALSE(toast->ShowToastFromXml(1, L"", event.Put()));
    EXPECT_TRUE(Logged("XML template string is empty"));
    EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_XmlDocument)) << "the runtime was not touched";

    EXPECT_FALSE(toast->ShowToastFromXml(2, L"<toast><visual>", event.Put()));
    const std::string log = Log();
    const size_t at = log.find("xmlDoc->LoadXml failed. Error: 0x");
    ASSERT_NE(std::string::npos, at) << log;
    EXPECT_NE(std::string::npos, std::string("89abcdef").find(log[at + 33])) << "a failure code: " << log.substr(at);
    EXPECT_EQ(nullptr, event.Get()) << "no event for a toast that was never created";

    EXPECT_FALSE(toast->ShowToastFromXml(3, std::wstring(L"\0<toast/>", 9), event.Put()));
    EXPECT_TRUE(Logged("Failed to create string from XML content"));
    EXPECT_EQ(nullptr, event.Get());
    EXPECT_TRUE(OnScreen().empty());
    EXPECT_TRUE(toast->DismissAllToasts()) << "nothing tracked";
}

TEST_F(ToastDisplay, EachPlatformFailureIsLoggedWithItsMessage)
{
    struct Case
    {
        VantuSimToastOperation operation;
        const char* message;
        bool eventHandedOut;
    };
    const Case cases[] = {
        {VantuSimToastOp_ActivateXmlDocument, "ActivateInstance(IXmlDocumentIO) failed. Error: 0x80004005", false},
        {VantuSimToastOp_LoadXml, "xmlDoc->LoadXml failed. Error: 0x80004005", false},
        {VantuSimToastOp_QueryXmlDocument, "xmlDoc.CopyTo failed. Error: 0x80004005", false},
        {VantuSimToastOp_GetManagerFactory, "Failed to GetActivationFactory. Error: 0x80004005", false},
        {VantuSimToastOp_CreateToastNotifier, "Failed to create toast notifier. Error: 0x80004005", false},
        {VantuSimToastOp_GetToastFactory, "Failed to get factory. Error: 0x80004005", false},
        {VantuSimToastOp_CreateToastNotification, "Failed to create toast notification. Error: 0x80004005", false},
        {VantuSimToastOp_AddActivated, "Failed to add toast activated event handler. Error: 0x80004005", true},
        {VantuSimToastOp_AddDismissed, "Failed to add toast dismissed event handler. Error: 0x80004005", true},
        {VantuSimToastOp_AddFailed, "Failed to add toast failed event handler. Error: 0x80004005", true},
        {VantuSimToastOp_Show, nullptr, true},
    };
    int id = 100;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.operation);
        ASSERT_EQ(S_OK, sim.FailNext(c.operation, E_FAIL));
        const size_t before = Log().size();
        HostEvent event;
        EXPECT_FALSE(toast->ShowToastFromXml(++id, kSimpleToast, event.Put()));
        const std::string log = Log().substr(before);
        if (c.message)
        {
            EXPECT_NE(std::string::npos, log.find(c.message)) << log;
        }
        const bool failedAfterTheDocument = c.operation >= VantuSimToastOp_GetManagerFactory;
        EXPECT_EQ(failedAfterTheDocument, log.find("Failed to create toast\r\n") != std::string::npos) << log;
        EXPECT_EQ(c.eventHandedOut, event.Get() != nullptr);
        EXPECT_TRUE(OnScreen().empty());
        EXPECT_TRUE(Untracked(id));
    }
    EXPECT_TRUE(Logged("Failed to create toast. Could not create toast notifier."));

    // Nothing is left behind by the failed attempts, and the next show works.
    Settle();
    EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_Toast));
    HostEvent event;
    EXPECT_TRUE(toast->ShowToastFromXml(1, kSimpleToast, event.Put()));
}

// Two toasts under one ID: the table keeps the second; whichever ends first
// takes the ID's entry with it.
TEST_F(ToastDisplay, SameIdTwiceReplacesTheTableEntry)
{
    for (bool hideSecond : {true, false})
    {
        HostEvent first;
        HostEvent second;
        ASSERT_TRUE(toast->ShowToastFromXml(5, kSimpleToast, first.Put()));
        ASSERT_TRUE(toast->ShowToastFromXml(5, kSimpleToast, second.Put()));
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

TEST_F(ToastDisplay, DismissFailsWhenNoNotifierCanBeMade)
{
    HostEvent event;
    ASSERT_TRUE(toast->ShowToastFromXml(3, kSimpleToast, event.Put()));
    ASSERT_EQ(S_OK, sim.FailNext(VantuSimToastOp_CreateToastNotifier, E_ACCESSDENIED));
    EXPECT_FALSE(toast->DismissToast(3));
    EXPECT_TRUE(Logged("Failed to dismiss toast. Could not create notifier."));
    EXPECT_EQ(1u, OnScreen().size());
    ASSERT_EQ(S_OK, sim.FailNext(VantuSimToastOp_CreateToastNotifier, E_ACCESSDENIED));
    EXPECT_FALSE(toast->DismissAllToasts());
    EXPECT_TRUE(toast->DismissToast(3)) << "still tracked, so it can be dismissed later";
    Settle();
    EXPECT_TRUE(event.Signalled());
}

TEST_F(ToastDisplay, StressShowDismissAndPlatformEvents)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 60;
    sim.SetAutoMode(VantuSimToastAuto_Activate, 1, nullptr, 0, S_OK);
    std::vector<std::vector<HostEvent>> events(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
    {
        events[t].resize(kPerThread);
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
            {
                const int id = t * 1000 + i;
                if (!toast->ShowToastFromXml(id, kSimpleToast, events[t][i].Put()))
                    ++failures;
                if (i % 3 == 0 && !toast->DismissToast(id))
                    ++failures;
                if (i % 17 == 0 && !toast->DismissAllToasts())
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(0, failures.load());
    // Whatever the automatic clicks did not reach yet goes now.
    EXPECT_TRUE(toast->DismissAllToasts());
    sim.SetAutoMode(VantuSimToastAuto_Off, 0, nullptr, 0, S_OK);
    for (const VantuSimToastId id : OnScreen())
        sim.Dismiss(id, 0);
    Settle();

    for (auto& perThread : events)
        for (auto& event : perThread)
            EXPECT_TRUE(event.Signalled(0));
    EXPECT_TRUE(OnScreen().empty());
    for (int t = 0; t < kThreads; ++t)
        EXPECT_TRUE(Untracked(t * 1000 + kPerThread - 1));
    EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_Toast)) << "every toast released";
    EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_EventArgs));
}
