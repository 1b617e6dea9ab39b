// The simulated notification platform of one process: the screen, the
// platform thread that raises toast events, injected failures and the
// automatic mode. One instance per process, never destroyed (toasts may be
// released by other modules' static destructors after this DLL has been
// told to detach).
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ScopedHandle.h"
#include "sim/toast/SimObject.h"
#include "sim/toast/VantuSimToast.h"

namespace VantuSim {

class SimToast;

enum class ToastEvent { Activated, Dismissed, Failed };

// What an automatic or control action does to a toast on screen.
struct ToastAction
{
    VantuSimToastAutoAction action = VantuSimToastAuto_Off;
    bool unreadable = false;         // arguments/reason cannot be read
    bool defaultArguments = true;    // activate with the launch attribute
    std::wstring arguments;
    int32_t reason = 0;
    HRESULT code = S_OK;             // read error, or failure code
};

class Platform
{
public:
    static Platform& Instance();

    // Injected failures: the failure pending for the operation (clearing
    // it), or S_OK.
    HRESULT TakeFailure(VantuSimToastOperation operation);
    HRESULT FailNext(VantuSimToastOperation operation, HRESULT result);

    // Identifiers and the table of live toasts (uncounted pointers, removed
    // by the toast's destructor before anything else is torn down).
    VantuSimToastId Register(SimToast* toast);
    void Unregister(VantuSimToastId id);
    int32_t ToastText(VantuSimToastId id, VantuSimToastText which, wchar_t* buffer, uint32_t capacity);

    // The screen.
    HRESULT Show(SimToast* toast, const std::wstring& appId);
    HRESULT Hide(SimToast* toast, const std::wstring& appId);
    uint32_t ListOnScreen(VantuSimToastId* ids, uint32_t capacity);
    bool WaitForOnScreen(uint32_t count, DWORD timeoutMs);

    // Takes a toast off the screen and raises the event of the action.
    HRESULT Act(VantuSimToastId id, const ToastAction& action);

    bool WaitIdle(DWORD timeoutMs);
    void SetAutoMode(const ToastAction& action, DWORD delayMs);
    void Reset();
    uint32_t SetModes(uint32_t modes);
    uint32_t FreshThreadEvents();
    // Strict mode: sets it and returns the previous setting.
    bool RequireShortcut(bool required);
    // S_OK, or the failure Show gives in strict mode without a shortcut.
    HRESULT ShortcutCheck();

    LiveCounter toasts;
    LiveCounter documents;
    LiveCounter notifiers;
    LiveCounter eventArgs;

private:
    struct PendingEvent
    {
        Microsoft::WRL::ComPtr<SimToast> toast;
        ToastEvent kind{};
        Microsoft::WRL::ComPtr<IInspectable> args;
    };
    struct ScreenEntry
    {
        Microsoft::WRL::ComPtr<SimToast> toast;
        std::wstring appId;
    };
    using Clock = std::chrono::steady_clock;

    Platform();

    // Called with m_lock held; the screen entry's reference moves into the
    // event, which is queued (EndLocked) or handed back (TakeLocked).
    HRESULT EndLocked(std::vector<ScreenEntry>::iterator entry, const ToastAction& action);
    HRESULT TakeLocked(std::vector<ScreenEntry>::iterator entry, const ToastAction& action, PendingEvent& event);
    void EnqueueLocked(PendingEvent event);
    // Raises an event on the calling thread, m_lock not held; counted as in
    // flight for WaitIdle.
    void RaiseNow(PendingEvent& event);
    void DispatcherLoop();
    struct FreshEvent
    {
        Platform* platform = nullptr;
        PendingEvent event;
    };
    static DWORD WINAPI FreshEventThread(void* work);
    void LoadAutoModeFromRegistry();

    std::mutex m_lock;
    std::condition_variable m_changed;  // screen, queue, schedule or idle state changed

    HRESULT m_failures[VantuSimToastOp_Count] = {};
    VantuSimToastId m_lastId = 0;
    std::map<VantuSimToastId, SimToast*> m_live;
    std::vector<ScreenEntry> m_screen;

    std::deque<PendingEvent> m_events;
    bool m_dispatcherStarted = false;
    uint32_t m_inFlight = 0;          // events being raised, on any thread
    uint32_t m_freshThreadEvents = 0; // events raised on fresh threads
    // Fresh event threads not yet seen to end. WaitIdle waits for them: a
    // thread that has raised its event still holds its stack until it ends.
    std::vector<Groundwork::ScopedHandle> m_freshThreads;
    uint32_t m_modes = 0;             // VantuSimToastMode flags
    uint32_t m_loadedModes = 0;       // as read from the registry
    bool m_requireShortcut = false;

    ToastAction m_auto;
    DWORD m_autoDelayMs = 0;
    std::multimap<Clock::time_point, VantuSimToastId> m_scheduled;
};

}  // namespace VantuSim
