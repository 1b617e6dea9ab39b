// The object's lifecycle and the Start-menu shortcut, and the
// library at its edges as a host meets them: a host that exits in the
// middle of traffic, templates through the DLL, and the platform's hostile
// behaviours (events raised inside Hide, a failure racing Show's return).

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/TemplateSigning.h"
#include "toast/ToastHost.h"

using testsupport::FileExists;
using testsupport::HostEvent;
using testsupport::kSimpleToast;
using testsupport::ReadShortcut;
using testsupport::ShortcutContents;
using testsupport::TargetIs;

namespace {

using ToastLifecycle = testsupport::ToastHostTest;

constexpr wchar_t kChildEventVariable[] = L"VANTU_CHILD_HOST_EVENT";
constexpr DWORD kChildExitCode = 42;

class ToastEdges : public testsupport::InitializedToastTest
{
protected:
    // Runs `work` on another thread: a call that deadlocks fails the test
    // instead of hanging the suite.
    void WithinSeconds(int seconds, const std::function<void()>& work)
    {
        auto done = std::async(std::launch::async, work);
        if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready)
        {
            ADD_FAILURE() << "did not return within " << seconds << " s";
            std::fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }

    double Milliseconds(const std::function<void()>& work)
    {
        const auto start = std::chrono::steady_clock::now();
        work();
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
};

}  // namespace

TEST_F(ToastLifecycle, TwoObjectsShareOneShortcutUntilTheLastRelease)
{
    IVantuToast* first = create();
    IVantuToast* second = create();
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(first->Initialize());
    ASSERT_TRUE(FileExists(shortcutPath));
    EXPECT_TRUE(second->Initialize());
    EXPECT_FALSE(Logged("Shortcut already exists")) << "the second Initialize registers nothing";

    const ShortcutContents contents = ReadShortcut(shortcutPath);
    EXPECT_TRUE(TargetIs(contents.target, L"https://help.zelnor.example/pathwarden/how-toasts-work"))
        << "the settings manager's HowItWorksUrl: " << contents.target;
    EXPECT_EQ(L"", contents.icon);
    EXPECT_FALSE(Logged("icon")) << "no Icon value: nothing said about the icon";

    EXPECT_TRUE(first->Release());
    EXPECT_TRUE(FileExists(shortcutPath));
    EXPECT_TRUE(second->Release());
    EXPECT_FALSE(FileExists(shortcutPath));

    // A new Initialize after the last Release creates it again, with the
    // product key's icon.
    ASSERT_TRUE(testsupport::SetProductValue(L"Icon", L"C:\\Program Files\\Zelnor\\Pathwarden\\pathwarden.ico"));
    IVantuToast* third = InitializedObject();
    EXPECT_EQ(L"C:\\Program Files\\Zelnor\\Pathwarden\\pathwarden.ico", ReadShortcut(shortcutPath).icon);
    EXPECT_TRUE(third->Release());
    EXPECT_FALSE(FileExists(shortcutPath));
}

// Whatever process serves the settings pipe chooses "HowItWorksUrl": a value
// that is no plain https address (a program, plain http, or one that breaks out
// with a quote, a space or a line end) leaves the default target, and the log
// names the refusal, not the value.
TEST_F(ToastLifecycle, AServedTargetThatIsNoPlainHttpsAddressLeavesTheDefault)
{
    const std::string tooLong = "https://help.zelnor.example/" + std::string(2049 - 28, 'a');
    ASSERT_EQ(2049u, tooLong.size());
    const std::string refused[] = {
        "C:\\Windows\\System32\\calc.exe",
        "https://help.zelnor.example/x\" /c calc.exe",
        "https://help.zelnor.example/x'y",
        "https://help.zelnor.example/a b",
        "https://help.zelnor.example/a\nb",
        "http://help.zelnor.example/plain",
        "https://",
        tooLong,
    };
    for (const std::string& served : refused)
    {
        SCOPED_TRACE(served.substr(0, 60));
        // JSON text of the value: quotes, backslashes and the line feed escaped.
        std::string json;
        for (const char c : served)
            json += c == '"' ? std::string("\\\"") : c == '\\' ? std::string("\\\\") : c == '\n' ? std::string("\\n") : std::string(1, c);
        const std::wstring file = services.File(L"served.json");
        testsupport::WriteFileBytes(file, "{\"HowItWorksUrl\":\"" + json + "\"}");
        ASSERT_TRUE(services.Start(L"--events \"" + EventsFile() + L"\" --settings \"" + file + L"\" --ui-session 1"));
        const size_t logged = Log().size();

        IVantuToast* toast = InitializedObject();
        ASSERT_TRUE(FileExists(shortcutPath));
        const std::wstring stored = ReadShortcut(shortcutPath).target;
        EXPECT_TRUE(TargetIs(stored, L"https://www.zelnor.com/pathwarden/how-it-works")) << stored;
        EXPECT_TRUE(LoggedLine("ERR", "VantuToast",
                               "HowItWorksUrl refused: not an https address of at most 2048 characters without "
                               "control characters, quotes or spaces; the default target is used",
                               logged));
        EXPECT_EQ(std::string::npos, Log().find("zelnor.example", logged)) << "the value itself is not logged";
        EXPECT_TRUE(toast->Release());
        ASSERT_FALSE(FileExists(shortcutPath));
    }
}

TEST_F(ToastLifecycle, NegativeCounterIsReportedAndKeepsTheShortcut)
{
    IVantuToast* never = create();
    EXPECT_TRUE(never->Release()) << "flag clear: counter -1 silently";

    IVantuToast* owner = InitializedObject();  // counter back at 0, shortcut registered
    ASSERT_TRUE(FileExists(shortcutPath));
    IVantuToast* other = create();
    EXPECT_FALSE(other->Release());
    EXPECT_TRUE(
        LoggedLine("ERR", "VantuToast", "ERROR: VantuToast object counter should never be less than zero. Counter: -1"));
    EXPECT_TRUE(FileExists(shortcutPath));

    // Still initialised: an object that never called Initialize shows toasts.
    IVantuToast* bystander = create();
    testsupport::HostEvent event;
    EXPECT_TRUE(bystander->ShowToastFromXml(1, testsupport::kSimpleToast, event.put()));
    EXPECT_TRUE(bystander->DismissAllToasts());
    EXPECT_TRUE(event.Signalled());
    delete bystander;  // slot 0 alone: no uncounting
    delete owner;
}

TEST_F(ToastLifecycle, ExistingShortcutIsAcceptedAsItIs)
{
    testsupport::WriteFileBytes(shortcutPath, "not really a shortcut");
    IVantuToast* toast = InitializedObject();
    EXPECT_TRUE(LoggedLine("INF", "VantuToast",
                           "Shortcut already exists: " + std::string(shortcutPath.begin(), shortcutPath.end())));
    EXPECT_EQ("not really a shortcut", testsupport::ReadFileBytes(shortcutPath));
    EXPECT_TRUE(toast->Release());
    EXPECT_FALSE(FileExists(shortcutPath));

    // Someone else deleted it meanwhile: Release still succeeds.
    IVantuToast* again = InitializedObject();
    ASSERT_TRUE(DeleteFileW(shortcutPath.c_str()));
    EXPECT_TRUE(again->Release());
}

TEST_F(ToastLifecycle, FailedRegistrationCountsTouchesNothingAndIsRetried)
{
    // A file where the Programs folder should be makes saving the shortcut fail.
    const std::wstring programs = shortcutPath.substr(0, shortcutPath.rfind(L'\\'));
    ASSERT_TRUE(MoveFileW(programs.c_str(), (programs + L".aside").c_str())) << GetLastError();
    testsupport::WriteFileBytes(programs, "blocker");
    IVantuToast* toast = create();
    EXPECT_FALSE(toast->Initialize());
    EXPECT_TRUE(Logged("Failed to save PersistFile. Error: 0x"));
    EXPECT_TRUE(Logged("Failed to create shortcut"));
    testsupport::HostEvent event;
    EXPECT_FALSE(toast->ShowToastFromXml(1, testsupport::kSimpleToast, event.put()));
    EXPECT_TRUE(Logged("CVantuToast not initialized"));
    EXPECT_EQ(nullptr, event.get());

    // Counter 1, flag clear: a Release removes nothing.
    DeleteFileW(programs.c_str());
    ASSERT_TRUE(MoveFileW((programs + L".aside").c_str(), programs.c_str()));
    testsupport::WriteFileBytes(shortcutPath, "someone else's");
    EXPECT_TRUE(create()->Release());
    EXPECT_EQ("someone else's", testsupport::ReadFileBytes(shortcutPath));
    ASSERT_TRUE(DeleteFileW(shortcutPath.c_str()));

    EXPECT_TRUE(toast->Initialize()) << "the next Initialize tries again";
    EXPECT_TRUE(FileExists(shortcutPath));
    EXPECT_TRUE(toast->Release());
    EXPECT_FALSE(FileExists(shortcutPath));
}

// A signed template shows its content; one the library cannot read is
// refused with the DLL's own line (what the template reader logs is its
// tests' part); nothing is shown before Initialize.
TEST_F(ToastEdges, TemplatesThroughTheDll)
{
    const std::string xml(std::begin(kSimpleToast), std::end(kSimpleToast) - 1);
    testsupport::TempDir dir;
    const std::wstring good = dir / L"signed.template";
    testsupport::WriteFileBytes(good, testsupport::TestSigner::Development().Template(xml, true));
    const size_t before = Log().size();
    HostEvent event;
    ASSERT_TRUE(toast->ShowToastFromTemplate(40, good, event.put()));
    ASSERT_EQ(1u, OnScreen().size());
    EXPECT_EQ(std::wstring(kSimpleToast), ToastText(OnScreen()[0], VantuSimToastText_Xml));
    EXPECT_TRUE(toast->DismissToast(40));
    EXPECT_TRUE(event.Signalled());
    EXPECT_EQ(std::string::npos, Log().find("[ERR]", before)) << Log().substr(before);

    HostEvent refused;
    EXPECT_FALSE(toast->ShowToastFromTemplate(41, dir / L"none.template", refused.put()));
    EXPECT_EQ(nullptr, refused.get());
    EXPECT_TRUE(LoggedLine("ERR", "VantuToast", "Failed to retrieve XML template file contents"));

    IVantuToast* bare = create();  // after the last Release: not initialised
    toast->Release();
    toast = nullptr;
    EXPECT_FALSE(bare->ShowToastFromTemplate(40, good, refused.put()));
    EXPECT_TRUE(LoggedLine("ERR", "VantuToast", "CVantuToast not initialized"));
    EXPECT_TRUE(bare->Release());
}

// DismissToast and DismissAllToasts on the kind platform, and on one that
// raises Dismissed inside Hide, on the calling thread; without a notifier
// both fail and the toast stays tracked, to be dismissed later.
TEST_F(ToastEdges, DismissingOneAndAll)
{
    for (const uint32_t mode : {0u, uint32_t{VantuSimToastMode_HideRaisesDismissed}})
    {
        SCOPED_TRACE(mode);
        sim.SetModes(mode);
        const int first = mode ? 60 : -70;
        HostEvent events[4];
        for (int i = 0; i < 4; ++i)
            Show(first + i, events[i]);
        WithinSeconds(20, [&] {
            EXPECT_TRUE(toast->DismissToast(first));
            EXPECT_TRUE(toast->DismissAllToasts());
        });
        for (auto& event : events)
            EXPECT_TRUE(event.Signalled(mode ? 0 : 10000)) << "with the mode set inside Hide, before the call returned";
        Settle();
        EXPECT_TRUE(OnScreen().empty());
        const std::vector<std::string> records = ResultRecords(mode ? 8 : 4);
        ASSERT_EQ(mode ? 8u : 4u, records.size());
        for (const std::string& record : records)
            EXPECT_NE(std::string::npos, record.find(R"("Argument":"ApplicationHidden")")) << record;
        for (int i = 0; i < 4; ++i)
            EXPECT_TRUE(Untracked(first + i));
    }

    sim.SetModes(0);
    HostEvent kept;
    Show(3, kept);
    for (const bool all : {false, true})
    {
        ASSERT_EQ(S_OK, sim.FailNext(VantuSimToastOp_CreateToastNotifier, E_ACCESSDENIED));
        EXPECT_FALSE(all ? toast->DismissAllToasts() : toast->DismissToast(3));
    }
    EXPECT_TRUE(Logged("Failed to dismiss toast. Could not create notifier."));
    EXPECT_EQ(1u, OnScreen().size());
    EXPECT_TRUE(toast->DismissToast(3));
    EXPECT_TRUE(kept.Signalled());
}

TEST_F(ToastEdges, FailureRacingShowLeavesNothingTracked)
{
    for (uint32_t modes : {uint32_t{VantuSimToastMode_FailOnShow},
                           uint32_t{VantuSimToastMode_FailOnShow | VantuSimToastMode_FreshEventThreads}})
    {
        sim.SetModes(modes);
        const int first = modes == VantuSimToastMode_FailOnShow ? 100 : 200;
        const uint32_t freshBefore = sim.FreshThreadEvents();
        std::vector<HostEvent> events(40);
        for (int i = 0; i < 40; ++i)
            EXPECT_TRUE(toast->ShowToastFromXml(first + i, kSimpleToast, events[i].put()));
        Settle();
        EXPECT_EQ(first == 100 ? 0u : 40u, sim.FreshThreadEvents() - freshBefore) << "each Failed on a thread of its own";
        for (int i = 0; i < 40; ++i)
        {
            EXPECT_TRUE(events[i].Signalled(0));
            EXPECT_TRUE(Untracked(first + i)) << first + i;
        }
    }
    EXPECT_EQ(80u, ResultRecords(80).size());
    EXPECT_TRUE(toast->DismissAllToasts());
}

// The host side of the next test, run in a child process by it only.
TEST(ToastChildHost, DISABLED_ExitsInTheMiddleOfTraffic)
{
    wchar_t eventName[128] = L"";
    ASSERT_NE(0u, GetEnvironmentVariableW(kChildEventVariable, eventName, 128))
        << "runs as the child of HostExitingWithoutReleaseEndsAtOnce";
    HMODULE dll = nullptr;
    const CreateVantuToastObjectFn create = testsupport::LoadToastLibrary(dll);
    ASSERT_NE(nullptr, create);
    VantuSimToastApi sim;
    ASSERT_TRUE(sim.Load());
    sim.SetModes(VantuSimToastMode_FreshEventThreads);
    sim.SetAutoMode(VantuSimToastAuto_Activate, 0, nullptr, 0, S_OK);
    IVantuToast* toast = create();
    ASSERT_TRUE(toast->Initialize());
    EXPECT_TRUE(toast->DismissToast(-424242));  // the line at level 4 the parent looks for

    std::atomic<int> shown{0};
    HANDLE busy = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int t = 0; t < 3; ++t)
    {
        // Never joined: the process ends under them.
        std::thread([&, t] {
            for (int i = 0;; ++i)
            {
                Groundwork::ScopedHandle event;
                if (toast->ShowToastFromXml(t * 1000000 + i, kSimpleToast, event.put()) && ++shown == 60)
                    SetEvent(busy);
            }
        }).detach();
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(busy, 60000));
    HANDLE exiting = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
    SetEvent(exiting);
    ExitProcess(kChildExitCode);
}

TEST_F(ToastEdges, HostExitingWithoutReleaseEndsAtOnce)
{
    const std::wstring name = L"vantu-child-exiting-" + std::to_wstring(GetCurrentProcessId());
    const Groundwork::ScopedHandle exiting(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(exiting.valid());
    SetEnvironmentVariableW(kChildEventVariable, name.c_str());
    const size_t before = Log().size();
    ipctest::ChildProcess child;
    const bool launched = child.Launch(
        L"toast_tests.exe", L"--gtest_filter=ToastChildHost.DISABLED_ExitsInTheMiddleOfTraffic --gtest_also_run_disabled_tests");
    SetEnvironmentVariableW(kChildEventVariable, nullptr);
    ASSERT_TRUE(launched);
    const HANDLE waits[2] = {exiting.get(), child.Handle()};
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, waits, FALSE, 120000)) << "the child reached its exit";
    // An exit that waits on the library's threads under the loader lock
    // never ends. The wait ends with the process: its bound is only for a
    // hang (a loaded machine has been seen to take over 6 s).
    std::optional<DWORD> code;
    std::printf("child host ended %.0f ms after ExitProcess\n", Milliseconds([&] { code = child.Wait(60000); }));
    ASSERT_TRUE(code.has_value()) << "still running 60 s after ExitProcess";
    EXPECT_EQ(kChildExitCode, *code);
    EXPECT_TRUE(
        LoggedLine("DBG", "VantuToast", "Vantu Toast is not being tracked -- could not dismiss. ID: -424242", before));
}
