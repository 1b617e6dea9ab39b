#include "VantuToast/ModuleLifetime.h"

#include <windows.h>

#include <atomic>

#include "logging/Logger.h"

namespace {

constexpr wchar_t kLogModule[] = L"ModuleLifetime";

std::atomic<bool> g_pinned{false};

}  // namespace

namespace ModuleLifetime {

void Pin()
{
    if (g_pinned.load(std::memory_order_acquire))
        return;
    // Two first callers may both pin: the second pin changes nothing.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&g_pinned), &module))
    {
        VT_LOG(ERR) << "Failed to pin the library. Error: " << GetLastError();
        return;
    }
    if (!g_pinned.exchange(true))
        VT_LOG(DBG) << "The library stays loaded until the process ends";
}

}  // namespace ModuleLifetime
