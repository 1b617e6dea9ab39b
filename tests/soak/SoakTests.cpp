// Soak: one host process shows and ends 10,000 toasts through the built
// VantuToast.dll against the toast platform stand-in (each toast's result
// record goes to the UI host service through the DLL's own client), while a
// second thread sends 10,000 requests to the settings manager service. The
// reference services are stopped or killed and started again now and then. A warm-up round of the same shape
// comes first, so that whatever is made once (first toast, first connection,
// first reconnection, a finished thread whose stack the system frees later)
// is in the baseline. The process's handle count and private bytes after
// the run must be back within a small margin of the baseline.
//
// VANTU_SOAK_COUNT overrides the number of toasts and of requests.
#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>
#include <winternl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "ipc/IpcTestSupport.h"
#include "ipc/TransportTestSupport.h"
#include "toast/ToastHost.h"

using namespace testsupport;

namespace {

// Wine's RoActivateInstance and RoGetActivationFactory leave the class's
// registry key open on every call (fixed in later Wine releases), so keys
// under this path are counted apart: they are not the library's.
constexpr wchar_t kClassKeyPrefix[] = L"\\REGISTRY\\Machine\\Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\";

using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
constexpr int kObjectNameInformation = 1;
constexpr int kObjectTypeInformation = 2;

std::wstring ObjectText(NtQueryObjectFn query, HANDLE handle, int what)
{
    alignas(8) unsigned char buffer[4096] = {};
    ULONG length = 0;
    if (query == nullptr || query(handle, what, buffer, sizeof(buffer), &length) != 0)
        return std::wstring();
    const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer);
    return text->Buffer ? std::wstring(text->Buffer, text->Length / sizeof(wchar_t)) : std::wstring();
}

struct Usage
{
    DWORD handles = 0;        // open handles, the platform's class keys left out
    DWORD classKeys = 0;      // the platform's class keys
    SIZE_T privateBytes = 0;  // committed private memory
    std::map<std::wstring, int> byType;
};

// Every handle value is asked about (Wine's GetProcessHandleCount gives 0);
// values are multiples of 4 and are reused lowest first.
void CountHandles(Usage& usage)
{
    const auto query = reinterpret_cast<NtQueryObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    for (uintptr_t value = 4; value < 0x40000; value += 4)
    {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags))
            continue;
        const std::wstring type = ObjectText(query, handle, kObjectTypeInformation);
        if (type == L"Key" && ObjectText(query, handle, kObjectNameInformation).rfind(kClassKeyPrefix, 0) == 0)
        {
            ++usage.classKeys;
            continue;
        }
        ++usage.handles;
        ++usage.byType[type];
    }
}

// Wine leaves PrivateUsage at 0, so the address space is walked: committed
// private regions are the private bytes.
SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters)) &&
        counters.PrivateUsage != 0)
        return counters.PrivateUsage;
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* address = nullptr; VirtualQuery(address, &region, sizeof(region)) == sizeof(region);
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize)
    {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
        if (region.RegionSize == 0)
            break;
    }
    return total;
}

Usage Measure()
{
    Usage usage;
    CountHandles(usage);
    usage.privateBytes = PrivateBytes();
    return usage;
}

int SoakCount()
{
    wchar_t text[32] = L"";
    if (GetEnvironmentVariableW(L"VANTU_SOAK_COUNT", text, 32) == 0)
        return 10000;
    const int count = _wtoi(text);
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
        if (!toast->ShowToastFromXml(id, kSimpleToast, event.Put()))
            return false;
        const std::vector<VantuSimToastId> shown = OnScreen();
        if (shown.size() != 1)
            return false;
        HRESULT hr = S_OK;
        switch (id % 4)
        {
        case 0:
            if (!toast->DismissToast(id))
                return false;
            break;
        case 1:
            hr = sim.Activate(shown[0], nullptr);
            break;
        case 2:
            hr = sim.Dismiss(shown[0], id % 3);
            break;
        default:
            hr = sim.Fail(shown[0], E_FAIL);
            break;
        }
        return hr == S_OK && event.Signalled(10000);
    }

    // A clean stop, or (every other time) a kill, then a new start.
    bool Restart(int round)
    {
        if (round % 2 == 0)
            services.Stop();
        else
            services.Kill();
        return StartServices(true, true);
    }

    // Result records the UI host received so far.
    size_t Records() const
    {
        const std::string events = ReadFileBytes(EventsFile());
        size_t count = 0;
        for (size_t at = events.find("EVENT_USER_VANTU_TOAST_RESULT"); at != std::string::npos;
             at = events.find("EVENT_USER_VANTU_TOAST_RESULT", at + 1))
            ++count;
        return count;
    }

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
        {
            if (!OneToast(toast, firstId + i))
                ++result.toastFailures;
        }
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

// The same with the platform raising every event on a thread of its own that
// ends after it, as configured for the whole prefix: the library's
// per-thread data on threads it did not create must not pile up.
class SoakFreshEventThreads : public Soak
{
protected:
    void SetUp() override
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSimKey, 0, nullptr, 0,
                                                 KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
        const wchar_t fresh[] = L"fresh";
        RegSetValueExW(key, L"EventThreads", 0, REG_SZ, reinterpret_cast<const BYTE*>(fresh), sizeof(fresh));
        RegCloseKey(key);
        Soak::SetUp();  // loads the stand-in, which reads the value
    }
    void TearDown() override
    {
        Soak::TearDown();
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSimKey, L"EventThreads");
    }
    static constexpr wchar_t kSimKey[] = L"SOFTWARE\\VantuSim\\Toast";
};

}  // namespace

TEST_F(Soak, ToastsAndRequestsAcrossServiceRestartsKeepHandlesAndMemoryLevel)
{
    Run();
}

TEST_F(SoakFreshEventThreads, ToastsOnThreadsThatComeAndGoKeepHandlesAndMemoryLevel)
{
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
    const Usage start = Measure();
    const size_t recordsBefore = Records();

    RoundResult run;
    Round(toast, client, 0, count, 6, run);
    Rest(client);
    const Usage end = Measure();
    const size_t records = Records() - recordsBefore;

    std::printf("soak: %d toasts (%d failed), %d requests (%d answered, %d failed, %d wrong), %d service restarts\n",
                count, run.toastFailures, count, run.answered.load(), run.failed.load(), run.wrong.load(),
                run.restarts.load());
    std::printf("soak: %zu result records reached the UI host\n", records);
    std::printf("soak: handles start %lu end %lu (Wine's leaked class keys apart: %lu then %lu)\n",
                static_cast<unsigned long>(start.handles), static_cast<unsigned long>(end.handles),
                static_cast<unsigned long>(start.classKeys), static_cast<unsigned long>(end.classKeys));
    std::printf("soak: private bytes start %llu end %llu (%+lld)\n", static_cast<unsigned long long>(start.privateBytes),
                static_cast<unsigned long long>(end.privateBytes),
                static_cast<long long>(end.privateBytes) - static_cast<long long>(start.privateBytes));
    for (const auto& type : end.byType)
    {
        const auto before = start.byType.find(type.first);
        const int was = before == start.byType.end() ? 0 : before->second;
        if (type.second != was)
            std::printf("soak: %ls handles %d -> %d\n", type.first.c_str(), was, type.second);
    }

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
