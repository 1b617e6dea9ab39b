// Entry points of VantuSimToast.dll: the Windows Runtime activation export
// and the control API (VantuSimToast.h).
#include <windows.h>

#include "sim/toast/SimPlatform.h"
#include "sim/toast/SimToast.h"
#include "sim/toast/VantuSimToast.h"

using VantuSim::Platform;
using VantuSim::ToastAction;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        DisableThreadLibraryCalls(instance);
        // The platform thread and the toasts handed out outlive any
        // FreeLibrary: the module stays until the process ends.
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&DllMain), &pinned);
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetActivationFactory(HSTRING classId, IActivationFactory** factory)
{
    return VantuSim::GetActivationFactory(classId, factory);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return S_FALSE; }

extern "C" {

uint32_t VantuSimToast_ListOnScreen(VantuSimToastId* ids, uint32_t capacity)
{
    return Platform::Instance().ListOnScreen(ids, capacity);
}

int32_t VantuSimToast_GetToastText(VantuSimToastId id, VantuSimToastText which, wchar_t* buffer, uint32_t capacity)
{
    return Platform::Instance().ToastText(id, which, buffer, capacity);
}

HRESULT VantuSimToast_Activate(VantuSimToastId id, const wchar_t* arguments)
{
    ToastAction action;
    action.action = VantuSimToastAuto_Activate;
    action.defaultArguments = arguments == nullptr;
    if (arguments != nullptr)
        action.arguments = arguments;
    return Platform::Instance().Act(id, action);
}

HRESULT VantuSimToast_ActivateUnreadable(VantuSimToastId id, HRESULT readError)
{
    if (SUCCEEDED(readError))
        return E_INVALIDARG;
    ToastAction action;
    action.action = VantuSimToastAuto_Activate;
    action.unreadable = true;
    action.code = readError;
    return Platform::Instance().Act(id, action);
}

HRESULT VantuSimToast_Dismiss(VantuSimToastId id, int32_t reason)
{
    ToastAction action;
    action.action = VantuSimToastAuto_Dismiss;
    action.reason = reason;
    return Platform::Instance().Act(id, action);
}

HRESULT VantuSimToast_DismissUnreadable(VantuSimToastId id, HRESULT readError)
{
    if (SUCCEEDED(readError))
        return E_INVALIDARG;
    ToastAction action;
    action.action = VantuSimToastAuto_Dismiss;
    action.unreadable = true;
    action.code = readError;
    return Platform::Instance().Act(id, action);
}

HRESULT VantuSimToast_Fail(VantuSimToastId id, HRESULT errorCode)
{
    ToastAction action;
    action.action = VantuSimToastAuto_Fail;
    action.code = errorCode;
    return Platform::Instance().Act(id, action);
}

HRESULT VantuSimToast_FailNext(VantuSimToastOperation operation, HRESULT result)
{
    return Platform::Instance().FailNext(operation, result);
}

BOOL VantuSimToast_WaitForOnScreen(uint32_t count, DWORD timeoutMs)
{
    return Platform::Instance().WaitForOnScreen(count, timeoutMs) ? TRUE : FALSE;
}

BOOL VantuSimToast_WaitIdle(DWORD timeoutMs) { return Platform::Instance().WaitIdle(timeoutMs) ? TRUE : FALSE; }

uint32_t VantuSimToast_LiveObjects(VantuSimToastObject kind)
{
    Platform& platform = Platform::Instance();
    switch (kind)
    {
    case VantuSimToastObject_Toast:
        return platform.toasts.Value();
    case VantuSimToastObject_XmlDocument:
        return platform.documents.Value();
    case VantuSimToastObject_Notifier:
        return platform.notifiers.Value();
    case VantuSimToastObject_EventArgs:
        return platform.eventArgs.Value();
    }
    return 0;
}

void VantuSimToast_SetAutoMode(VantuSimToastAutoAction mode, DWORD delayMs, const wchar_t* arguments,
                               int32_t reason, HRESULT errorCode)
{
    ToastAction action;
    action.action = mode;
    action.defaultArguments = arguments == nullptr;
    if (arguments != nullptr)
        action.arguments = arguments;
    action.reason = reason;
    action.code = errorCode;
    Platform::Instance().SetAutoMode(action, delayMs);
}

void VantuSimToast_Reset(void) { Platform::Instance().Reset(); }

uint32_t VantuSimToast_SetModes(uint32_t modes) { return Platform::Instance().SetModes(modes); }

uint32_t VantuSimToast_FreshThreadEvents(void) { return Platform::Instance().FreshThreadEvents(); }

BOOL VantuSimToast_RequireShortcut(BOOL required)
{
    return Platform::Instance().RequireShortcut(required != FALSE) ? TRUE : FALSE;
}

}  // extern "C"
