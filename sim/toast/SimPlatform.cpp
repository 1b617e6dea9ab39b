#include "sim/toast/SimPlatform.h"

#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <new>

#include "sim/toast/SimToast.h"


namespace VantuSim {

namespace {

constexpr wchar_t kConfigKey[] = L"SOFTWARE\\VantuSim\\Toast";

bool ReadDword(HKEY key, const wchar_t* name, DWORD& value)
{
    DWORD bytes = sizeof(value);
    return RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) == ERROR_SUCCESS;
}

bool ReadString(HKEY key, const wchar_t* name, std::wstring& value)
{
    DWORD bytes = 0;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
        return false;
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, &text[0], &bytes) != ERROR_SUCCESS)
        return false;
    text.resize(wcslen(text.c_str()));
    value = std::move(text);
    return true;
}

// Set while this thread raises an event (WaitIdle would wait for itself).
thread_local bool t_raising = false;

int32_t CopyText(const std::wstring& text, wchar_t* buffer, uint32_t capacity)
{
    if (buffer != nullptr && capacity > 0)
    {
        const size_t count = std::min<size_t>(text.size(), capacity - 1);
        std::copy_n(text.data(), count, buffer);
        buffer[count] = L'\0';
    }
    return static_cast<int32_t>(text.size());
}

void FreeFolderPath(PWSTR path)
{
    CoTaskMemFree(path);
}
using FolderPath = Groundwork::UniqueNull<PWSTR, FreeFolderPath>;

// Whether `folder` or a folder below it holds a .lnk file.
bool HoldsShortcut(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry{};
    const Groundwork::FindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!search.valid())
        return false;
    do
    {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? HoldsShortcut(folder + L"\\" + name)
                                                                : name.size() > 4 &&
                                                                      _wcsicmp(name.c_str() + name.size() - 4, L".lnk") == 0)
            return true;
    } while (FindNextFileW(search.get(), &entry));
    return false;
}

bool StartMenuHoldsShortcut()
{
    for (const KNOWNFOLDERID& id : {FOLDERID_Programs, FOLDERID_CommonPrograms})
    {
        FolderPath path;
        if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, path.put())) && HoldsShortcut(path.get()))
            return true;
    }
    return false;
}

}  // namespace

Platform& Platform::Instance()
{
    // Deliberately never destroyed: see the header.
    static Platform* instance = new Platform();
    return *instance;
}

Platform::Platform() { LoadAutoModeFromRegistry(); }

void Platform::LoadAutoModeFromRegistry()
{
    Groundwork::RegistryKey owner;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ | KEY_WOW64_64KEY, owner.put()) != ERROR_SUCCESS)
        return;
    const HKEY key = owner.get();
    std::wstring action;
    ToastAction automatic;
    if (ReadString(key, L"AutoAction", action))
    {
        if (action == L"activate")
            automatic.action = VantuSimToastAuto_Activate;
        else if (action == L"dismiss")
            automatic.action = VantuSimToastAuto_Dismiss;
        else if (action == L"fail")
            automatic.action = VantuSimToastAuto_Fail;
    }
    DWORD delay = 1000;
    ReadDword(key, L"AutoDelayMs", delay);
    std::wstring arguments;
    if (ReadString(key, L"AutoArguments", arguments))
    {
        automatic.defaultArguments = false;
        automatic.arguments = arguments;
    }
    DWORD reason = 0;
    ReadDword(key, L"AutoReason", reason);
    automatic.reason = static_cast<int32_t>(reason);
    DWORD error = static_cast<DWORD>(E_FAIL);
    ReadDword(key, L"AutoError", error);
    automatic.code = static_cast<HRESULT>(error);
    uint32_t modes = 0;
    std::wstring threads;
    if (ReadString(key, L"EventThreads", threads) && threads == L"fresh")
        modes |= VantuSimToastMode_FreshEventThreads;
    DWORD flag = 0;
    if (ReadDword(key, L"HideRaisesDismissed", flag) && flag == 1)
        modes |= VantuSimToastMode_HideRaisesDismissed;
    flag = 0;
    if (ReadDword(key, L"FailOnShow", flag) && flag == 1)
        modes |= VantuSimToastMode_FailOnShow;
    m_auto = automatic;
    m_autoDelayMs = delay;
    m_modes = m_loadedModes = modes;
}

HRESULT Platform::TakeFailure(VantuSimToastOperation operation)
{
    std::lock_guard<std::mutex> lock(m_lock);
    HRESULT result = m_failures[operation];
    m_failures[operation] = S_OK;
    return result;
}

HRESULT Platform::FailNext(VantuSimToastOperation operation, HRESULT result)
{
    if (operation < 0 || operation >= VantuSimToastOp_Count || (SUCCEEDED(result) && result != S_OK))
        return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_lock);
    m_failures[operation] = result;
    return S_OK;
}

VantuSimToastId Platform::Register(SimToast* toast)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const VantuSimToastId id = ++m_lastId;
    m_live[id] = toast;
    return id;
}

void Platform::Unregister(VantuSimToastId id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_live.erase(id);
}

int32_t Platform::ToastText(VantuSimToastId id, VantuSimToastText which, wchar_t* buffer, uint32_t capacity)
{
    std::wstring text;
    {
        // A toast in this table is alive: its destructor removes it first,
        // under this lock, before anything it owns is released.
        std::lock_guard<std::mutex> lock(m_lock);
        auto live = m_live.find(id);
        if (live == m_live.end())
            return -1;
        switch (which)
        {
        case VantuSimToastText_AppId:
            text = live->second->ShownAs();
            break;
        case VantuSimToastText_Xml:
            text = live->second->Xml();
            break;
        case VantuSimToastText_Launch:
            text = live->second->Launch();
            break;
        default:
            return -1;
        }
    }
    return CopyText(text, buffer, capacity);
}

HRESULT Platform::Show(SimToast* toast, const std::wstring& appId)
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto shown = std::find_if(m_screen.begin(), m_screen.end(),
                              [toast](const ScreenEntry& e) { return e.toast.Get() == toast; });
    if (shown != m_screen.end())
        return S_OK;  // already on screen: shown once
    m_screen.push_back(ScreenEntry{toast, appId});
    toast->SetShownAs(appId);
    if (m_modes & VantuSimToastMode_FailOnShow)
    {
        // Raised on another thread at once; it races this call's return.
        ToastAction failed;
        failed.action = VantuSimToastAuto_Fail;
        failed.code = E_FAIL;
        return EndLocked(m_screen.end() - 1, failed);
    }
    if (m_auto.action != VantuSimToastAuto_Off)
    {
        m_scheduled.emplace(Clock::now() + std::chrono::milliseconds(m_autoDelayMs), toast->Id());
        if (!m_dispatcherStarted)
            EnqueueLocked(PendingEvent{});  // starts the platform thread for the schedule
    }
    m_changed.notify_all();
    return S_OK;
}

HRESULT Platform::Hide(SimToast* toast, const std::wstring& appId)
{
    PendingEvent event;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto shown = std::find_if(m_screen.begin(), m_screen.end(), [toast, &appId](const ScreenEntry& e) {
            return e.toast.Get() == toast && e.appId == appId;
        });
        if (shown == m_screen.end())
            return S_OK;  // not on screen for this application: nothing to hide
        ToastAction hidden;
        hidden.action = VantuSimToastAuto_Dismiss;
        hidden.reason = 1;  // ApplicationHidden
        if (!(m_modes & VantuSimToastMode_HideRaisesDismissed))
            return EndLocked(shown, hidden);
        const HRESULT hr = TakeLocked(shown, hidden, event);
        if (FAILED(hr))
            return hr;
        ++m_inFlight;
    }
    RaiseNow(event);
    return S_OK;
}

void Platform::RaiseNow(PendingEvent& event)
{
    const bool wasRaising = t_raising;
    t_raising = true;
    event.toast->Raise(event.kind, event.args.Get());
    event = PendingEvent{};  // releases the toast outside the lock
    t_raising = wasRaising;
    std::lock_guard<std::mutex> lock(m_lock);
    --m_inFlight;
    m_changed.notify_all();
}

uint32_t Platform::ListOnScreen(VantuSimToastId* ids, uint32_t capacity)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (uint32_t i = 0; ids != nullptr && i < capacity && i < m_screen.size(); ++i)
        ids[i] = m_screen[i].toast->Id();
    return static_cast<uint32_t>(m_screen.size());
}

bool Platform::WaitForOnScreen(uint32_t count, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_screen.size() >= count; });
}

HRESULT Platform::Act(VantuSimToastId id, const ToastAction& action)
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto shown = std::find_if(m_screen.begin(), m_screen.end(),
                              [id](const ScreenEntry& e) { return e.toast->Id() == id; });
    if (shown == m_screen.end())
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    return EndLocked(shown, action);
}

HRESULT Platform::EndLocked(std::vector<ScreenEntry>::iterator entry, const ToastAction& action)
{
    PendingEvent event;
    const HRESULT hr = TakeLocked(entry, action, event);
    if (SUCCEEDED(hr))
        EnqueueLocked(std::move(event));
    return hr;
}

HRESULT Platform::TakeLocked(std::vector<ScreenEntry>::iterator entry, const ToastAction& action,
                             PendingEvent& event)
{
    // The argument objects are the stand-in's own and release nothing of
    // the platform's, so creating them under the lock is safe.
    switch (action.action)
    {
    case VantuSimToastAuto_Activate:
    {
        event.kind = ToastEvent::Activated;
        const std::wstring arguments = action.defaultArguments ? entry->toast->Launch() : action.arguments;
        auto* args = new (std::nothrow) SimActivatedArgs(arguments, action.unreadable ? action.code : S_OK);
        if (args == nullptr)
            return E_OUTOFMEMORY;
        event.args = Adopt<IInspectable>(args);
        break;
    }
    case VantuSimToastAuto_Dismiss:
    {
        event.kind = ToastEvent::Dismissed;
        auto* args = new (std::nothrow) SimDismissedArgs(action.reason, action.unreadable ? action.code : S_OK);
        if (args == nullptr)
            return E_OUTOFMEMORY;
        event.args = Adopt<IInspectable>(args);
        break;
    }
    case VantuSimToastAuto_Fail:
    {
        event.kind = ToastEvent::Failed;
        auto* args = new (std::nothrow) SimFailedArgs(action.code);
        if (args == nullptr)
            return E_OUTOFMEMORY;
        event.args = Adopt<IInspectable>(args);
        break;
    }
    default:
        return E_INVALIDARG;
    }
    event.toast = std::move(entry->toast);  // the screen's reference now keeps the event's toast
    m_screen.erase(entry);
    m_changed.notify_all();
    return S_OK;
}

void Platform::EnqueueLocked(PendingEvent event)
{
    if (event.toast && (m_modes & VantuSimToastMode_FreshEventThreads))
    {
        // Threads seen to end are let go here, so the list stays short.
        m_freshThreads.erase(std::remove_if(m_freshThreads.begin(), m_freshThreads.end(),
                                            [](const Groundwork::ScopedHandle& thread) {
                                                return WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0;
                                            }),
                             m_freshThreads.end());
        // One thread per event, ending after it. It is counted in flight
        // before it can take the lock, so WaitIdle never misses it.
        auto* work = new FreshEvent{this, std::move(event)};  // the thread's once it starts
        Groundwork::ScopedHandle thread(CreateThread(nullptr, 0, &Platform::FreshEventThread, work, 0, nullptr));
        if (thread.valid())
        {
            ++m_inFlight;
            m_freshThreads.push_back(std::move(thread));
            m_changed.notify_all();
            return;
        }
        event = std::move(work->event);  // no thread: the dispatcher raises it
        delete work;
    }
    if (event.toast)
        m_events.push_back(std::move(event));
    if (!m_dispatcherStarted)
    {
        m_dispatcherStarted = true;
        std::thread(&Platform::DispatcherLoop, this).detach();
    }
    m_changed.notify_all();
}

void Platform::DispatcherLoop()
{
    // Platform threads of the notification platform live in the
    // multithreaded apartment.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;)
    {
        if (!m_events.empty())
        {
            PendingEvent event = std::move(m_events.front());
            m_events.pop_front();
            ++m_inFlight;
            lock.unlock();
            RaiseNow(event);
            lock.lock();
            continue;
        }
        if (!m_scheduled.empty() && m_scheduled.begin()->first <= Clock::now())
        {
            const VantuSimToastId id = m_scheduled.begin()->second;
            m_scheduled.erase(m_scheduled.begin());
            auto shown = std::find_if(m_screen.begin(), m_screen.end(),
                                      [id](const ScreenEntry& e) { return e.toast->Id() == id; });
            if (shown != m_screen.end() && m_auto.action != VantuSimToastAuto_Off)
                EndLocked(shown, m_auto);
            continue;
        }
        if (m_scheduled.empty())
            m_changed.wait(lock);
        else
            m_changed.wait_until(lock, m_scheduled.begin()->first);
    }
}

DWORD WINAPI Platform::FreshEventThread(void* work)
{
    const std::unique_ptr<FreshEvent> raised(static_cast<FreshEvent*>(work));
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        std::lock_guard<std::mutex> lock(raised->platform->m_lock);
        ++raised->platform->m_freshThreadEvents;
    }
    raised->platform->RaiseNow(raised->event);
    CoUninitialize();
    return 0;
}

bool Platform::WaitIdle(DWORD timeoutMs)
{
    if (t_raising)
        return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<Groundwork::ScopedHandle> threads;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (!m_changed.wait_until(lock, deadline, [&] { return m_events.empty() && m_inFlight == 0; }))
            return false;
        threads.swap(m_freshThreads);
    }
    // Every event is raised; the threads that raised them end too.
    bool ended = true;
    for (const Groundwork::ScopedHandle& thread : threads)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        ended = WaitForSingleObject(thread.get(), static_cast<DWORD>(std::max<long long>(left, 0))) == WAIT_OBJECT_0 &&
                ended;
    }
    return ended;
}

void Platform::SetAutoMode(const ToastAction& action, DWORD delayMs)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_auto = action;
    m_autoDelayMs = delayMs;
    if (action.action == VantuSimToastAuto_Off)
        m_scheduled.clear();
    m_changed.notify_all();
}

void Platform::Reset()
{
    std::vector<ScreenEntry> screen;
    std::deque<PendingEvent> events;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        screen.swap(m_screen);
        events.swap(m_events);
        m_scheduled.clear();
        m_auto = ToastAction{};
        m_modes = m_loadedModes;
        std::fill(std::begin(m_failures), std::end(m_failures), S_OK);
        m_changed.notify_all();
    }
    // The toasts are released here, outside the lock.
}

uint32_t Platform::SetModes(uint32_t modes)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const uint32_t previous = m_modes;
    m_modes = modes;
    return previous;
}

bool Platform::RequireShortcut(bool required)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const bool previous = m_requireShortcut;
    m_requireShortcut = required;
    return previous;
}

HRESULT Platform::ShortcutCheck()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_requireShortcut)
            return S_OK;
    }
    // A desktop program's toast needs its identity registered by a Start-menu
    // shortcut; Windows refuses (or silently drops) it otherwise.
    return StartMenuHoldsShortcut() ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

uint32_t Platform::FreshThreadEvents()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_freshThreadEvents;
}

}  // namespace VantuSim
