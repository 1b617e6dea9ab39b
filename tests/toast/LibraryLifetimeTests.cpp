// The library's life in a host process, as hostile hosts and schedulers meet
// it: a thread that lets the library go and is then held up, a record still
// being written when the last object goes, a host that loads and unloads the
// library over and over, objects destroyed on another thread than the one
// that made them, and handlers that all need a connection that is not ready.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/ImportHook.h"
#include "toast/ToastHost.h"

using testsupport::HostEvent;

namespace {

using LibraryLifetime = testsupport::ToastHostTest;

double MillisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// ---------------------------------------------------------------------------
// Stalls: once the library started a thread from some thread, that thread's
// next free in the library is held up 300 ms. A design that lets the library
// go from a thread it starts while the starting thread still has library code
// to run (the rest of a destructor, a return) crashes here.

constexpr DWORD kStallMs = 300;
DWORD g_startedSlot = TLS_OUT_OF_INDEXES;  // per thread: it started a thread
std::atomic<bool> g_stalling{false};
std::atomic<int> g_stalls{0};
void* g_createThread = nullptr;
void* g_beginThread = nullptr;
void* g_free = nullptr;

HANDLE WINAPI StartThenStallCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                         LPTHREAD_START_ROUTINE start, LPVOID argument, DWORD flags, LPDWORD id)
{
    TlsSetValue(g_startedSlot, reinterpret_cast<void*>(1));
    return reinterpret_cast<decltype(&CreateThread)>(g_createThread)(security, stack, start, argument, flags, id);
}

using BeginThreadFn = uintptr_t(__cdecl*)(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*);

uintptr_t __cdecl StartThenStallBeginThread(void* security, unsigned stack, unsigned(__stdcall* start)(void*),
                                            void* argument, unsigned flags, unsigned* id)
{
    TlsSetValue(g_startedSlot, reinterpret_cast<void*>(1));
    return reinterpret_cast<BeginThreadFn>(g_beginThread)(security, stack, start, argument, flags, id);
}

void __cdecl StallingFree(void* block)
{
    if (g_stalling.load() && TlsGetValue(g_startedSlot) != nullptr)
    {
        TlsSetValue(g_startedSlot, nullptr);
        ++g_stalls;
        Sleep(kStallMs);
    }
    reinterpret_cast<void(__cdecl*)(void*)>(g_free)(block);
}

// The three hooks in the library's import table.
struct StallHooks
{
    explicit StallHooks(HMODULE dll)
        : createThread("kernel32.dll", "CreateThread", reinterpret_cast<void*>(&StartThenStallCreateThread), dll),
          beginThread("msvcrt.dll", "_beginthreadex", reinterpret_cast<void*>(&StartThenStallBeginThread), dll),
          free("msvcrt.dll", "free", reinterpret_cast<void*>(&StallingFree), dll)
    {
        g_createThread = createThread.Original();
        g_beginThread = beginThread.Original();
        g_free = free.Original();
    }
    testsupport::ImportHook createThread;
    testsupport::ImportHook beginThread;
    testsupport::ImportHook free;
};

}  // namespace

// The host releases its object and unloads the library while a toast is on
// screen; the user clicks it; the platform threads running the handler and
// dropping the handlers are held up after the library started threads from
// them. The host lives on, the record arrives, and FreeLibrary was harmless:
// once used, the library stays until the process ends.
TEST_F(LibraryLifetime, HeldUpThreadsNeverRunInAnUnloadedLibrary)
{
    g_startedSlot = TlsAlloc();
    ASSERT_NE(TLS_OUT_OF_INDEXES, g_startedSlot);
    sim.SetModes(VantuSimToastMode_FreshEventThreads);
    IVantuToast* toast = InitializedObject();
    HostEvent event;
    const VantuSimToastId shown = ShowOne(toast, 81, event);
    ASSERT_TRUE(toast->Release());

    // Kept when the library is gone: restoring its imports would write
    // into freed memory.
    auto hooks = std::make_unique<StallHooks>(dll);
    ASSERT_TRUE(hooks->free.Installed());
    ASSERT_TRUE(hooks->createThread.Installed() || hooks->beginThread.Installed());
    ASSERT_TRUE(FreeLibrary(dll));
    dll = nullptr;
    g_stalling = true;
    ASSERT_EQ(S_OK, sim.Activate(shown, L"held up"));
    EXPECT_TRUE(event.Signalled());
    Settle();  // every handler returned and was let go
    EXPECT_EQ((std::vector<std::string>{R"({"Status":"Activated","Argument":"held up","ID":81})"}), ResultRecords(1));
    g_stalling = false;
    std::printf("%d threads held up %lu ms after starting a thread\n", g_stalls.load(), kStallMs);
    EXPECT_GE(g_stalls.load(), 1) << "the handler's thread started the UI host connection";

    const HMODULE still = GetModuleHandleW(L"VantuToast.dll");
    EXPECT_NE(nullptr, still) << "the library stays loaded once it was used";
    if (still != nullptr)
        hooks.reset();
    else
        hooks.release();
    // FreeLibrary at any time, any number of times, leaves it in place.
    HMODULE again = nullptr;
    ASSERT_NE(nullptr, create = testsupport::LoadToastLibrary(again));
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_EQ(still, GetModuleHandleW(L"VantuToast.dll"));
    TlsFree(g_startedSlot);
}

// The UI host reads nothing for a while after each connection step, so the
// 256 KiB record of a click stays in the pipe after the handler returned, and
// the host has released its object and unloaded the library meanwhile. The
// record arrives whole: nothing of ours closes a connection with data queued.
TEST_F(LibraryLifetime, RecordStillBeingWrittenAtTheLastReleaseArrivesWhole)
{
    services.Stop();
    ASSERT_TRUE(StartServices(L"--pause-reading 700"));
    IVantuToast* toast = InitializedObject();
    HostEvent event;
    const VantuSimToastId shown = ShowOne(toast, 90, event);
    std::wstring argument(256 * 1024, L' ');
    for (size_t i = 0; i < argument.size(); ++i)
        argument[i] = static_cast<wchar_t>(L'a' + i % 26);
    ASSERT_TRUE(toast->Release());
    ASSERT_TRUE(FreeLibrary(dll));
    dll = nullptr;

    ASSERT_EQ(S_OK, sim.Activate(shown, argument.c_str()));
    EXPECT_TRUE(event.Signalled());
    Settle();
    const std::vector<std::string> records = ResultRecords(1);
    ASSERT_EQ(1u, records.size());
    EXPECT_TRUE(records[0] == R"({"Status":"Activated","Argument":")" + std::string(argument.begin(), argument.end()) +
                                  R"(","ID":90})")
        << records[0].size() << " bytes: " << records[0].substr(0, 80);
    EXPECT_FALSE(Logged("Failed to send toast activated event"));
}

// Load, create, initialise, release, unload, 30 times: the first cycle may
// make what a process needs once; the other 29 leave handles and memory as
// they found them.
TEST_F(LibraryLifetime, LoadingAgainCostsNothingAfterTheFirstCycle)
{
    ASSERT_TRUE(FreeLibrary(dll));  // the fixture's reference
    dll = nullptr;
    testsupport::ProcessUsage first;
    bool staysLoaded = false;
    for (int cycle = 1; cycle <= 30; ++cycle)
    {
        HMODULE module = nullptr;
        const CreateVantuToastObjectFn factory = testsupport::LoadToastLibrary(module);
        ASSERT_NE(nullptr, factory) << cycle;
        IVantuToast* toast = factory();
        ASSERT_NE(nullptr, toast);
        EXPECT_TRUE(toast->Initialize()) << cycle;
        EXPECT_TRUE(toast->Release()) << cycle;
        ASSERT_TRUE(FreeLibrary(module));
        if (cycle == 1)
        {
            // A library that unloads itself does so soon after the last user.
            staysLoaded = !ipctest::WaitFor([] { return GetModuleHandleW(L"VantuToast.dll") == nullptr; }, 3000);
            first = testsupport::MeasureProcess();
        }
        else if (!staysLoaded)
        {
            ASSERT_TRUE(ipctest::WaitFor([] { return GetModuleHandleW(L"VantuToast.dll") == nullptr; }, 10000))
                << cycle;
        }
    }
    const testsupport::ProcessUsage last = testsupport::MeasureProcess();
    std::printf("after cycle 1: %lu handles, %zu KiB private; after cycle 30: %lu handles, %zu KiB private "
                "(library %s)\n",
                first.handles, first.privateBytes / 1024, last.handles, last.privateBytes / 1024,
                staysLoaded ? "stays loaded" : "unloaded each cycle");
    EXPECT_LE(last.handles, first.handles + 2);
    EXPECT_LE(last.privateBytes, first.privateBytes + 32 * 1024);
    create = testsupport::LoadToastLibrary(dll);
}

// An object created on one thread and destroyed on another leaves the
// destroying thread's apartment alone (slot 0 and slot 2 alike) and says so;
// on its creating thread it balances its own initialisation.
TEST_F(LibraryLifetime, ApartmentIsBalancedOnlyOnTheCreatingThread)
{
    for (const bool viaRelease : {false, true})
    {
        SCOPED_TRACE(viaRelease ? "Release" : "destructor");
        IVantuToast* toast = nullptr;
        DWORD creator = 0;
        std::thread([&] {
            toast = create();
            creator = GetCurrentThreadId();
        }).join();
        ASSERT_NE(nullptr, toast);
        HRESULT afterDestroy = E_FAIL;
        DWORD destroyer = 0;
        std::thread([&] {
            ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
            destroyer = GetCurrentThreadId();
            if (viaRelease)
                EXPECT_TRUE(toast->Release());
            else
                delete toast;
            // Still initialised once: S_FALSE. S_OK would mean the host's
            // apartment was torn down under it.
            afterDestroy = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            CoUninitialize();
            CoUninitialize();
        }).join();
        EXPECT_EQ(S_FALSE, afterDestroy);
        EXPECT_TRUE(LoggedLine("WRN", "VantuToast", "Toast object destroyed on thread " + std::to_string(destroyer) +
                                          ", not on its creating thread " + std::to_string(creator) +
                                          ": RoUninitialize skipped"));
    }

    HRESULT afterOwnDestroy = E_FAIL;
    std::thread([&] {
        delete create();
        // Nothing left initialised on this thread: any apartment may start.
        afterOwnDestroy = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(afterOwnDestroy))
            CoUninitialize();
    }).join();
    EXPECT_EQ(S_OK, afterOwnDestroy);
}

// Eight toasts clicked at once, each handled on a platform thread of its own,
// while the UI host answers the handshake only after 700 ms: every handler
// waits for the connection itself. None queues behind another's connection
// attempt: all eight are seen waiting for readiness before the connection
// was ready, instead of one waiting and seven finding it ready afterwards.
TEST_F(LibraryLifetime, HandlersDoNotQueueBehindOneConnectionAttempt)
{
    services.Stop();
    ASSERT_TRUE(StartServices(L"--pause-reading 700"));
    IVantuToast* toast = InitializedObject();
    sim.SetModes(VantuSimToastMode_FreshEventThreads);
    HostEvent events[8];
    VantuSimToastId shown[8] = {};
    for (int i = 0; i < 8; ++i)
        shown[i] = ShowOne(toast, 300 + i, events[i]);
    const size_t before = Log().size();
    const auto clicked = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(S_OK, sim.Activate(shown[i], std::to_wstring(i).c_str()));
    for (HostEvent& event : events)
        EXPECT_TRUE(event.Signalled());
    Settle();
    const double handledMs = MillisecondsSince(clicked);
    EXPECT_EQ(8u, ResultRecords(8).size());
    std::printf("eight handlers returned %.0f ms after the clicks\n", handledMs);

    // Each wait for readiness ends with one such line; a sender that finds
    // the connection ready writes none.
    const std::string log = Log();
    const std::string waited = ":UIManager_1:waited spin count ";
    int waits = 0;
    for (size_t at = log.find(waited, before); at != std::string::npos; at = log.find(waited, at + 1))
    {
        ++waits;
        EXPECT_EQ(0, log.compare(log.find(", state ", at), 10, ", state 4\r")) << "ready after its wait";
    }
    EXPECT_EQ(8, waits) << log.substr(before);
    EXPECT_FALSE(Logged("Failed to send toast activated event"));
    EXPECT_TRUE(toast->Release());
}
