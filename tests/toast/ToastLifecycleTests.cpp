// The object's lifecycle and the Start-menu shortcut (with what the library
// writes into it, and the user's other host processes that share it), and the
// library at its edges as a host meets them: a host that exits in the
// middle of traffic, templates through the DLL, and the platform's hostile
// behaviours (events raised inside Hide, a failure racing Show's return).

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/TemplateSigning.h"
#include "toast/ToastHost.h"
#include "VantuToast/ShortcutSharing.h"

#include <propsys.h>

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

// Wine's shell link keeps no application ID, so the calls the library makes
// on a link's property store are recorded instead, while this lives, through
// the SetValue and Commit slots that every link of the process shares: each
// SetValue as "{fmtid}/pid vt text", then "Commit".
class PropertyStoreWatch
{
public:
    explicit PropertyStoreWatch(IPropertyStore* store) : m_table(*reinterpret_cast<void***>(store))
    {
        Swap();
    }
    ~PropertyStoreWatch() { Swap(); }
    PropertyStoreWatch(const PropertyStoreWatch&) = delete;
    PropertyStoreWatch& operator=(const PropertyStoreWatch&) = delete;

    std::vector<std::wstring> Calls() const
    {
        std::lock_guard<std::mutex> guard(s_lock);
        return s_calls;
    }

private:
    static HRESULT STDMETHODCALLTYPE SetValue(IPropertyStore* store, REFPROPERTYKEY key, REFPROPVARIANT value)
    {
        wchar_t fmtid[40] = L"";
        StringFromGUID2(key.fmtid, fmtid, 40);
        Record(fmtid + (L"/" + std::to_wstring(key.pid)) + L" " + std::to_wstring(value.vt) + L" " +
               (value.vt == VT_LPWSTR && value.pwszVal ? value.pwszVal : L""));
        return reinterpret_cast<decltype(&SetValue)>(s_slots[0])(store, key, value);
    }
    static HRESULT STDMETHODCALLTYPE Commit(IPropertyStore* store)
    {
        Record(L"Commit");
        return reinterpret_cast<decltype(&Commit)>(s_slots[1])(store);
    }
    static void Record(const std::wstring& call)
    {
        std::lock_guard<std::mutex> guard(s_lock);
        s_calls.push_back(call);
    }
    // Slots 6 and 7: after IUnknown's three, GetCount, GetAt and GetValue.
    void Swap()
    {
        DWORD old = 0;
        VirtualProtect(&m_table[6], 2 * sizeof(void*), PAGE_READWRITE, &old);
        std::swap(m_table[6], s_slots[0]);
        std::swap(m_table[7], s_slots[1]);
        VirtualProtect(&m_table[6], 2 * sizeof(void*), old, &old);
    }

    void** const m_table;
    static inline void* s_slots[2] = {reinterpret_cast<void*>(&SetValue), reinterpret_cast<void*>(&Commit)};
    static inline std::mutex s_lock;
    static inline std::vector<std::wstring> s_calls;
};

// Runs a ToastChildHost test of this program as a child host, telling it the
// name of the events it shares with the parent.
bool LaunchChildHost(ipctest::ChildProcess& child, const std::wstring& test, const std::wstring& eventName)
{
    SetEnvironmentVariableW(kChildEventVariable, eventName.c_str());
    const bool launched =
        child.Launch(L"toast_tests.exe", L"--gtest_filter=ToastChildHost." + test + L" --gtest_also_run_disabled_tests");
    SetEnvironmentVariableW(kChildEventVariable, nullptr);
    return launched;
}

// Another host process of the same user (this program, running
// ToastChildHost.DISABLED_HoldsAnObjectUntilTold) that holds one initialised
// object until told.
class SecondHost
{
public:
    bool Start()
    {
        static int started = 0;
        const std::wstring name =
            L"vantu-second-host-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++started);
        m_ready.reset(CreateEventW(nullptr, TRUE, FALSE, (name + L"-ready").c_str()));
        m_release.reset(CreateEventW(nullptr, TRUE, FALSE, (name + L"-release").c_str()));
        const bool launched = LaunchChildHost(m_child, L"DISABLED_HoldsAnObjectUntilTold", name);
        const HANDLE waits[2] = {m_ready.get(), m_child.Handle()};
        return launched && WaitForMultipleObjects(2, waits, FALSE, 120000) == WAIT_OBJECT_0;
    }
    // Its object released and the process ended well.
    bool Release()
    {
        SetEvent(m_release.get());
        return m_child.Wait(60000) == std::optional<DWORD>(0);
    }
    void Kill() { m_child.Kill(); }

private:
    Groundwork::ScopedHandle m_ready;
    Groundwork::ScopedHandle m_release;
    ipctest::ChildProcess m_child;
};


using ToastEdges = testsupport::InitializedToastTest;

}  // namespace

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
        EXPECT_TRUE(Logged("HowItWorksUrl refused: not an https address of at most 2048 characters without "
                           "control characters, quotes or spaces; the default target is used",
                           logged));
        EXPECT_EQ(std::string::npos, Log().find("zelnor.example", logged)) << "the value itself is not logged";
        EXPECT_TRUE(toast->Release());
        ASSERT_FALSE(FileExists(shortcutPath));
    }
}

// The other host of ShortcutAndCounterCases, run in a child process by it only.
TEST(ToastChildHost, DISABLED_HoldsAnObjectUntilTold)
{
    wchar_t name[128] = L"";
    ASSERT_NE(0u, GetEnvironmentVariableW(kChildEventVariable, name, 128)) << "runs as a child of ShortcutAndCounterCases";
    const Groundwork::ScopedHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + std::wstring(L"-ready")).c_str()));
    const Groundwork::ScopedHandle release(OpenEventW(SYNCHRONIZE, FALSE, (name + std::wstring(L"-release")).c_str()));
    ASSERT_TRUE(ready.valid() && release.valid());
    HMODULE dll = nullptr;
    const CreateVantuToastObjectFn create = testsupport::LoadToastLibrary(dll);
    ASSERT_NE(nullptr, create);
    IVantuToast* toast = create();
    ASSERT_TRUE(toast->Initialize());
    SetEvent(ready.get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(release.get(), 120000));
    EXPECT_TRUE(toast->Release());
}

// The shortcut and the object counter, case by case over one set-up. Each
// case leaves the counter at zero and the flag clear, which the probe after
// it checks: a fresh object registers the shortcut and its Release removes it.
TEST_F(ToastLifecycle, ShortcutAndCounterCases)
{
    size_t from = 0;  // the log of the running case
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"two objects share one shortcut until the last Release",
         [&] {
             IVantuToast* first = create();
             IVantuToast* second = create();
             ASSERT_TRUE(first && second);
             EXPECT_TRUE(first->Initialize());
             ASSERT_TRUE(FileExists(shortcutPath));
             EXPECT_TRUE(second->Initialize());
             EXPECT_FALSE(Logged("Shortcut already exists", from)) << "the second Initialize registers nothing";
             const ShortcutContents contents = ReadShortcut(shortcutPath);
             EXPECT_TRUE(TargetIs(contents.target, L"https://help.zelnor.example/pathwarden/how-toasts-work"))
                 << "the settings manager's HowItWorksUrl: " << contents.target;
             EXPECT_EQ(L"", contents.icon);
             EXPECT_TRUE(first->Release());
             EXPECT_TRUE(FileExists(shortcutPath));
             EXPECT_TRUE(second->Release());
             EXPECT_FALSE(FileExists(shortcutPath));

             // A new Initialize after the last Release creates it again, with
             // the product key's icon.
             ASSERT_TRUE(testsupport::SetProductValue(L"Icon", L"C:\\Program Files\\Zelnor\\Pathwarden\\pathwarden.ico"));
             IVantuToast* third = InitializedObject();
             EXPECT_EQ(L"C:\\Program Files\\Zelnor\\Pathwarden\\pathwarden.ico", ReadShortcut(shortcutPath).icon);
             EXPECT_TRUE(third->Release());
             testsupport::DeleteProductValue(L"Icon");
         }},
        {"the shortcut carries the notifier's identity, committed",
         [&] {
             IVantuToast* toast = create();  // COM on this thread
             Microsoft::WRL::ComPtr<IPropertyStore> store;
             ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&store)));
             std::vector<std::wstring> calls;
             {
                 const PropertyStoreWatch watch(store.Get());
                 EXPECT_TRUE(toast->Initialize());
                 calls = watch.Calls();
             }
             HostEvent event;
             const std::wstring notifierId = ToastText(ShowOne(toast, 1, event), VantuSimToastText_AppId);
             EXPECT_FALSE(notifierId.empty());
             // PKEY_AppUserModel_ID as documented, a VT_LPWSTR (31) value.
             EXPECT_EQ((std::vector<std::wstring>{L"{9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3}/5 31 " + notifierId, L"Commit"}),
                       calls);
             EXPECT_TRUE(toast->DismissAllToasts());
             EXPECT_TRUE(event.Signalled());
             EXPECT_TRUE(toast->Release());
         }},
        {"a negative counter is reported and keeps the shortcut",
         [&] {
             IVantuToast* never = create();
             EXPECT_TRUE(never->Release()) << "flag clear: counter -1 silently";
             IVantuToast* owner = InitializedObject();  // counter back at 0, shortcut registered
             ASSERT_TRUE(FileExists(shortcutPath));
             EXPECT_FALSE(create()->Release());
             EXPECT_TRUE(Logged("ERROR: VantuToast object counter should never be less than zero. Counter: -1", from));
             EXPECT_TRUE(FileExists(shortcutPath));

             // Still initialised: an object that never called Initialize shows toasts.
             IVantuToast* bystander = create();
             HostEvent event;
             EXPECT_TRUE(bystander->ShowToastFromXml(1, kSimpleToast, event.put()));
             EXPECT_TRUE(bystander->DismissAllToasts());
             EXPECT_TRUE(event.Signalled());
             delete bystander;  // slot 0 alone: no uncounting
             // Counter -1: two Initialize calls and one Release bring it to zero.
             EXPECT_TRUE(owner->Initialize());
             EXPECT_TRUE(owner->Initialize());
             EXPECT_TRUE(owner->Release());
             EXPECT_FALSE(FileExists(shortcutPath));
         }},
        {"an existing shortcut is accepted as it is",
         [&] {
             testsupport::WriteFileBytes(shortcutPath, "not really a shortcut");
             IVantuToast* toast = InitializedObject();
             EXPECT_EQ("not really a shortcut", testsupport::ReadFileBytes(shortcutPath));
             EXPECT_TRUE(toast->Release());
             EXPECT_FALSE(FileExists(shortcutPath));

             // Someone else deleted it meanwhile: Release still succeeds.
             IVantuToast* again = InitializedObject();
             ASSERT_TRUE(DeleteFileW(shortcutPath.c_str()));
             EXPECT_TRUE(again->Release());
         }},
        {"a failed registration counts, touches nothing and is retried",
         [&] {
             // A file where the Programs folder should be makes saving the
             // shortcut fail. TearDown puts the folder back if this ends early.
             ASSERT_TRUE(MoveFileW(ProgramsFolder().c_str(), ProgramsAside().c_str())) << GetLastError();
             testsupport::WriteFileBytes(ProgramsFolder(), "blocker");
             IVantuToast* toast = create();
             EXPECT_FALSE(toast->Initialize());
             HostEvent event;
             EXPECT_FALSE(toast->ShowToastFromXml(1, kSimpleToast, event.put()));
             EXPECT_EQ(nullptr, event.get());

             // Counter 1, flag clear: a Release removes nothing.
             RestoreProgramsFolder();
             testsupport::WriteFileBytes(shortcutPath, "someone else's");
             EXPECT_TRUE(create()->Release());
             EXPECT_EQ("someone else's", testsupport::ReadFileBytes(shortcutPath));
             ASSERT_TRUE(DeleteFileW(shortcutPath.c_str()));

             EXPECT_TRUE(toast->Initialize()) << "the next Initialize tries again";
             EXPECT_TRUE(FileExists(shortcutPath));
             EXPECT_TRUE(toast->Release());
         }},
        {"the user's processes share it; a killed one blocks nothing",
         [&] {
             SecondHost other;
             ASSERT_TRUE(other.Start());
             ASSERT_TRUE(FileExists(shortcutPath));
             EXPECT_TRUE(InitializedObject()->Release());
             EXPECT_TRUE(FileExists(shortcutPath)) << "the other process still holds an object";

             // Deleted behind the library's back: the platform shows nothing,
             // and the next Initialize makes it again.
             IVantuToast* mine = InitializedObject();
             ASSERT_TRUE(DeleteFileW(shortcutPath.c_str()));
             HostEvent refused;
             EXPECT_FALSE(mine->ShowToastFromXml(1, kSimpleToast, refused.put()));
             IVantuToast* again = InitializedObject();
             EXPECT_TRUE(FileExists(shortcutPath));
             EXPECT_TRUE(again->Release());

             EXPECT_TRUE(other.Release());
             EXPECT_TRUE(FileExists(shortcutPath)) << "this process still holds an object";
             EXPECT_TRUE(mine->Release());
             EXPECT_FALSE(FileExists(shortcutPath));

             SecondHost killed;
             ASSERT_TRUE(killed.Start());
             killed.Kill();  // the probe below removes the shortcut: the dead holder blocks nothing
         }},
        // Last: the lock stays held off for this process afterwards.
        {"a lock held past the wait: the process decides alone, and says so once",
         [&] {
             const Groundwork::ScopedHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
             std::promise<void> taken;
             std::thread holder([&] {
                 const Groundwork::ScopedHandle lock(CreateMutexW(
                     nullptr, FALSE, ShortcutSharing::LockName(Groundwork::CurrentUserSidString()).c_str()));
                 WaitForSingleObject(lock.get(), INFINITE);
                 taken.set_value();
                 WaitForSingleObject(release.get(), INFINITE);
                 ReleaseMutex(lock.get());
             });
             taken.get_future().wait();
             IVantuToast* first = InitializedObject();  // after the bounded wait
             IVantuToast* second = InitializedObject();
             EXPECT_TRUE(first->Release());
             EXPECT_TRUE(FileExists(shortcutPath));
             EXPECT_TRUE(second->Release());
             EXPECT_FALSE(FileExists(shortcutPath)) << "this process's last Release removes it";
             SetEvent(release.get());
             holder.join();
             EXPECT_TRUE(Logged("held past the wait: this process creates and removes the shortcut on its own count", from));
             const size_t at = Log().find("]: Shortcut lock ", from);
             EXPECT_EQ(std::string::npos, Log().find("]: Shortcut lock ", at + 1)) << "logged once";
         }},
    };
    for (const auto& [name, run] : cases)
    {
        SCOPED_TRACE(name);
        from = Log().size();
        run();
        DeleteFileW(shortcutPath.c_str());
        IVantuToast* probe = InitializedObject();
        EXPECT_TRUE(FileExists(shortcutPath));
        EXPECT_TRUE(probe->Release());
        EXPECT_FALSE(FileExists(shortcutPath));
    }
}

// A signed template shows its content; one the library cannot read is
// refused without an event (what the template reader accepts is its tests'
// part; the refusal before Initialize is the shortcut cases').
TEST_F(ToastEdges, TemplatesThroughTheDll)
{
    const std::string xml(std::begin(kSimpleToast), std::end(kSimpleToast) - 1);
    testsupport::TempDir dir;
    const std::wstring good = dir / L"signed.template";
    testsupport::WriteFileBytes(good, testsupport::TestSigner::Development().Template(xml, true));
    HostEvent event;
    ASSERT_TRUE(toast->ShowToastFromTemplate(40, good, event.put()));
    ASSERT_EQ(1u, OnScreen().size());
    EXPECT_EQ(std::wstring(kSimpleToast), ToastText(OnScreen()[0], VantuSimToastText_Xml));
    EXPECT_TRUE(toast->DismissToast(40));
    EXPECT_TRUE(event.Signalled());

    HostEvent refused;
    EXPECT_FALSE(toast->ShowToastFromTemplate(41, dir / L"none.template", refused.put()));
    EXPECT_EQ(nullptr, refused.get());
}

// DismissToast and DismissAllToasts on a platform that raises Dismissed
// inside Hide, on the calling thread (the kind platform's Hide is an ending
// case of the display tests); without a notifier both fail and the toast
// stays tracked, to be dismissed later.
TEST_F(ToastEdges, DismissingOneAndAll)
{
    sim.SetModes(VantuSimToastMode_HideRaisesDismissed);
    HostEvent events[4];
    for (int i = 0; i < 4; ++i)
        Show(60 + i, events[i]);
    EXPECT_TRUE(toast->DismissToast(60));  // a deadlock here ends in the test's time-out
    EXPECT_TRUE(toast->DismissAllToasts());
    for (auto& event : events)
        EXPECT_TRUE(event.Signalled(0)) << "inside Hide, before the call returned";
    Settle();
    EXPECT_TRUE(OnScreen().empty());
    const std::vector<std::string> records = ResultRecords(4);
    ASSERT_EQ(4u, records.size());
    for (const std::string& record : records)
        EXPECT_NE(std::string::npos, record.find(R"("Argument":"ApplicationHidden")")) << record;
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(Untracked(60 + i));

    sim.SetModes(0);
    HostEvent kept;
    Show(3, kept);
    for (const bool all : {false, true})
    {
        ASSERT_EQ(S_OK, sim.FailNext(VantuSimToastOp_CreateToastNotifier, E_ACCESSDENIED));
        EXPECT_FALSE(all ? toast->DismissAllToasts() : toast->DismissToast(3));
    }
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

// The host side of the next test, run in a child process by it only: shows
// clicked toasts, releases and unloads the library; then, once the parent
// read the registry, does it again and exits right after the release.
constexpr int kChildToasts = 3;
constexpr ULONGLONG kChildSends = 1 + kChildToasts;  // the shortcut target's read, a record per toast

TEST(ToastChildHost, DISABLED_ShowsReleasesAndUnloads)
{
    wchar_t base[128] = L"";
    ASSERT_NE(0u, GetEnvironmentVariableW(kChildEventVariable, base, 128))
        << "runs as the child of StatisticsReachTheRegistryWhileTheHostLivesOnAndAtItsExit";
    const Groundwork::ScopedHandle released(OpenEventW(EVENT_MODIFY_STATE, FALSE, (base + std::wstring(L"-released")).c_str()));
    const Groundwork::ScopedHandle again(OpenEventW(SYNCHRONIZE, FALSE, (base + std::wstring(L"-again")).c_str()));
    ASSERT_TRUE(released.valid() && again.valid());
    VantuSimToastApi sim;
    ASSERT_TRUE(sim.Load());
    sim.SetAutoMode(VantuSimToastAuto_Activate, 0, nullptr, 0, S_OK);
    for (int round = 0; round < 2; ++round)
    {
        HMODULE dll = nullptr;
        const CreateVantuToastObjectFn create = testsupport::LoadToastLibrary(dll);
        ASSERT_NE(nullptr, create);
        IVantuToast* toast = create();
        ASSERT_TRUE(toast->Initialize());
        for (int i = 0; i < kChildToasts; ++i)
        {
            HostEvent event;
            ASSERT_TRUE(toast->ShowToastFromXml(i, kSimpleToast, event.put()));
        }
        ASSERT_TRUE(sim.WaitIdle(10000));  // every record sent
        if (round == 1)
            SetEvent(released.get());  // the parent holds the statistics mutex across this Release
        ASSERT_TRUE(toast->Release());
        FreeLibrary(dll);
        if (round == 1)
            ExitProcess(kChildExitCode);  // no deferred flush can run now
        SetEvent(released.get());
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(again.get(), 120000));
    }
}

// Connections live as long as the process: their counts reach the registry
// while the host lives on after unloading the library, and when it exits
// straight after its last Release. Each send is counted once.
TEST_F(ToastLifecycle, StatisticsReachTheRegistryWhileTheHostLivesOnAndAtItsExit)
{
    ipctest::StatsSandbox stats;
    ipctest::SetStatsSwitch(1);
    const std::wstring base = L"vantu-child-stats-" + std::to_wstring(GetCurrentProcessId());
    const Groundwork::ScopedHandle released(CreateEventW(nullptr, FALSE, FALSE, (base + L"-released").c_str()));
    const Groundwork::ScopedHandle again(CreateEventW(nullptr, TRUE, FALSE, (base + L"-again").c_str()));
    ASSERT_TRUE(released.valid() && again.valid());
    ipctest::ChildProcess child;
    ASSERT_TRUE(LaunchChildHost(child, L"DISABLED_ShowsReleasesAndUnloads", base));
    const HANDLE waits[2] = {released.get(), child.Handle()};
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, waits, FALSE, 120000)) << "the child released the library";
    EXPECT_TRUE(ipctest::WaitFor([] { return ipctest::ReadStat(L"totals").value_or(0) >= kChildSends; }, 60000));
    EXPECT_TRUE(child.Running());
    EXPECT_EQ(kChildSends, ipctest::ReadStat(L"totals").value_or(0));

    // Another writer holds the statistics mutex briefly as the host makes
    // its last Release and exits at once: that flush outlasts the hold.
    {
        const Groundwork::ScopedHandle mutex(CreateMutexA(nullptr, FALSE, ipc::ipc_stats_collector::kMutexName));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex.get(), 10000));
        SetEvent(again.get());
        const DWORD releasing = WaitForMultipleObjects(2, waits, FALSE, 120000);
        Sleep(200);
        ReleaseMutex(mutex.get());
        ASSERT_EQ(WAIT_OBJECT_0, releasing) << "the child reached its last Release";
    }
    EXPECT_EQ(kChildExitCode, child.Wait(120000).value_or(0));
    EXPECT_EQ(2 * kChildSends, ipctest::ReadStat(L"totals").value_or(0));
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
    const size_t before = Log().size();
    ipctest::ChildProcess child;
    ASSERT_TRUE(LaunchChildHost(child, L"DISABLED_ExitsInTheMiddleOfTraffic", name));
    const HANDLE waits[2] = {exiting.get(), child.Handle()};
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, waits, FALSE, 120000)) << "the child reached its exit";
    // An exit that waits on the library's threads under the loader lock
    // never ends. The wait ends with the process: its bound is only for a
    // hang (a loaded machine has been seen to take over 6 s).
    const std::optional<DWORD> code = child.Wait(60000);
    ASSERT_TRUE(code.has_value()) << "still running 60 s after ExitProcess";
    EXPECT_EQ(kChildExitCode, *code);
    EXPECT_TRUE(Logged("Vantu Toast is not being tracked -- could not dismiss. ID: -424242", before))
        << "the child's lines before its exit are in the log";
}
