// Display and tracking: toast XML becomes a Windows toast notification of the
// application identity, with a named event for the host and three handlers,
// tracked under the host's ID until it ends or is dismissed.
#include <windows.h>
#include <objbase.h>
#include <roapi.h>
#include <winstring.h>

#include <vector>

#include <wrl/client.h>

#include "logging/Logger.h"
#include "VantuToast/PWHString.h"
#include "VantuToast/VantuActionHandlers.h"
#include "VantuToast/VantuToast.h"
#include "VantuToast/WinRtToastAbi.h"

using Microsoft::WRL::ComPtr;
using namespace ABI::Windows::Data::Xml::Dom;
using namespace ABI::Windows::UI::Notifications;

namespace {

constexpr wchar_t kLogModule[] = L"ToastDisplay";

// A reference to a literal runtime string. Creating one for a fixed literal
// cannot fail; if it ever does, that is a broken invariant, raised as a
// non-continuable structured exception carrying the HRESULT.
class StringReference
{
public:
    template <size_t N>
    explicit StringReference(const wchar_t (&literal)[N])
    {
        const HRESULT hr = WindowsCreateStringReference(literal, static_cast<UINT32>(N - 1), &m_header, &m_string);
        if (FAILED(hr))
            RaiseException(static_cast<DWORD>(hr), EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    HSTRING Get() const { return m_string; }

private:
    HSTRING_HEADER m_header{};
    HSTRING m_string = nullptr;
};

}  // namespace

std::wstring ToastEventName(const GUID& guid)
{
    std::wstring name = L"Global\\";
    LPOLESTR text = nullptr;
    if (SUCCEEDED(StringFromCLSID(guid, &text)) && text != nullptr)
        name += text;
    CoTaskMemFree(text);
    return name;
}

bool CVantuToast::ShowToastFromTemplate(int toastId, const std::wstring& templatePath, HANDLE* toastEvent)
{
    if (!ToastState::ToastInitialized)
    {
        VT_LOG(ERR) << "CVantuToast not initialized";
        return false;
    }
    const std::wstring xml = ReadTemplateFile(templatePath);
    if (xml.empty())
    {
        VT_LOG(ERR) << "Failed to retrieve XML template file contents";
        return false;
    }
    IVantuToast* self = this;  // through the virtual table, as a host would call
    return self->ShowToastFromXml(toastId, xml, toastEvent);
}

bool CVantuToast::ShowToastFromXml(int toastId, const std::wstring& xml, HANDLE* toastEvent)
{
    if (!ToastState::ToastInitialized)
    {
        VT_LOG(ERR) << "CVantuToast not initialized";
        return false;
    }
    if (xml.empty())
    {
        VT_LOG(ERR) << "XML template string is empty";
        return false;
    }
    ComPtr<IXmlDocument> document;
    if (!CreateXmlDocument(xml, &document))
        return false;
    if (!CreateAndShowToast(toastId, document.Get(), toastEvent))
    {
        VT_LOG(ERR) << "Failed to create toast";
        return false;
    }
    return true;
}

bool CVantuToast::CreateXmlDocument(const std::wstring& xml, IXmlDocument** document)
{
    static constexpr wchar_t kXmlDocumentClass[] = L"Windows.Data.Xml.Dom.XmlDocument";
    PWHString className(kXmlDocumentClass, static_cast<UINT32>(wcslen(kXmlDocumentClass)));
    if (className.IsNull())
    {
        VT_LOG(ERR) << "Failed to create xml class string";
        return false;
    }

    ComPtr<IXmlDocumentIO> documentIO;
    {
        ComPtr<IInspectable> instance;
        HRESULT hr = RoActivateInstance(className.Get(), &instance);
        if (SUCCEEDED(hr))
            hr = instance.As(&documentIO);
        if (FAILED(hr))
        {
            VT_LOG(ERR) << "ActivateInstance(IXmlDocumentIO) failed. Error: 0x" << std::hex << hr;
            return false;
        }
    }

    // The text ends at its first zero character, as a C string would.
    PWHString text(xml.c_str(), static_cast<UINT32>(wcsnlen(xml.c_str(), xml.size())));
    if (text.IsNull())
    {
        VT_LOG(ERR) << "Failed to create string from XML content";
        return false;
    }
    HRESULT hr = documentIO->LoadXml(text.Get());
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "xmlDoc->LoadXml failed. Error: 0x" << std::hex << hr;
        return false;
    }
    hr = documentIO.CopyTo(document);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "xmlDoc.CopyTo failed. Error: 0x" << std::hex << hr;
        return false;
    }
    return true;
}

bool CVantuToast::CreateToastNotifier(IToastNotifier** notifier)
{
    ComPtr<IToastNotificationManagerStatics> manager;
    HRESULT hr = RoGetActivationFactory(
        StringReference(L"Windows.UI.Notifications.ToastNotificationManager").Get(),
        __uuidof(IToastNotificationManagerStatics), &manager);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to GetActivationFactory. Error: 0x" << std::hex << hr;
        return false;
    }
    hr = manager->CreateToastNotifierWithId(StringReference(kToastAppId).Get(), notifier);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to create toast notifier. Error: 0x" << std::hex << hr;
        return false;
    }
    return true;
}

bool CVantuToast::CreateAndShowToast(int toastId, IXmlDocument* document, HANDLE* toastEvent)
{
    ComPtr<IToastNotifier> notifier;
    if (!CreateToastNotifier(&notifier))
    {
        VT_LOG(ERR) << "Failed to create toast. Could not create toast notifier.";
        return false;
    }

    ComPtr<IToastNotificationFactory> factory;
    HRESULT hr = RoGetActivationFactory(StringReference(L"Windows.UI.Notifications.ToastNotification").Get(),
                                        __uuidof(IToastNotificationFactory), &factory);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to get factory. Error: 0x" << std::hex << hr;
        return false;
    }
    ComPtr<IToastNotification> toast;
    hr = factory->CreateToastNotification(document, &toast);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to create toast notification. Error: 0x" << std::hex << hr;
        return false;
    }

    GUID guid{};
    if (FAILED(CoCreateGuid(&guid)))
    {
        VT_LOG(ERR) << "Error creating toast event GUID.";
        return false;
    }
    const std::wstring eventName = ToastEventName(guid);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, eventName.c_str());
    if (event == nullptr)
    {
        VT_LOG(ERR) << "Error creating Vantu toast event.";
        return false;
    }
    // The host owns the handle from here on, also when a later step fails.
    *toastEvent = event;

    if (!AttachToastHandlers(toast.Get(), toastId, eventName))
        return false;

    // Tracked before it is shown: the platform may end the toast (Failed,
    // Dismissed) on another thread before Show returns, and the handler's
    // untracking must find the entry then.
    ToastState::ToastRef previous;  // a replaced toast is released outside the lock
    {
        Groundwork::MutexLock guard(ToastState::TrackedToastsMutex);
        ToastState::ToastRef& entry = ToastState::TrackedToasts()[toastId];
        previous = std::move(entry);
        entry = toast;
    }
    if (FAILED(notifier->Show(toast.Get())))
    {
        // Not shown, so not tracked: the entry goes back to what it was,
        // unless something changed it meanwhile.
        Groundwork::MutexLock guard(ToastState::TrackedToastsMutex);
        auto entry = ToastState::TrackedToasts().find(toastId);
        if (entry != ToastState::TrackedToasts().end() && entry->second == toast)
        {
            if (previous)
                entry->second.Swap(previous);
            else
                ToastState::TrackedToasts().erase(entry);
        }
        return false;
    }
    return true;
}

bool CVantuToast::DismissToast(int toastId)
{
    ToastState::ToastRef toast;
    {
        Groundwork::MutexLock guard(ToastState::TrackedToastsMutex);
        auto entry = ToastState::TrackedToasts().find(toastId);
        if (entry != ToastState::TrackedToasts().end())
            toast = entry->second;
    }
    if (!toast)
    {
        VT_LOG(DBG) << "Vantu Toast is not being tracked -- could not dismiss. ID: " << toastId;
        return true;
    }
    // No lock across the platform's calls: Hide may raise Dismissed on this
    // thread, and its handler untracks the toast under the same lock.
    ComPtr<IToastNotifier> notifier;
    if (!CreateToastNotifier(&notifier))
    {
        VT_LOG(ERR) << "Failed to dismiss toast. Could not create notifier.";
        return false;
    }
    notifier->Hide(toast.Get());
    notifier.Reset();
    toast.Reset();
    IVantuToast* self = this;
    return self->StopTrackingToast(toastId);
}

bool CVantuToast::DismissAllToasts()
{
    std::vector<int> ids;
    {
        Groundwork::MutexLock guard(ToastState::TrackedToastsMutex);
        ids.reserve(ToastState::TrackedToasts().size());
        for (const auto& entry : ToastState::TrackedToasts())
            ids.push_back(entry.first);
    }
    IVantuToast* self = this;
    bool allDismissed = true;
    for (int id : ids)
        allDismissed = self->DismissToast(id) && allDismissed;
    return allDismissed;
}
