#include "VantuToast/VantuToast.h"

#include <roapi.h>

#include <new>

#include "logging/Logger.h"
#include "VantuToast/ServiceClients.h"
#include "VantuToast/TemplateFile.h"

namespace {
constexpr wchar_t kLogModule[] = L"VantuToast";
}

namespace ToastState {

std::mutex InitializationMutex;
int32_t ToastObjectCounter = 0;
bool ToastInitialized = false;
std::mutex TrackedToastsMutex;
std::unordered_map<int, ToastRef> TrackedToasts;

void StopTracking(int toastId)
{
    ToastRef released;  // the toast's last reference goes outside the lock
    std::lock_guard<std::mutex> guard(TrackedToastsMutex);
    auto entry = TrackedToasts.find(toastId);
    if (entry != TrackedToasts.end())
    {
        released = std::move(entry->second);
        TrackedToasts.erase(entry);
    }
}

}  // namespace ToastState

extern "C" IVantuToast* CreateVantuToastObject()
{
    return new (std::nothrow) CVantuToast();
}

CVantuToast::CVantuToast() : m_roInitializeResult(RoInitialize(RO_INIT_MULTITHREADED)) {}

CVantuToast::~CVantuToast()
{
    if (SUCCEEDED(m_roInitializeResult))
        RoUninitialize();
}

bool CVantuToast::Initialize()
{
    std::lock_guard<std::mutex> guard(ToastState::InitializationMutex);
    ++ToastState::ToastObjectCounter;
    if (!ToastState::ToastInitialized)
    {
        OpenServiceClients();
        ToastState::ToastInitialized = EnsureShortcut();
        if (!ToastState::ToastInitialized)
            CloseServiceClients();
    }
    return ToastState::ToastInitialized;
}

bool CVantuToast::Release()
{
    std::lock_guard<std::mutex> guard(ToastState::InitializationMutex);
    const int32_t counter = --ToastState::ToastObjectCounter;
    delete this;  // from here on only process-wide state

    if (!ToastState::ToastInitialized || counter > 0)
        return true;
    if (counter < 0)
    {
        VT_LOG(ERR) << "ERROR: VantuToast object counter should never be less than zero. Counter: " << counter;
        return false;
    }

    ToastState::ToastInitialized = false;
    // The last object is gone: the host may unload the library next.
    CloseServiceClients();
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
