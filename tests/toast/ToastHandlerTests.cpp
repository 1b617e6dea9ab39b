// The Activated, Dismissed and Failed handlers, raised by the platform
// stand-in on its own thread, observed through the host's event handle and
// the DLL's log.
#include "toast/ToastHost.h"
#include "VantuToast/VantuActionHandlers.h"

using testsupport::HostEvent;
using testsupport::kSimpleToast;

namespace {

using ToastHandlers = testsupport::InitializedToastTest;

}  // namespace

TEST_F(ToastHandlers, ActivationSetsTheEventAndUntracks)
{
    HostEvent withArguments;
    ASSERT_EQ(S_OK, sim.Activate(Show(1, withArguments), L"action=open&id=7 \u00E9\u4E2D"));
    EXPECT_TRUE(withArguments.Signalled());
    Settle();
    EXPECT_TRUE(Untracked(1));

    HostEvent empty;
    ASSERT_EQ(S_OK, sim.Activate(Show(2, empty), L""));
    EXPECT_TRUE(empty.Signalled());
    Settle();
    EXPECT_TRUE(Untracked(2));
    EXPECT_FALSE(Logged("Failed to convert wide string to string"));
    EXPECT_FALSE(Logged("retrieving event arguments failed"));
}

TEST_F(ToastHandlers, UnreadableActivationArgumentsAreLoggedAtInfo)
{
    for (HRESULT readError : {E_NOINTERFACE, E_ACCESSDENIED})
    {
        HostEvent event;
        ASSERT_EQ(S_OK, sim.ActivateUnreadable(Show(3, event), readError));
        EXPECT_TRUE(event.Signalled());
        Settle();
        EXPECT_TRUE(Untracked(3));
    }
    const std::string log = Log();
    const std::string line = "Vantu toast has been clicked, but retrieving event arguments failed";
    const size_t first = log.find(line);
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, log.find(line, first + 1)) << "once per click";
    EXPECT_EQ("[INF]", log.substr(log.rfind('\n', first) + 1, 5));
}

TEST_F(ToastHandlers, DismissalByEveryReasonSetsTheEvent)
{
    for (int reason : {0, 1, 2, 7, -3})
    {
        HostEvent event;
        ASSERT_EQ(S_OK, sim.Dismiss(Show(10 + reason, event), reason));
        EXPECT_TRUE(event.Signalled()) << reason;
        Settle();
        EXPECT_TRUE(Untracked(10 + reason));
    }
    HostEvent unreadable;
    ASSERT_EQ(S_OK, sim.DismissUnreadable(Show(30, unreadable), E_FAIL));
    EXPECT_TRUE(unreadable.Signalled());
    Settle();
    EXPECT_TRUE(Untracked(30));

    EXPECT_STREQ("UserCanceled", DismissalReasonText(0));
    EXPECT_STREQ("ApplicationHidden", DismissalReasonText(1));
    EXPECT_STREQ("TimedOut", DismissalReasonText(2));
    EXPECT_STREQ("NotActivated", DismissalReasonText(3));
    EXPECT_STREQ("NotActivated", DismissalReasonText(-1));
}

TEST_F(ToastHandlers, FailureIsLoggedWithItsCode)
{
    HostEvent notFound;
    ASSERT_EQ(S_OK, sim.Fail(Show(40, notFound), HRESULT_FROM_WIN32(ERROR_NOT_FOUND)));
    EXPECT_TRUE(notFound.Signalled());
    HostEvent five;
    ASSERT_EQ(S_OK, sim.Fail(Show(41, five), 5));
    EXPECT_TRUE(five.Signalled());
    Settle();
    EXPECT_TRUE(Logged("[ERR]"));
    EXPECT_TRUE(Logged("]: Vantu toast failed. Error code: The toast encountered an error: 0x80070490\r\n"));
    EXPECT_TRUE(Logged("]: Vantu toast failed. Error code: The toast encountered an error: 0x5\r\n"));
    EXPECT_TRUE(Untracked(40));
    EXPECT_TRUE(Untracked(41));
    EXPECT_EQ("The toast encountered an error: 0xc00ce556", ToastErrorText(static_cast<HRESULT>(0xC00CE556)));
}

TEST_F(ToastHandlers, EventClosedByTheHostIsLoggedAndTheHandlerCarriesOn)
{
    HostEvent event;
    const VantuSimToastId id = Show(50, event);
    event.Close();  // the named event no longer exists
    ASSERT_EQ(S_OK, sim.Activate(id, L"x"));
    Settle();
    EXPECT_TRUE(Logged("Failed to open and set toast event: 2\r\n"));
    EXPECT_TRUE(Untracked(50));
}

TEST_F(ToastHandlers, HiddenToastReportsThroughDismissed)
{
    HostEvent event;
    Show(60, event);
    // The Dismissed handler runs on the platform thread and needs the table
    // while DismissToast may still hold it: no deadlock, one ending.
    EXPECT_TRUE(toast->DismissToast(60));
    EXPECT_TRUE(event.Signalled());
    Settle();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.Get(), 0)) << "set once";
    EXPECT_TRUE(OnScreen().empty());
    EXPECT_TRUE(Untracked(60));
}
