// The library at its edges, as a host meets them: toasts that end after the
// host released its objects or unloaded the library, a host that exits in
// the middle of traffic, templates through the DLL, and the platform's
// hostile behaviours (events raised inside Hide, a failure racing Show's
// return).
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/TemplateSigning.h"
#include "toast/ToastHost.h"

using testsupport::HostEvent;
using testsupport::kSimpleToast;

namespace {

constexpr wchar_t kChildEventVariable[] = L"VANTU_CHILD_HOST_EVENT";
constexpr DWORD kChildExitCode = 42;

// How the log shows a wide text: each code unit as one byte.
std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow.push_back(static_cast<char>(c));
    return narrow;
}

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

    // Loads the library again after a test unloaded it.
    void Reload() { ASSERT_NE(nullptr, create = testsupport::LoadToastLibrary(dll)); }
};

}  // namespace

TEST_F(ToastEdges, TemplatesThroughTheDll)
{
    const testsupport::TestSigner signer = testsupport::TestSigner::Development();
    ASSERT_TRUE(signer.Valid());
    const std::string xml(std::begin(kSimpleToast), std::end(kSimpleToast) - 1);
    testsupport::TempDir dir;
    const std::wstring signedPath = dir / L"signed.template";
    const std::wstring tamperedPath = dir / L"tampered.template";
    const std::wstring missingPath = dir / L"missing.template";
    testsupport::WriteFileBytes(signedPath, signer.Template(xml, true));
    std::string tampered = signer.Template(xml, false);
    tampered[tampered.find("Scan")] = 's';
    testsupport::WriteFileBytes(tamperedPath, tampered);

    struct Case
    {
        const wchar_t* name;
        std::wstring path;
        bool initialised;
        bool shown;
        std::vector<std::string> lines;  // in this order, each whole
    };
    const Case cases[] = {
        {L"not initialised", signedPath, false, false, {"CVantuToast not initialized"}},
        {L"signed", signedPath, true, true, {}},
        {L"tampered", tamperedPath, true, false,
         {"File Signature Verification failed", "Signature verification failed: " + Narrow(tamperedPath),
          "Failed to retrieve XML template file contents"}},
        {L"missing", missingPath, true, false,
         {"XML template does not exist: " + Narrow(missingPath),
          "Failed to retrieve XML template file contents"}},
    };
    IVantuToast* bare = create();  // released below; the fixture's object is initialised
    toast->Release();
    toast = nullptr;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.name);
        if (c.initialised && toast == nullptr)
            toast = InitializedObject();
        IVantuToast* shower = c.initialised ? toast : bare;
        const size_t before = Log().size();
        HostEvent event;
        EXPECT_EQ(c.shown, shower->ShowToastFromTemplate(40, c.path, event.Put()));
        EXPECT_EQ(c.shown, event.Get() != nullptr);
        const std::string log = Log().substr(before);
        size_t at = 0;
        for (const std::string& line : c.lines)
        {
            at = log.find("]: " + line + "\r\n", at);
            EXPECT_NE(std::string::npos, at) << line << "\nin:\n" << log;
        }
        if (c.lines.empty())
        {
            EXPECT_EQ(std::string::npos, log.find("[ERR]")) << log;
        }
        if (c.shown)
        {
            ASSERT_EQ(1u, OnScreen().size());
            EXPECT_EQ(std::wstring(kSimpleToast), ToastText(OnScreen()[0], VantuSimToastText_Xml));
            EXPECT_TRUE(toast->DismissToast(40));
            EXPECT_TRUE(event.Signalled());
        }
    }
    EXPECT_TRUE(bare->Release());
}

// A toast that ends after the last Release, and after the host unloaded the
// library, still reports; the library leaves the process once it ended.
// With and without the services: Release and FreeLibrary return at once.
TEST_F(ToastEdges, ToastsOutliveTheHostsHoldOnTheLibrary)
{
    toast->Release();
    toast = nullptr;
    for (int round = 0; round < 2; ++round)
    {
        const bool withServices = round == 0;
        SCOPED_TRACE(withServices ? "services up" : "services down");
        if (!withServices)
        {
            services.Stop();
            ipctest::ClearPipeNames();
            Reload();
        }
        IVantuToast* host = InitializedObject();
        HostEvent released;
        HostEvent unloaded;
        const VantuSimToastId first = ShowOne(host, 51, released);
        const VantuSimToastId second = ShowOne(host, 52, unloaded);
        const double releaseMs = Milliseconds([&] { EXPECT_TRUE(host->Release()); });

        sim.Activate(first, L"after release");
        EXPECT_TRUE(released.Signalled());
        Settle();

        const double freeMs = Milliseconds([&] { EXPECT_TRUE(FreeLibrary(dll)); });
        dll = nullptr;
        EXPECT_NE(nullptr, GetModuleHandleW(L"VantuToast.dll")) << "a toast on screen keeps the library";
        sim.Activate(second, L"after unload");
        EXPECT_TRUE(unloaded.Signalled()) << "the platform called the handler without a crash";
        Settle();
        const double leaveMs = Milliseconds(
            [&] { EXPECT_TRUE(WaitUntilUnloaded(L"VantuToast.dll")) << "the library leaves once its toasts ended"; });
        std::printf("%s: last Release %.1f ms, FreeLibrary %.1f ms, unloaded %.1f ms after the last handler\n",
                    withServices ? "services up" : "services down", releaseMs, freeMs, leaveMs);
        EXPECT_LT(releaseMs, 500.0);
        EXPECT_LT(freeMs, 500.0);
        if (withServices)
        {
            const std::vector<std::string> records = ResultRecords(2);
            ASSERT_EQ(2u, records.size());
            EXPECT_EQ(R"({"Status":"Activated","Argument":"after release","ID":51})", records[0]);
            EXPECT_EQ(R"({"Status":"Activated","Argument":"after unload","ID":52})", records[1]);
        }
    }
    Reload();  // for the fixture's tear-down
}

// DismissToast and DismissAllToasts on the kind platform, and on one that
// raises Dismissed inside Hide, on the calling thread.
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
            EXPECT_TRUE(toast->ShowToastFromXml(first + i, kSimpleToast, events[i].Put()));
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

    std::atomic<int> shown{0};
    HANDLE busy = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int t = 0; t < 3; ++t)
    {
        // Never joined: the process ends under them.
        std::thread([&, t] {
            for (int i = 0;; ++i)
            {
                HANDLE event = nullptr;
                if (toast->ShowToastFromXml(t * 1000000 + i, kSimpleToast, &event) && ++shown == 60)
                    SetEvent(busy);
                if (event != nullptr)
                    CloseHandle(event);
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
    HANDLE exiting = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(nullptr, exiting);
    SetEnvironmentVariableW(kChildEventVariable, name.c_str());
    const size_t before = Log().size();
    ipctest::ChildProcess child;
    const bool launched = child.Launch(
        L"toast_tests.exe", L"--gtest_filter=ToastChildHost.DISABLED_ExitsInTheMiddleOfTraffic --gtest_also_run_disabled_tests");
    SetEnvironmentVariableW(kChildEventVariable, nullptr);
    ASSERT_TRUE(launched);
    const HANDLE waits[2] = {exiting, child.Handle()};
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, waits, FALSE, 120000)) << "the child reached its exit";
    const auto start = std::chrono::steady_clock::now();
    const auto code = child.Wait(2000);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("child host ended %.0f ms after ExitProcess\n", ms);
    ASSERT_TRUE(code.has_value()) << "still running 2 s after ExitProcess";
    EXPECT_EQ(kChildExitCode, *code);
    CloseHandle(exiting);
    // This process connected before the child started: the child's line, at level 4.
    EXPECT_TRUE(LoggedLine("DBG", "###:SettingManager:Before initialize", before));
}
