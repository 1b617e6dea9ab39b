#include "sim/toast/SimToast.h"

#include <new>

#include "sim/toast/SimXmlDocument.h"

using Microsoft::WRL::ComPtr;
using namespace ABI::Windows::UI::Notifications;
using ABI::Windows::Data::Xml::Dom::IXmlDocument;

namespace VantuSim {

// ---------------------------------------------------------------------------
// Toast
// ---------------------------------------------------------------------------
SimToast::SimToast(IXmlDocument* content) : m_content(content)
{
    Platform::Instance().toasts.Up();
    m_id = Platform::Instance().Register(this);
}

SimToast::~SimToast()
{
    // First, so that the control API never reads a toast being torn down.
    Platform::Instance().Unregister(m_id);
    Platform::Instance().toasts.Down();
}

std::wstring SimToast::Xml() const
{
    SimXmlDocument* document = SimXmlDocument::From(m_content.Get());
    return document != nullptr ? document->Xml() : std::wstring();
}

std::wstring SimToast::Launch() const
{
    SimXmlDocument* document = SimXmlDocument::From(m_content.Get());
    return document != nullptr ? document->Launch() : std::wstring();
}

template <typename Handler>
HRESULT SimToast::Add(VantuSimToastOperation operation, HandlerList<Handler>& list, Handler* handler,
                      EventRegistrationToken* token)
{
    HRESULT hr = Platform::Instance().TakeFailure(operation);
    if (FAILED(hr))
        return hr;
    if (handler == nullptr)
        return E_INVALIDARG;
    if (token == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_handlersLock);
    token->value = m_nextToken++;
    list.emplace_back(token->value, handler);
    return S_OK;
}

template <typename Handler>
HRESULT SimToast::Remove(HandlerList<Handler>& list, EventRegistrationToken token)
{
    ComPtr<Handler> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(m_handlersLock);
    for (auto it = list.begin(); it != list.end(); ++it)
    {
        if (it->first == token.value)
        {
            removed = std::move(it->second);
            list.erase(it);
            break;
        }
    }
    return S_OK;
}

namespace {

// Calls each handler as the platform does: through what a query of the
// handler for its delegate interface returns, never through the pointer
// add_* was given; a handler that does not answer the query is not called.
template <typename Handler, typename Args>
void InvokeEach(const std::vector<std::pair<int64_t, ComPtr<Handler>>>& handlers, IToastNotification* sender,
                Args* args)
{
    for (const auto& handler : handlers)
    {
        ComPtr<Handler> delegate;
        if (SUCCEEDED(handler.second.As(&delegate)))
            delegate->Invoke(sender, args);
    }
}

}  // namespace

void SimToast::Raise(ToastEvent kind, IInspectable* args)
{
    // Handlers registered at the moment the event is raised; called without
    // the lock so that they may add or remove handlers themselves.
    IToastNotification* sender = this;
    std::unique_lock<std::mutex> lock(m_handlersLock);
    switch (kind)
    {
    case ToastEvent::Activated:
    {
        HandlerList<VantuWinRt::ToastActivatedHandler> handlers = m_activated;
        lock.unlock();
        InvokeEach(handlers, sender, args);
        break;
    }
    case ToastEvent::Dismissed:
    {
        HandlerList<VantuWinRt::ToastDismissedHandler> handlers = m_dismissed;
        lock.unlock();
        InvokeEach(handlers, sender, static_cast<IToastDismissedEventArgs*>(SimDismissedArgs::From(args)));
        break;
    }
    case ToastEvent::Failed:
    {
        HandlerList<VantuWinRt::ToastFailedHandler> handlers = m_failed;
        lock.unlock();
        InvokeEach(handlers, sender, static_cast<IToastFailedEventArgs*>(SimFailedArgs::From(args)));
        break;
    }
    }
}

HRESULT SimToast::get_Content(IXmlDocument** value)
{
    if (value == nullptr)
        return E_POINTER;
    return m_content.CopyTo(value);
}

HRESULT SimToast::put_ExpirationTime(__FIReference_1_Windows__CFoundation__CDateTime*) { return E_NOTIMPL; }

HRESULT SimToast::get_ExpirationTime(__FIReference_1_Windows__CFoundation__CDateTime** value)
{
    if (value == nullptr)
        return E_POINTER;
    *value = nullptr;  // never expires
    return S_OK;
}

HRESULT SimToast::add_Dismissed(VantuWinRt::ToastDismissedHandler* handler, EventRegistrationToken* cookie)
{
    return Add(VantuSimToastOp_AddDismissed, m_dismissed, handler, cookie);
}

HRESULT SimToast::remove_Dismissed(EventRegistrationToken cookie) { return Remove(m_dismissed, cookie); }

HRESULT SimToast::add_Activated(VantuWinRt::ToastActivatedHandler* handler, EventRegistrationToken* cookie)
{
    return Add(VantuSimToastOp_AddActivated, m_activated, handler, cookie);
}

HRESULT SimToast::remove_Activated(EventRegistrationToken cookie) { return Remove(m_activated, cookie); }

HRESULT SimToast::add_Failed(VantuWinRt::ToastFailedHandler* handler, EventRegistrationToken* token)
{
    return Add(VantuSimToastOp_AddFailed, m_failed, handler, token);
}

HRESULT SimToast::remove_Failed(EventRegistrationToken token) { return Remove(m_failed, token); }

// ---------------------------------------------------------------------------
// Notifier
// ---------------------------------------------------------------------------
SimNotifier::SimNotifier(std::wstring appId) : m_appId(std::move(appId)) { Platform::Instance().notifiers.Up(); }

SimNotifier::~SimNotifier() { Platform::Instance().notifiers.Down(); }

HRESULT SimNotifier::Show(IToastNotification* notification)
{
    HRESULT hr = Platform::Instance().TakeFailure(VantuSimToastOp_Show);
    if (FAILED(hr))
        return hr;
    SimToast* toast = SimToast::FromExact(notification);
    if (toast == nullptr)
        return E_INVALIDARG;
    hr = Platform::Instance().ShortcutCheck();
    if (FAILED(hr))
        return hr;
    return Platform::Instance().Show(toast, m_appId);
}

HRESULT SimNotifier::Hide(IToastNotification* notification)
{
    HRESULT hr = Platform::Instance().TakeFailure(VantuSimToastOp_Hide);
    if (FAILED(hr))
        return hr;
    SimToast* toast = SimToast::FromExact(notification);
    if (toast == nullptr)
        return E_INVALIDARG;
    return Platform::Instance().Hide(toast, m_appId);
}

HRESULT SimNotifier::get_Setting(NotificationSetting* value)
{
    if (value == nullptr)
        return E_POINTER;
    *value = NotificationSetting_Enabled;
    return S_OK;
}

HRESULT SimNotifier::AddToSchedule(IScheduledToastNotification*) { return E_NOTIMPL; }
HRESULT SimNotifier::RemoveFromSchedule(IScheduledToastNotification*) { return E_NOTIMPL; }
HRESULT SimNotifier::GetScheduledToastNotifications(
    __FIVectorView_1_Windows__CUI__CNotifications__CScheduledToastNotification**)
{
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// Event arguments
// ---------------------------------------------------------------------------
SimActivatedArgs::SimActivatedArgs(std::wstring arguments, HRESULT readError)
    : m_arguments(std::move(arguments)), m_readError(readError)
{
    Platform::Instance().eventArgs.Up();
}

SimActivatedArgs::~SimActivatedArgs() { Platform::Instance().eventArgs.Down(); }

HRESULT SimActivatedArgs::RefuseInterface(REFIID iid)
{
    if (m_readError == E_NOINTERFACE && IsEqualIID(iid, __uuidof(IToastActivatedEventArgs)))
        return E_NOINTERFACE;
    return S_OK;
}

HRESULT SimActivatedArgs::get_Arguments(HSTRING* value)
{
    if (value == nullptr)
        return E_POINTER;
    *value = nullptr;
    if (FAILED(m_readError))
        return m_readError;
    return WindowsCreateString(m_arguments.c_str(), static_cast<UINT32>(m_arguments.size()), value);
}

SimDismissedArgs::SimDismissedArgs(int32_t reason, HRESULT readError) : m_reason(reason), m_readError(readError)
{
    Platform::Instance().eventArgs.Up();
}

SimDismissedArgs::~SimDismissedArgs() { Platform::Instance().eventArgs.Down(); }

HRESULT SimDismissedArgs::get_Reason(ToastDismissalReason* value)
{
    if (value == nullptr)
        return E_POINTER;
    if (FAILED(m_readError))
        return m_readError;
    *value = static_cast<ToastDismissalReason>(m_reason);
    return S_OK;
}

SimFailedArgs::SimFailedArgs(HRESULT errorCode) : m_errorCode(errorCode) { Platform::Instance().eventArgs.Up(); }

SimFailedArgs::~SimFailedArgs() { Platform::Instance().eventArgs.Down(); }

HRESULT SimFailedArgs::get_ErrorCode(HRESULT* value)
{
    if (value == nullptr)
        return E_POINTER;
    *value = m_errorCode;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Activation factories
// ---------------------------------------------------------------------------
namespace {

class XmlDocumentFactory final : public SimObject<XmlDocumentFactory, IActivationFactory>
{
public:
    static constexpr const wchar_t* kClassName = RuntimeClass_Windows_Data_Xml_Dom_XmlDocument;

    HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override
    {
        if (instance == nullptr)
            return E_POINTER;
        *instance = nullptr;
        HRESULT hr = Platform::Instance().TakeFailure(VantuSimToastOp_ActivateXmlDocument);
        if (FAILED(hr))
            return hr;
        auto* document = new (std::nothrow) SimXmlDocument();
        if (document == nullptr)
            return E_OUTOFMEMORY;
        *instance = static_cast<ABI::Windows::Data::Xml::Dom::IXmlDocumentIO*>(document);
        return S_OK;
    }

private:
    ~XmlDocumentFactory() override = default;
};

class ToastManagerFactory final
    : public SimObject<ToastManagerFactory, IActivationFactory, IToastNotificationManagerStatics>
{
public:
    static constexpr const wchar_t* kClassName = RuntimeClass_Windows_UI_Notifications_ToastNotificationManager;

    HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override
    {
        if (instance != nullptr)
            *instance = nullptr;
        return E_NOTIMPL;  // a static class
    }

    HRESULT STDMETHODCALLTYPE CreateToastNotifier(IToastNotifier** notifier) override
    {
        if (notifier == nullptr)
            return E_POINTER;
        *notifier = nullptr;
        HRESULT hr = Platform::Instance().TakeFailure(VantuSimToastOp_CreateToastNotifier);
        if (FAILED(hr))
            return hr;
        // A desktop program has no package identity to fall back on.
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }

    HRESULT STDMETHODCALLTYPE CreateToastNotifierWithId(HSTRING applicationId, IToastNotifier** notifier) override
    {
        if (notifier == nullptr)
            return E_POINTER;
        *notifier = nullptr;
        HRESULT hr = Platform::Instance().TakeFailure(VantuSimToastOp_CreateToastNotifier);
        if (FAILED(hr))
            return hr;
        UINT32 length = 0;
        const wchar_t* id = WindowsGetStringRawBuffer(applicationId, &length);
        if (length == 0)
            return E_INVALIDARG;
        auto* created = new (std::nothrow) SimNotifier(std::wstring(id, length));
        if (created == nullptr)
            return E_OUTOFMEMORY;
        *notifier = created;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetTemplateContent(ToastTemplateType, IXmlDocument** content) override
    {
        if (content != nullptr)
            *content = nullptr;
        return E_NOTIMPL;
    }

private:
    ~ToastManagerFactory() override = default;
};

class ToastFactory final : public SimObject<ToastFactory, IActivationFactory, IToastNotificationFactory>
{
public:
    static constexpr const wchar_t* kClassName = RuntimeClass_Windows_UI_Notifications_ToastNotification;

    HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override
    {
        if (instance != nullptr)
            *instance = nullptr;
        return E_NOTIMPL;  // needs content: IToastNotificationFactory
    }

    HRESULT STDMETHODCALLTYPE CreateToastNotification(IXmlDocument* content,
                                                      IToastNotification** notification) override
    {
        if (notification == nullptr)
            return E_POINTER;
        *notification = nullptr;
        HRESULT hr = Platform::Instance().TakeFailure(VantuSimToastOp_CreateToastNotification);
        if (FAILED(hr))
            return hr;
        SimXmlDocument* document = SimXmlDocument::FromExact(content);
        if (document == nullptr || !document->Loaded())
            return E_INVALIDARG;
        auto* toast = new (std::nothrow) SimToast(content);
        if (toast == nullptr)
            return E_OUTOFMEMORY;
        *notification = toast;
        return S_OK;
    }

private:
    ~ToastFactory() override = default;
};

template <typename Factory>
HRESULT Create(IActivationFactory** factory)
{
    auto* created = new (std::nothrow) Factory();
    if (created == nullptr)
        return E_OUTOFMEMORY;
    *factory = created;
    return S_OK;
}

}  // namespace

HRESULT GetActivationFactory(HSTRING classId, IActivationFactory** factory)
{
    if (factory == nullptr)
        return E_POINTER;
    *factory = nullptr;
    const wchar_t* name = WindowsGetStringRawBuffer(classId, nullptr);
    Platform& platform = Platform::Instance();
    if (wcscmp(name, RuntimeClass_Windows_Data_Xml_Dom_XmlDocument) == 0)
        return Create<XmlDocumentFactory>(factory);
    if (wcscmp(name, RuntimeClass_Windows_UI_Notifications_ToastNotificationManager) == 0)
    {
        HRESULT hr = platform.TakeFailure(VantuSimToastOp_GetManagerFactory);
        return FAILED(hr) ? hr : Create<ToastManagerFactory>(factory);
    }
    if (wcscmp(name, RuntimeClass_Windows_UI_Notifications_ToastNotification) == 0)
    {
        HRESULT hr = platform.TakeFailure(VantuSimToastOp_GetToastFactory);
        return FAILED(hr) ? hr : Create<ToastFactory>(factory);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace VantuSim
