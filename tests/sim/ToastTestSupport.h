// Helpers for tests that drive the toast classes through the Windows
// Runtime, exactly as the library does: activation by class name, then
// the ABI interfaces of VantuToast/WinRtToastAbi.h.
#pragma once

#include <windows.h>
#include <roapi.h>
#include <winstring.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "VantuToast/WinRtToastAbi.h"

namespace SimTest {

using Microsoft::WRL::ComPtr;
using ABI::Windows::Data::Xml::Dom::IXmlDocument;
using ABI::Windows::Data::Xml::Dom::IXmlDocumentIO;
using ABI::Windows::UI::Notifications::IToastActivatedEventArgs;
using ABI::Windows::UI::Notifications::IToastDismissedEventArgs;
using ABI::Windows::UI::Notifications::IToastFailedEventArgs;
using ABI::Windows::UI::Notifications::IToastNotification;
using ABI::Windows::UI::Notifications::IToastNotificationFactory;
using ABI::Windows::UI::Notifications::IToastNotificationManagerStatics;
using ABI::Windows::UI::Notifications::IToastNotifier;

class HStr
{
public:
    explicit HStr(const std::wstring& text)
    {
        if (FAILED(WindowsCreateString(text.c_str(), static_cast<UINT32>(text.size()), &m_value)))
            m_value = nullptr;
    }
    ~HStr() { WindowsDeleteString(m_value); }
    HStr(const HStr&) = delete;
    HStr& operator=(const HStr&) = delete;
    HSTRING Get() const { return m_value; }

private:
    HSTRING m_value = nullptr;
};

inline std::wstring ToWide(HSTRING value)
{
    UINT32 length = 0;
    const wchar_t* raw = WindowsGetStringRawBuffer(value, &length);
    return std::wstring(raw, length);
}

// RoActivateInstance + IXmlDocumentIO::LoadXml; the HRESULT of the first
// step that fails.
inline HRESULT LoadDocument(const std::wstring& xml, ComPtr<IXmlDocument>& document)
{
    HStr className(RuntimeClass_Windows_Data_Xml_Dom_XmlDocument);
    ComPtr<IInspectable> instance;
    HRESULT hr = RoActivateInstance(className.Get(), &instance);
    if (FAILED(hr))
        return hr;
    ComPtr<IXmlDocumentIO> io;
    hr = instance.As(&io);
    if (FAILED(hr))
        return hr;
    HStr text(xml);
    hr = io->LoadXml(text.Get());
    if (FAILED(hr))
        return hr;
    return io.As(&document);
}

inline HRESULT CreateNotifier(const std::wstring& appId, ComPtr<IToastNotifier>& notifier)
{
    HStr className(RuntimeClass_Windows_UI_Notifications_ToastNotificationManager);
    ComPtr<IToastNotificationManagerStatics> statics;
    HRESULT hr = RoGetActivationFactory(className.Get(), __uuidof(IToastNotificationManagerStatics), &statics);
    if (FAILED(hr))
        return hr;
    HStr id(appId);
    return statics->CreateToastNotifierWithId(id.Get(), &notifier);
}

inline HRESULT CreateToast(IXmlDocument* document, ComPtr<IToastNotification>& toast)
{
    HStr className(RuntimeClass_Windows_UI_Notifications_ToastNotification);
    ComPtr<IToastNotificationFactory> factory;
    HRESULT hr = RoGetActivationFactory(className.Get(), __uuidof(IToastNotificationFactory), &factory);
    if (FAILED(hr))
        return hr;
    return factory->CreateToastNotification(document, &toast);
}

// One raised event as a handler saw it.
struct EventRecord
{
    enum Kind { Activated, Dismissed, Failed } kind = Activated;
    DWORD threadId = 0;
    IToastNotification* sender = nullptr;  // not counted: compare only
    std::wstring tag;                      // of the handler that recorded it
    HRESULT readResult = S_OK;             // reading the argument
    std::wstring arguments;
    int32_t reason = -1;
    HRESULT errorCode = S_OK;
};

class EventLog
{
public:
    void Add(EventRecord record)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_records.push_back(std::move(record));
        m_changed.notify_all();
    }

    // Waits until at least count events were recorded; generous bound.
    bool WaitFor(size_t count, std::chrono::milliseconds bound = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, bound, [&] { return m_records.size() >= count; });
    }

    std::vector<EventRecord> Records()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_records;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<EventRecord> m_records;
};

// Live handler objects of the tests, to see that the platform releases
// every handler it was given.
inline std::atomic<int>& LiveHandlers()
{
    static std::atomic<int> count{0};
    return count;
}

inline void Read(IInspectable* args, EventRecord& record)
{
    record.kind = EventRecord::Activated;
    ComPtr<IToastActivatedEventArgs> activated;
    record.readResult = args != nullptr ? args->QueryInterface(__uuidof(IToastActivatedEventArgs),
                                                               reinterpret_cast<void**>(activated.GetAddressOf()))
                                        : E_POINTER;
    if (FAILED(record.readResult))
        return;
    HSTRING value = nullptr;
    record.readResult = activated->get_Arguments(&value);
    record.arguments = ToWide(value);
    WindowsDeleteString(value);
}

inline void Read(IToastDismissedEventArgs* args, EventRecord& record)
{
    record.kind = EventRecord::Dismissed;
    ABI::Windows::UI::Notifications::ToastDismissalReason reason{};
    record.readResult = args->get_Reason(&reason);
    if (SUCCEEDED(record.readResult))
        record.reason = static_cast<int32_t>(reason);
}

inline void Read(IToastFailedEventArgs* args, EventRecord& record)
{
    record.kind = EventRecord::Failed;
    record.readResult = args->get_ErrorCode(&record.errorCode);
}

// A counted delegate that records every call in a log.
template <typename Interface, typename Args>
class RecordingHandler final : public Interface
{
public:
    static ComPtr<Interface> Create(EventLog& log, std::wstring tag = L"")
    {
        // Not ComPtr::Attach: mingw-w64's adds a reference.
        ComPtr<Interface> handler;
        *handler.GetAddressOf() = new RecordingHandler(log, std::move(tag));
        return handler;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IAgileObject)) ||
            IsEqualIID(iid, __uuidof(Interface)))
        {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE Invoke(IToastNotification* sender, Args* args) override
    {
        EventRecord record;
        Read(args, record);
        record.threadId = GetCurrentThreadId();
        record.sender = sender;
        record.tag = m_tag;
        m_log.Add(std::move(record));
        return S_OK;
    }

private:
    RecordingHandler(EventLog& log, std::wstring tag) : m_log(log), m_tag(std::move(tag)) { ++LiveHandlers(); }
    ~RecordingHandler() { --LiveHandlers(); }

    std::atomic<ULONG> m_refs{1};
    EventLog& m_log;
    const std::wstring m_tag;
};

using ActivatedRecorder = RecordingHandler<VantuWinRt::ToastActivatedHandler, IInspectable>;
using DismissedRecorder = RecordingHandler<VantuWinRt::ToastDismissedHandler, IToastDismissedEventArgs>;
using FailedRecorder = RecordingHandler<VantuWinRt::ToastFailedHandler, IToastFailedEventArgs>;

// Adds a recorder for each of the three events.
inline HRESULT AddRecorders(IToastNotification* toast, EventLog& log, const std::wstring& tag = L"")
{
    EventRegistrationToken token{};
    HRESULT hr = toast->add_Activated(ActivatedRecorder::Create(log, tag).Get(), &token);
    if (SUCCEEDED(hr))
        hr = toast->add_Dismissed(DismissedRecorder::Create(log, tag).Get(), &token);
    if (SUCCEEDED(hr))
        hr = toast->add_Failed(FailedRecorder::Create(log, tag).Get(), &token);
    return hr;
}

}  // namespace SimTest
