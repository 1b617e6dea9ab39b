#include "VantuToast/ModuleLifetime.h"

#include <windows.h>

#include <cstdint>

#include "base/Lock.h"
#include "logging/Logger.h"
#include "platform/ScopedHandle.h"
#include "VantuToast/ServiceClients.h"

namespace {

constexpr wchar_t kLogModule[] = L"ModuleLifetime";

// The last user's own code still runs for a moment after its Drop (the rest
// of a destructor, the return into the platform); the release waits this
// long without users before it lets the library go.
constexpr DWORD kQuietMs = 50;

Groundwork::Mutex g_lock;
int32_t g_users GUARDED_BY(g_lock) = 0;
uint64_t g_generation GUARDED_BY(g_lock) = 0;  // counts Holds
HMODULE g_module GUARDED_BY(g_lock) = nullptr;  // our reference, when held
bool g_releasing GUARDED_BY(g_lock) = false;    // a release thread runs

// Closes the service clients (joins their threads) outside the lock.
DWORD WINAPI ReleaseThread(void*) EXCLUDES(g_lock)
{
    for (;;)
    {
        Sleep(kQuietMs);
        uint64_t generation = 0;
        {
            Groundwork::MutexLock guard(g_lock);
            if (g_users > 0)
            {
                // Users came back: they keep the reference, and the next
                // last Drop starts another release.
                g_releasing = false;
                return 0;
            }
            generation = g_generation;
        }
        CloseServiceClients();
        HMODULE module = nullptr;
        {
            Groundwork::MutexLock guard(g_lock);
            // A user that came and went meanwhile may have opened a
            // connection again: close once more.
            if (g_users > 0 || generation != g_generation)
                continue;
            module = g_module;
            g_module = nullptr;
            g_releasing = false;
        }
        VT_LOG(DBG) << "Releasing the library";
        FreeLibraryAndExitThread(module, 0);
    }
}

}  // namespace

namespace ModuleLifetime {

void Hold() EXCLUDES(g_lock)
{
    Groundwork::MutexLock guard(g_lock);
    ++g_generation;
    if (++g_users == 1 && g_module == nullptr)
    {
        HMODULE module = nullptr;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                               reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ReleaseThread)), &module))
            g_module = module;
        else
            VT_LOG(ERR) << "Failed to keep the library loaded. Error: " << GetLastError();
    }
}

void Drop() EXCLUDES(g_lock)
{
    Groundwork::MutexLock guard(g_lock);
    if (--g_users > 0 || g_releasing || g_module == nullptr)
        return;
    const Groundwork::ScopedHandle thread(CreateThread(nullptr, 0, &ReleaseThread, nullptr, 0, nullptr));
    if (!thread.valid())
    {
        // The library then stays loaded until the process ends.
        VT_LOG(ERR) << "Failed to start the library release thread. Error: " << GetLastError();
        return;
    }
    g_releasing = true;
}

}  // namespace ModuleLifetime
