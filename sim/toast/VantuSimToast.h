/*
 * Control API of VantuSimToast.dll, the stand-in for the Windows toast
 * platform used by the tests and the demo (never shipped).
 *
 * What the stand-in is
 * --------------------
 * The test prefix registers VantuSimToast.dll as the activatable classes
 *   "Windows.Data.Xml.Dom.XmlDocument"
 *   "Windows.UI.Notifications.ToastNotificationManager"
 *   "Windows.UI.Notifications.ToastNotification"
 * (HKLM\Software\Microsoft\WindowsRuntime\ActivatableClassId\<class>, value
 * "DllPath"), so RoActivateInstance / RoGetActivationFactory in any process of
 * the prefix load it and call its DllGetActivationFactory. It behaves like
 * the platform as far as the toast component can see:
 *  - XmlDocument.LoadXml parses with MSXML 6 and fails with MSXML's error
 *    code for malformed XML.
 *  - ToastNotificationManager.CreateToastNotifierWithId gives a notifier bound
 *    to that application identity. Show puts the toast on the simulated
 *    screen of this process; Hide takes it off (only when it is on screen
 *    under the same identity) and raises Dismissed with ApplicationHidden.
 *  - Activated, Dismissed and Failed are raised on the stand-in's platform
 *    thread (one dispatcher thread per process, MTA), never inside the call
 *    that requested them, one event after the other in the order they were
 *    requested, each to every handler added and not removed on that toast
 *    at the time the event is raised.
 *  - Objects are reference counted like COM: a toast lives while someone
 *    holds it (the screen holds every toast it shows; queued events hold
 *    their toast until raised; a toast holds its handlers and document).
 *
 * The screen and everything below is per process: the control functions act
 * on the instance loaded in the calling process, which is the one the toast
 * component uses. Link the import library (tests) or load the DLL by name
 * (VantuSimToastApi below) to reach the same module.
 *
 * Threads: every function may be called from any thread, including from a
 * handler running on the platform thread.
 *
 * Automatic mode (for the demo): configured either with
 * VantuSimToast_SetAutoMode or, read once when the DLL is loaded, under
 * HKLM\SOFTWARE\VantuSim\Toast:
 *   "AutoAction"    REG_SZ  "activate" | "dismiss" | "fail" (anything else: off)
 *   "AutoDelayMs"   DWORD   delay after Show (default 1000)
 *   "AutoArguments" REG_SZ  activation arguments (absent: the toast's launch attribute)
 *   "AutoReason"    DWORD   dismissal reason (default 0, UserCanceled)
 *   "AutoError"     DWORD   failure code (default 0x80004005)
 *
 * Hostile modes, as the real platform may behave: set with
 * VantuSimToast_SetModes or, read once when the DLL is loaded, under the
 * same key:
 *   "EventThreads"        REG_SZ "dispatcher" (default: the one platform
 *                         thread above) | "fresh" (every event is raised on
 *                         a new thread that ends after it, as a thread pool
 *                         that grows and shrinks does)
 *   "HideRaisesDismissed" DWORD 1: Hide raises Dismissed on the calling
 *                         thread before it returns
 *   "FailOnShow"          DWORD 1: Failed (code 0x80004005) is raised on
 *                         another thread as soon as Show is called, racing
 *                         Show's return
 * The screen keeps its toasts and their handlers when the module that
 * added the handlers is unloaded; a user action still raises their events.
 *
 * Contracts enforced as Windows enforces them, always:
 *  - a handler is called only through what a query of it for its delegate
 *    interface returns (TypedEventHandler<ToastNotification, IInspectable>,
 *    <..., ToastDismissedEventArgs>, <..., ToastFailedEventArgs>); one that
 *    does not answer is never called;
 *  - CreateToastNotification, Show and Hide take exactly the IXmlDocument or
 *    IToastNotification pointer of a stand-in object (what a query for that
 *    interface returns), and fail with E_INVALIDARG for any other pointer,
 *    another interface of the same object included.
 * Strict mode (VantuSimToast_RequireShortcut; off at load, left as it is by
 * Reset): Show fails with HRESULT_FROM_WIN32(ERROR_NOT_FOUND) unless a
 * shortcut (a .lnk file) exists in the user's or the common Start-menu
 * Programs folder or below. Wine's shell link stores no application ID, so
 * any shortcut there counts.
 */
#ifndef VANTU_SIM_TOAST_H
#define VANTU_SIM_TOAST_H

#include <windows.h>
#include <stdint.h>

#ifdef VANTU_SIM_TOAST_BUILD
#define VANTU_SIM_TOAST_API __declspec(dllexport)
#else
#define VANTU_SIM_TOAST_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Identifier of a toast notification object, unique within the process and
 * never reused. Assigned when the toast is created. 0 is never a toast. */
typedef uint32_t VantuSimToastId;

/* Texts of a toast that VantuSimToast_GetToastText returns. */
typedef enum VantuSimToastText {
    VantuSimToastText_AppId = 0,  /* identity of the notifier that showed it ("" before Show) */
    VantuSimToastText_Xml = 1,    /* the XML text its document was loaded from */
    VantuSimToastText_Launch = 2  /* "launch" attribute of the root <toast> element ("" if none) */
} VantuSimToastText;

/* Platform operations whose next call VantuSimToast_FailNext can make fail. */
typedef enum VantuSimToastOperation {
    VantuSimToastOp_ActivateXmlDocument = 0,   /* ActivateInstance of Windows.Data.Xml.Dom.XmlDocument */
    VantuSimToastOp_LoadXml = 1,               /* IXmlDocumentIO::LoadXml */
    VantuSimToastOp_QueryXmlDocument = 2,      /* QueryInterface of a document for IXmlDocument */
    VantuSimToastOp_GetManagerFactory = 3,     /* DllGetActivationFactory("...ToastNotificationManager") */
    VantuSimToastOp_CreateToastNotifier = 4,   /* CreateToastNotifier / CreateToastNotifierWithId */
    VantuSimToastOp_GetToastFactory = 5,       /* DllGetActivationFactory("...ToastNotification") */
    VantuSimToastOp_CreateToastNotification = 6,
    VantuSimToastOp_AddActivated = 7,
    VantuSimToastOp_AddDismissed = 8,
    VantuSimToastOp_AddFailed = 9,
    VantuSimToastOp_Show = 10,
    VantuSimToastOp_Hide = 11,
    VantuSimToastOp_Count = 12
} VantuSimToastOperation;

/* Object kinds counted by VantuSimToast_LiveObjects. */
typedef enum VantuSimToastObject {
    VantuSimToastObject_Toast = 0,       /* ToastNotification */
    VantuSimToastObject_XmlDocument = 1,
    VantuSimToastObject_Notifier = 2,
    VantuSimToastObject_EventArgs = 3    /* the three kinds of event arguments */
} VantuSimToastObject;

/* Automatic action on every toast shown (VantuSimToast_SetAutoMode). */
typedef enum VantuSimToastAutoAction {
    VantuSimToastAuto_Off = 0,
    VantuSimToastAuto_Activate = 1,
    VantuSimToastAuto_Dismiss = 2,
    VantuSimToastAuto_Fail = 3
} VantuSimToastAutoAction;

/* Hostile modes (VantuSimToast_SetModes), combined with |. */
typedef enum VantuSimToastMode {
    VantuSimToastMode_None = 0,
    VantuSimToastMode_FreshEventThreads = 1,
    VantuSimToastMode_HideRaisesDismissed = 2,
    VantuSimToastMode_FailOnShow = 4
} VantuSimToastMode;

/* Copies the identifiers of the toasts on screen, oldest first, into ids
 * (at most capacity of them; ids may be null when capacity is 0). Returns
 * how many toasts are on screen, which may exceed capacity. */
VANTU_SIM_TOAST_API uint32_t VantuSimToast_ListOnScreen(VantuSimToastId* ids, uint32_t capacity);

/* Copies one text of a toast (on screen or not, as long as it is alive) into
 * buffer, NUL-terminated and truncated to capacity - 1 characters. Returns
 * the full length in characters without the NUL, or -1 when no live toast
 * has that identifier. buffer may be null when capacity is 0. */
VANTU_SIM_TOAST_API int32_t VantuSimToast_GetToastText(VantuSimToastId id, VantuSimToastText which,
                                                       wchar_t* buffer, uint32_t capacity);

/* The user clicks the toast: it leaves the screen and Activated is raised
 * with these arguments; null means the toast's launch attribute.
 * Returns S_OK, or HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when it is not on
 * screen (nothing raised). */
VANTU_SIM_TOAST_API HRESULT VantuSimToast_Activate(VantuSimToastId id, const wchar_t* arguments);

/* Like VantuSimToast_Activate, but the handlers cannot read the arguments:
 * with readError E_NOINTERFACE the argument object does not expose
 * IToastActivatedEventArgs at all; with any other failure code
 * get_Arguments returns that code. */
VANTU_SIM_TOAST_API HRESULT VantuSimToast_ActivateUnreadable(VantuSimToastId id, HRESULT readError);

/* The toast leaves the screen and Dismissed is raised with this reason
 * value, which need not be one of ToastDismissalReason (0 UserCanceled,
 * 1 ApplicationHidden, 2 TimedOut). Returns as VantuSimToast_Activate. */
VANTU_SIM_TOAST_API HRESULT VantuSimToast_Dismiss(VantuSimToastId id, int32_t reason);

/* Like VantuSimToast_Dismiss, but get_Reason fails with readError. */
VANTU_SIM_TOAST_API HRESULT VantuSimToast_DismissUnreadable(VantuSimToastId id, HRESULT readError);

/* The toast fails: it leaves the screen and Failed is raised with this
 * error code. Returns as VantuSimToast_Activate. */
VANTU_SIM_TOAST_API HRESULT VantuSimToast_Fail(VantuSimToastId id, HRESULT errorCode);

/* The next call of that operation (in any thread of this process) fails
 * with result, which must be a failure code, and has no other effect; the
 * calls after it behave normally again. result S_OK cancels a pending
 * failure. Returns E_INVALIDARG for an unknown operation or a success code
 * other than S_OK. */
VANTU_SIM_TOAST_API HRESULT VantuSimToast_FailNext(VantuSimToastOperation operation, HRESULT result);

/* Waits until at least count toasts are on screen. Returns TRUE when they
 * are, FALSE after timeoutMs milliseconds. */
VANTU_SIM_TOAST_API BOOL VantuSimToast_WaitForOnScreen(uint32_t count, DWORD timeoutMs);

/* Waits until every event requested so far has been raised and its
 * handlers have returned. FALSE after timeoutMs milliseconds. Called from a
 * handler it returns FALSE at once (it would wait for itself). */
VANTU_SIM_TOAST_API BOOL VantuSimToast_WaitIdle(DWORD timeoutMs);

/* Number of stand-in objects of that kind alive in this process. */
VANTU_SIM_TOAST_API uint32_t VantuSimToast_LiveObjects(VantuSimToastObject kind);

/* Acts on every toast shown from now on, delayMs after its Show, as the
 * control functions above would: activate with arguments (null: its
 * launch attribute), dismiss with reason, or fail with errorCode.
 * VantuSimToastAuto_Off stops it (actions already scheduled are dropped). */
VANTU_SIM_TOAST_API void VantuSimToast_SetAutoMode(VantuSimToastAutoAction action, DWORD delayMs,
                                                   const wchar_t* arguments, int32_t reason,
                                                   HRESULT errorCode);

/* Back to a clean screen: every toast is taken off the screen without an
 * event, events not yet raised and scheduled automatic actions are dropped,
 * pending failures are cleared and automatic mode is off. A handler already
 * running is not waited for (use VantuSimToast_WaitIdle before if needed).
 * Live objects held by others stay alive. The hostile modes go back to
 * those read from the registry at load. */
VANTU_SIM_TOAST_API void VantuSimToast_Reset(void);

/* Sets the hostile modes (VantuSimToastMode flags) from now on, and returns
 * the modes that were set before. */
VANTU_SIM_TOAST_API uint32_t VantuSimToast_SetModes(uint32_t modes);

/* Number of events raised on "fresh" event threads since the DLL was
 * loaded. */
VANTU_SIM_TOAST_API uint32_t VantuSimToast_FreshThreadEvents(void);

/* Strict mode on (TRUE) or off; returns whether it was on. */
VANTU_SIM_TOAST_API BOOL VantuSimToast_RequireShortcut(BOOL required);

#ifdef __cplusplus
} /* extern "C" */

/* Function table for programs that load the stand-in by name instead of
 * linking it (the demo host): Load() finds the DLL the prefix registered
 * for ToastNotificationManager and resolves every function. */
struct VantuSimToastApi
{
    decltype(&VantuSimToast_ListOnScreen) ListOnScreen = nullptr;
    decltype(&VantuSimToast_GetToastText) GetToastText = nullptr;
    decltype(&VantuSimToast_Activate) Activate = nullptr;
    decltype(&VantuSimToast_ActivateUnreadable) ActivateUnreadable = nullptr;
    decltype(&VantuSimToast_Dismiss) Dismiss = nullptr;
    decltype(&VantuSimToast_DismissUnreadable) DismissUnreadable = nullptr;
    decltype(&VantuSimToast_Fail) Fail = nullptr;
    decltype(&VantuSimToast_FailNext) FailNext = nullptr;
    decltype(&VantuSimToast_WaitForOnScreen) WaitForOnScreen = nullptr;
    decltype(&VantuSimToast_WaitIdle) WaitIdle = nullptr;
    decltype(&VantuSimToast_LiveObjects) LiveObjects = nullptr;
    decltype(&VantuSimToast_SetAutoMode) SetAutoMode = nullptr;
    decltype(&VantuSimToast_Reset) Reset = nullptr;
    decltype(&VantuSimToast_SetModes) SetModes = nullptr;
    decltype(&VantuSimToast_FreshThreadEvents) FreshThreadEvents = nullptr;
    decltype(&VantuSimToast_RequireShortcut) RequireShortcut = nullptr;

    /* True when every function was found. The module stays loaded. */
    bool Load()
    {
        wchar_t path[MAX_PATH] = {};
        DWORD bytes = sizeof(path) - sizeof(wchar_t);
        if (RegGetValueW(HKEY_LOCAL_MACHINE,
                         L"Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\"
                         L"Windows.UI.Notifications.ToastNotificationManager",
                         L"DllPath", RRF_RT_REG_SZ, nullptr, path, &bytes) != ERROR_SUCCESS)
            return false;
        HMODULE module = LoadLibraryW(path);
        if (module == nullptr)
            return false;
        return Resolve(module, ListOnScreen, "VantuSimToast_ListOnScreen") &&
               Resolve(module, GetToastText, "VantuSimToast_GetToastText") &&
               Resolve(module, Activate, "VantuSimToast_Activate") &&
               Resolve(module, ActivateUnreadable, "VantuSimToast_ActivateUnreadable") &&
               Resolve(module, Dismiss, "VantuSimToast_Dismiss") &&
               Resolve(module, DismissUnreadable, "VantuSimToast_DismissUnreadable") &&
               Resolve(module, Fail, "VantuSimToast_Fail") &&
               Resolve(module, FailNext, "VantuSimToast_FailNext") &&
               Resolve(module, WaitForOnScreen, "VantuSimToast_WaitForOnScreen") &&
               Resolve(module, WaitIdle, "VantuSimToast_WaitIdle") &&
               Resolve(module, LiveObjects, "VantuSimToast_LiveObjects") &&
               Resolve(module, SetAutoMode, "VantuSimToast_SetAutoMode") &&
               Resolve(module, Reset, "VantuSimToast_Reset") &&
               Resolve(module, SetModes, "VantuSimToast_SetModes") &&
               Resolve(module, FreshThreadEvents, "VantuSimToast_FreshThreadEvents") &&
               Resolve(module, RequireShortcut, "VantuSimToast_RequireShortcut");
    }

private:
    template <typename Fn>
    static bool Resolve(HMODULE module, Fn& fn, const char* name)
    {
        fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
        return fn != nullptr;
    }
};
#endif /* __cplusplus */

#endif /* VANTU_SIM_TOAST_H */
