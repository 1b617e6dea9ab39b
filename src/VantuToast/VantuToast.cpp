#include "VantuToast/VantuToast.h"

#include <roapi.h>

#include <new>

#include "logging/Logger.h"
#include "logging/ProcessExit.h"
#include "VantuToast/ModuleLifetime.h"
#include "VantuToast/TemplateFile.h"

namespace {
constexpr wchar_t kLogModule[] = L"VantuToast";
}

namespace ToastState {

Groundwork::Mutex InitializationMutex;
int32_t ToastObjectCounter = 0;
std::atomic<bool> ToastInitialized{false};
Groundwork::Mutex TrackedToastsMutex;

namespace {
ExitSafe<std::unordered_map<int, ToastRef>> g_trackedToasts;
}

std::unordered_map<int, ToastRef>& TrackedToasts() REQUIRES(TrackedToastsMutex)
{
    return g_trackedToasts.Get();
}

void StopTracking(int toastId)
{
    ToastRef released;  // the toast's last reference goes outside the lock
    Groundwork::MutexLock guard(TrackedToastsMutex);
    auto entry = TrackedToasts().find(toastId);
    if (entry != TrackedToasts().end())
    {
        released = std::move(entry->second);
        TrackedToasts().erase(entry);
    }
}

}  // namespace ToastState

extern "C" IVantuToast* CreateVantuToastObject()
{
    // The host may unload the library while this object, or a toast it
    // shows, lives on.
    ModuleLifetime::Pin();
    return new (std::nothrow) CVantuToast();
}

CVantuToast::CVantuToast()
    : m_roInitializeResult(RoInitialize(RO_INIT_MULTITHREADED)),
      m_creatingThreadId(GetCurrentThreadId()),
      m_creatingThread(OpenThread(SYNCHRONIZE, FALSE, m_creatingThreadId))
{
}

CVantuToast::~CVantuToast()
{
    if (FAILED(m_roInitializeResult))
        return;
    if (m_creatingThread.Valid() && GetCurrentThreadId() == m_creatingThreadId)
        RoUninitialize();
    else
        VT_LOG(WRN) << "Toast object destroyed on thread " << GetCurrentThreadId() << ", not on its creating thread "
                    << m_creatingThreadId << ": RoUninitialize skipped";
}

bool CVantuToast::Initialize()
{
    Groundwork::MutexLock guard(ToastState::InitializationMutex);
    ++ToastState::ToastObjectCounter;
    if (!ToastState::ToastInitialized)
        ToastState::ToastInitialized = EnsureShortcut();
    return ToastState::ToastInitialized;
}

bool CVantuToast::Release()
{
    Groundwork::MutexLock guard(ToastState::InitializationMutex);
    const int32_t counter = --ToastState::ToastObjectCounter;
    delete this;  // from here on only process-wide state

    if (!ToastState::ToastInitialized || counter > 0)
        return true;
    if (counter < 0)
    {
        VT_LOG(ERR) << "ERROR: VantuToast object counter should never be less than zero. Counter: " << counter;
        return false;
    }

    // The service clients stay: toasts still on screen report their results
    // after this, and the connections serve the next objects.
    ToastState::ToastInitialized = false;
    std::wstring shortcutPath;
    if (!GetShortcutPath(shortcutPath))
    {
        VT_LOG(ERR) << "Failed to retrieve shortcut path";
        return false;
    }
    if (GetFileAttributesW(shortcutPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        return true;
    return DeleteFileW(shortcutPath.c_str()) != FALSE;
}

bool CVantuToast::StopTrackingToast(int toastId)
{
    ToastState::StopTracking(toastId);
    return true;
}

std::wstring CVantuToast::ReadTemplateFile(const std::wstring& templatePath)
{
    return ::ReadTemplateFile(templatePath);
}
