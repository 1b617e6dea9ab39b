// Soak: one host process shows and ends 10,000 toasts through the built
// VantuToast.dll (each result record goes to the UI host service) while a
// second thread sends 10,000 requests to the settings manager service, and
// the services are stopped or killed and started again now and then. After a
// warm-up round of the same shape (whatever is made once is in the
// baseline), the handle count and private bytes must come back within a
// small margin. VANTU_SOAK_COUNT overrides the number of toasts and requests.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "ipc/IpcTestSupport.h"
#include "ipc/TransportTestSupport.h"
#include "toast/ToastHost.h"

using namespace testsupport;

namespace {

int SoakCount()
{
    wchar_t text[32] = L"";
    const int count = GetEnvironmentVariableW(L"VANTU_SOAK_COUNT", text, 32) ? _wtoi(text) : 0;
    return count > 0 ? count : 10000;
}

// A handle, or 100 bytes, kept per toast or request would exceed these many
// times over.
constexpr DWORD kHandleMargin = 16;
constexpr SIZE_T kPrivateByteMargin = 1024 * 1024;

struct RoundResult
{
    int toastFailures = 0;
    std::atomic<int> answered{0};
    std::atomic<int> failed{0};
    std::atomic<int> wrong{0};
    std::atomic<int> restarts{0};
    std::atomic<bool> restartFailed{false};
};

// The shared toast host fixture starts the services with the settings
// manager and the UI host of session 1, so every toast's result record goes
// out through the DLL's own client too.
class Soak : public ToastHostTest
{
protected:
    // Shows toast `id` and ends it one of four ways; true once its event was
    // set.
    bool OneToast(IVantuToast* toast, int id)
    {
        HostEvent event;
        if (!toast->ShowToastFromXml(id, kSimpleToast, event.put()))
            return false;
        const std::vector<VantuSimToastId> shown = OnScreen();
        if (shown.size() != 1)
            return false;
        const HRESULT hr = id % 4 == 0   ? (toast->DismissToast(id) ? S_OK : E_FAIL)
                           : id % 4 == 1 ? sim.Activate(shown[0], nullptr)
                           : id % 4 == 2 ? sim.Dismiss(shown[0], id % 3)
                                         : sim.Fail(shown[0], E_FAIL);
        return hr == S_OK && event.Signalled(10000) && (!waitForEventThread || sim.WaitIdle(10000));
    }

    // Each toast's event thread has ended before the next toast is shown.
    // Otherwise, while the services restart, hundreds of event threads wait
    // for the UI host at once (a platform's pool would not start them) and
    // the soak measures how far the heap grew for them, not what each
    // thread left behind.
    bool waitForEventThread = false;

    // A clean stop, or (every other time) a kill, then a new start.
    bool Restart(int round)
    {
        round % 2 == 0 ? services.Stop() : services.Kill();
        return StartServices();
    }

    // Result records the UI host received so far.
    size_t Records() const { return FileLines(EventsFile(), 0).size(); }

    // `count` toasts on this thread while another thread sends `count` echo
    // requests, restarting the services `restarts` times on the way.
    void Round(IVantuToast* toast, ipctest::TestClient& client, int firstId, int count, int restarts,
               RoundResult& result)
    {
        std::thread requests([&] {
            const int every = count / restarts > 0 ? count / restarts : 1;
            for (int i = 0; i < count; ++i)
            {
                if (i % every == every / 2 && !Restart(result.restarts.fetch_add(1)))
                    result.restartFailed = true;
                const std::string request = ipctest::EchoRequest("soak " + std::to_string(i));
                const std::string reply = ipctest::Send(client, request);
                if (reply == "<none>")
                    ++result.failed;
                else if (reply == request)
                    ++result.answered;
                else
                    ++result.wrong;
            }
        });
        for (int i = 0; i < count; ++i)
            result.toastFailures += OneToast(toast, firstId + i) ? 0 : 1;
        requests.join();
    }

    // The resting state the measurements are taken in: connected, the
    // platform idle.
    void Rest(ipctest::TestClient& client)
    {
        ASSERT_TRUE(client.WaitForReady(20000)) << "state " << client.GetState();
        ASSERT_EQ(ipctest::EchoRequest("rest"), ipctest::Send(client, ipctest::EchoRequest("rest")));
        Settle();
    }

    void Run();

    ipctest::StatsSandbox stats;
};

}  // namespace

TEST_F(Soak, ToastsAndRequestsAcrossServiceRestartsKeepHandlesAndMemoryLevel)
{
    Run();
}

// The same with the platform raising every event on a thread of its own that
// ends after it: the library's per-thread data on threads it did not create
// must not pile up.
TEST_F(Soak, ToastsOnThreadsThatComeAndGoKeepHandlesAndMemoryLevel)
{
    sim.SetModes(VantuSimToastMode_FreshEventThreads);
    waitForEventThread = true;
    const uint32_t before = sim.FreshThreadEvents();
    Run();
    EXPECT_GE(sim.FreshThreadEvents() - before, static_cast<uint32_t>(SoakCount()))
        << "every event of the run on a fresh thread";
}

void Soak::Run()
{
    const int count = SoakCount();
    ASSERT_TRUE(services.Running());
    IVantuToast* toast = InitializedObject();
    ASSERT_NE(nullptr, toast);
    ipctest::TestClient client;
    ASSERT_TRUE(client.Initialize(L"SettingManager"));
    ASSERT_TRUE(client.WaitForReady(20000));

    RoundResult warmUp;
    Round(toast, client, 1000000, 100, 2, warmUp);
    ASSERT_EQ(0, warmUp.toastFailures);
    ASSERT_FALSE(warmUp.restartFailed.load());
    Rest(client);
    const ProcessUsage start = MeasureProcess();
    const size_t recordsBefore = Records();

    RoundResult run;
    Round(toast, client, 0, count, 6, run);
    Rest(client);
    const ProcessUsage end = MeasureProcess();
    const size_t records = Records() - recordsBefore;

    std::printf("soak: %d toasts (%d failed), %d requests (%d answered, %d failed, %d wrong), %d service restarts\n",
                count, run.toastFailures, count, run.answered.load(), run.failed.load(), run.wrong.load(),
                run.restarts.load());
    std::printf("soak: %zu result records reached the UI host; handles %lu -> %lu (Wine's leaked class keys apart: "
                "%lu -> %lu); private bytes %zu -> %zu\n",
                records, start.handles, end.handles, start.classKeys, end.classKeys, start.privateBytes, end.privateBytes);

    EXPECT_EQ(0, run.toastFailures);
    EXPECT_FALSE(run.restartFailed.load());
    EXPECT_EQ(6, run.restarts.load());
    EXPECT_EQ(count, run.answered.load() + run.failed.load());
    EXPECT_EQ(0, run.wrong.load());
    EXPECT_GT(run.answered.load(), count * 9 / 10) << "most requests find the service up";
    EXPECT_TRUE(client.PendingRequestIds().empty());
    EXPECT_GT(records, static_cast<size_t>(count) * 9 / 10) << "most result records reach the UI host";
    EXPECT_TRUE(OnScreen().empty());
    EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_Toast)) << "every toast released";
    EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_EventArgs));

    EXPECT_GT(start.handles, 0u) << "handles are counted";
    EXPECT_GT(start.privateBytes, 0u) << "private bytes are counted";
    EXPECT_LE(end.handles, start.handles + kHandleMargin);
    EXPECT_LE(end.privateBytes, start.privateBytes + kPrivateByteMargin);
    EXPECT_TRUE(toast->Release());
}
