// The library's life in a host process, as hostile hosts and schedulers meet
// it: toasts that end after the host let the library go, while threads are
// held up and a record is still being written; a host that loads and unloads
// the library over and over; objects destroyed on another thread than the one
// that made them; and handlers that all need a connection that is not ready.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <tlhelp32.h>

#include "support/ImportHook.h"
#include "toast/ToastHost.h"

using testsupport::HostEvent;

namespace {

using LibraryLifetime = testsupport::ToastHostTest;

double MillisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The threads of this process.
DWORD ThreadCount()
{
    const Groundwork::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    DWORD count = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    return count;
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

// The host releases its last object and unloads the library while a toast is
// on screen; then it ends. Once used, the library stays in the process:
// Release and FreeLibrary return at once, the handler still runs and its
// record still reaches the UI host. In turn:
// - each platform thread that runs or drops the handler is held up after the
//   library started a thread from it: none runs in an unloaded library;
// - the UI host reads nothing for a while after each connection step, so the
//   256 KiB record of the click is still in the pipe after the handler
//   returned and its thread ended: it arrives whole (nothing of ours closes a
//   connection with data queued, nor leaves a write to the sender's thread);
// - without the services the shortcut gets the default target, and the toast
//   still ends and is let go though its record cannot be sent.
TEST_F(LibraryLifetime, ToastsOutliveTheHostsHoldOnTheLibrary)
{
    enum Round { HeldUp, StillBeingWritten, ServicesDown };
    g_startedSlot = TlsAlloc();
    ASSERT_NE(TLS_OUT_OF_INDEXES, g_startedSlot);
    std::wstring large(256 * 1024, L' ');
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<wchar_t>(L'a' + i % 26);
    for (const Round round : {HeldUp, StillBeingWritten, ServicesDown})
    {
        SCOPED_TRACE(round);
        if (round != HeldUp)
        {
            services.Stop();
            ipctest::ClearPipeNames();
            ASSERT_TRUE(round == ServicesDown || StartServices(L"--pause-reading 700"));
            ASSERT_NE(nullptr, create = testsupport::LoadToastLibrary(dll));  // let go in the round before
        }
        sim.SetModes(round == ServicesDown ? 0 : VantuSimToastMode_FreshEventThreads);
        IVantuToast* toast = InitializedObject();
        EXPECT_TRUE(round != ServicesDown || testsupport::TargetIs(testsupport::ReadShortcut(shortcutPath).target,
                                                                   L"https://www.zelnor.com/pathwarden/how-it-works"));
        HostEvent event;
        const VantuSimToastId shown = ShowOne(toast, 81 + round, event);
        const auto released = std::chrono::steady_clock::now();
        ASSERT_TRUE(toast->Release());
        const double releaseMs = MillisecondsSince(released);

        // Kept when the library is gone: restoring its imports would write
        // into freed memory.
        std::unique_ptr<StallHooks> hooks;
        if (round == HeldUp)
        {
            hooks = std::make_unique<StallHooks>(dll);
            ASSERT_TRUE(hooks->free.Installed());
            ASSERT_TRUE(hooks->createThread.Installed() || hooks->beginThread.Installed());
        }
        const auto unloaded = std::chrono::steady_clock::now();
        ASSERT_TRUE(FreeLibrary(dll));
        const double freeMs = MillisecondsSince(unloaded);
        dll = nullptr;
        g_stalling = round == HeldUp;
        const std::wstring argument = round == HeldUp ? L"held up" : large;
        ASSERT_EQ(S_OK, round == ServicesDown ? sim.Fail(shown, E_FAIL) : sim.Activate(shown, argument.c_str()));
        EXPECT_TRUE(event.Signalled()) << "the platform called the handler without a crash";
        Settle();  // every handler returned and was let go
        g_stalling = false;
        EXPECT_EQ(0u, sim.LiveObjects(VantuSimToastObject_Toast)) << "the ended toast is no longer held";
        std::printf("round %d: last Release %.1f ms, FreeLibrary %.1f ms, %d threads held up %lu ms\n", round,
                    releaseMs, freeMs, g_stalls.load(), kStallMs);
        EXPECT_LT(releaseMs, 1500.0);
        EXPECT_LT(freeMs, 1500.0);
        EXPECT_EQ(round == ServicesDown, Logged(round == ServicesDown ? "Failed to send toast failed event"
                                                                      : "Failed to send toast activated event"));
        if (round != ServicesDown)
        {
            const std::vector<std::string> records = ResultRecords(round + 1);
            ASSERT_EQ(round + 1u, records.size());
            EXPECT_TRUE(records.back() == R"({"Status":"Activated","Argument":")" +
                                              std::string(argument.begin(), argument.end()) + R"(","ID":)" +
                                              std::to_string(81 + round) + "}")
                << records.back().size() << " bytes: " << records.back().substr(0, 80);
        }
        EXPECT_TRUE(round != HeldUp || g_stalls.load() >= 1) << "the handler's thread started the UI host connection";
        const HMODULE still = GetModuleHandleW(L"VantuToast.dll");
        EXPECT_NE(nullptr, still) << "the library stays until the process ends";
        if (still == nullptr)
            (void)hooks.release();
    }
    TlsFree(g_startedSlot);
    // FreeLibrary at any time, any number of times, leaves it in place.
    const HMODULE still = GetModuleHandleW(L"VantuToast.dll");
    HMODULE again = nullptr;
    ASSERT_NE(nullptr, create = testsupport::LoadToastLibrary(again));
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_EQ(still, GetModuleHandleW(L"VantuToast.dll"));
    create = testsupport::LoadToastLibrary(dll);  // for the fixture's tear-down
}

// Load, create, initialise, release, unload, 30 times: the first cycle may
// make what a process needs once; the other 29 leave handles and memory as
// they found them. (That the library stays loaded is the test above's part.)
TEST_F(LibraryLifetime, LoadingAgainCostsNothingAfterTheFirstCycle)
{
    ASSERT_TRUE(FreeLibrary(dll));  // the fixture's reference
    dll = nullptr;
    testsupport::ProcessUsage first;
    DWORD firstThreads = 0;
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
            firstThreads = ThreadCount();
            first = testsupport::MeasureProcess();
        }
    }
    // A thread that is still ending holds its handle and stack.
    EXPECT_TRUE(ipctest::WaitFor([&] { return ThreadCount() <= firstThreads; }))
        << ThreadCount() << " threads, " << firstThreads << " after the first cycle";
    const testsupport::ProcessUsage last = testsupport::MeasureProcess();
    EXPECT_LE(last.handles, first.handles + 2) << first.handles << " after cycle 1";
    EXPECT_LE(last.privateBytes, first.privateBytes + 32 * 1024) << first.privateBytes << " after cycle 1";
    create = testsupport::LoadToastLibrary(dll);
}

// An object destroyed on another thread than the one that made it leaves the
// destroying thread's apartment alone (slot 0 and slot 2 alike);
// one made on a single-threaded apartment, which its multithreaded
// initialisation could not join, leaves that apartment alone too. On its
// creating thread it balances its own initialisation.
TEST_F(LibraryLifetime, ApartmentIsBalancedOnlyOnTheCreatingThread)
{
    enum Case { OtherThreadDestructor, OtherThreadRelease, MadeOnTheApartment };
    for (const Case how : {OtherThreadDestructor, OtherThreadRelease, MadeOnTheApartment})
    {
        SCOPED_TRACE(how);
        IVantuToast* toast = nullptr;
        if (how != MadeOnTheApartment)
            std::thread([&] { toast = create(); }).join();
        HRESULT afterDestroy = E_FAIL;
        std::thread([&] {
            ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
            if (how == MadeOnTheApartment)
                toast = create();
            ASSERT_NE(nullptr, toast);
            if (how == OtherThreadRelease)
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
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(S_OK, sim.Activate(shown[i], std::to_wstring(i).c_str()));
    for (HostEvent& event : events)
        EXPECT_TRUE(event.Signalled());
    Settle();
    EXPECT_EQ(8u, ResultRecords(8).size());

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
