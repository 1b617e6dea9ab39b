// The three toast event handlers. They run on threads of the notification
// platform: each signals the toast's named event first, works out what
// happened, and stops tracking the toast through the process-wide table (the
// host may have released the object that showed the toast long ago).
#include "VantuToast/VantuActionHandlers.h"

#include <winstring.h>

#include <atomic>
#include <exception>
#include <sstream>

#include <wrl/client.h>

#include "includes/ui_host_module_ipc_client.h"
#include "logging/Logger.h"
#include "platform/ScopedHandle.h"
#include "VantuToast/ModuleLifetime.h"
#include "VantuToast/PWHString.h"
#include "VantuToast/VantuToast.h"
#include "VantuToast/WinRtToastAbi.h"

using Microsoft::WRL::ComPtr;
using namespace ABI::Windows::UI::Notifications;

namespace {

constexpr wchar_t kLogModule[] = L"VantuActionHandlers";

// What a handler learned about its toast.
struct Outcome
{
    std::string status;
    std::string argument;
};

// Opens the toast's event by name and sets it; the host's wait ends here.
void SignalToastEvent(const std::wstring& eventName)
{
    const Groundwork::ScopedHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()));
    if (!event.valid() || !SetEvent(event.get()))
        VT_LOG(ERR) << "Failed to open and set toast event: " << GetLastError();
}

// Sends the toast's result record to the UI host of the active session. A
// failure is logged; the handler carries on and untracks the toast.
void ReportOutcome(const Outcome& outcome, int toastId, const wchar_t* handlerName, const char* sendFailure)
{
    try
    {
        JsonDocument record = BuildToastResultRecord(outcome.status, outcome.argument, toastId);
        if (!UIClient::Instance().TriggerHubEvent(record))
            VT_LOG(ERR) << sendFailure;
    }
    catch (const std::exception& e)
    {
        VT_LOG(ERR) << handlerName << " exception: " << e.what();
    }
    catch (...)
    {
        VT_LOG(ERR) << handlerName << " unknown exception";
    }
}

// A counted, agile delegate object. The platform owns it through the
// reference it took in add_*; nothing here unregisters it.
template <typename Interface, typename Args>
class ToastHandler final : public Interface, public IAgileObject
{
public:
    using Body = Outcome (*)(Args* args, const wchar_t* handlerName);

    ToastHandler(Body body, const wchar_t* handlerName, const char* sendFailure, int toastId,
                 std::wstring eventName)
        : m_body(body),
          m_handlerName(handlerName),
          m_sendFailure(sendFailure),
          m_toastId(toastId),
          m_eventName(std::move(eventName))
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface))
            *object = static_cast<Interface*>(this);
        else if (iid == __uuidof(IAgileObject))
            *object = static_cast<IAgileObject*>(this);
        else
        {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG remaining = --m_references;
        if (remaining == 0)
            delete this;
        return remaining;
    }

    HRESULT STDMETHODCALLTYPE Invoke(IToastNotification* /*sender*/, Args* args) override
    {
        // Nothing may cross back into the platform as an exception.
        try
        {
            SignalToastEvent(m_eventName);
            const Outcome outcome = m_body(args, m_handlerName);
            ReportOutcome(outcome, m_toastId, m_handlerName, m_sendFailure);
        }
        catch (const std::exception& e)
        {
            VT_LOG(ERR) << m_handlerName << " exception: " << e.what();
        }
        catch (...)
        {
            VT_LOG(ERR) << m_handlerName << " unknown exception";
        }
        ToastState::StopTracking(m_toastId);
        return S_OK;
    }

private:
    ~ToastHandler() = default;

    std::atomic<ULONG> m_references{1};
    Body m_body;
    const wchar_t* m_handlerName;
    const char* m_sendFailure;
    int m_toastId;
    std::wstring m_eventName;
};

Outcome ActivatedOutcome(IInspectable* args, const wchar_t* handlerName)
{
    HSTRING arguments = nullptr;
    ComPtr<IToastActivatedEventArgs> activated;
    if (args == nullptr || FAILED(args->QueryInterface(IID_PPV_ARGS(&activated))) ||
        FAILED(activated->get_Arguments(&arguments)))
    {
        VT_LOG(INF) << "Vantu toast has been clicked, but retrieving event arguments failed";
        arguments = nullptr;
    }
    Outcome outcome{"Activated", ""};
    try
    {
        UINT32 length = 0;
        const wchar_t* raw = WindowsGetStringRawBuffer(arguments, &length);
        if (!WideToUtf8(std::wstring_view(raw, length), outcome.argument))
            VT_LOG(ERR) << "Failed to convert wide string to string";
    }
    catch (const std::exception& e)
    {
        VT_LOG(ERR) << handlerName << " exception: " << e.what();
    }
    catch (...)
    {
        VT_LOG(ERR) << handlerName << " unknown exception";
    }
    WindowsDeleteString(arguments);
    return outcome;
}

Outcome DismissedOutcome(IToastDismissedEventArgs* args, const wchar_t* /*handlerName*/)
{
    ToastDismissalReason reason = ToastDismissalReason_UserCanceled;
    if (args == nullptr || FAILED(args->get_Reason(&reason)))
        return Outcome{"Dismissed", ""};
    return Outcome{"Dismissed", DismissalReasonText(static_cast<int>(reason))};
}

Outcome FailedOutcome(IToastFailedEventArgs* args, const wchar_t* /*handlerName*/)
{
    HRESULT code = E_POINTER;
    if (args != nullptr)
    {
        // A failed read reports its own HRESULT, never an undefined value.
        const HRESULT readResult = args->get_ErrorCode(&code);
        if (FAILED(readResult))
            code = readResult;
    }
    Outcome outcome{"Failed", ToastErrorText(code)};
    VT_LOG(ERR) << "Vantu toast failed. Error code: " << outcome.argument;
    return outcome;
}

using ActivatedHandler = ToastHandler<VantuWinRt::ToastActivatedHandler, IInspectable>;
using DismissedHandler = ToastHandler<VantuWinRt::ToastDismissedHandler, IToastDismissedEventArgs>;
using FailedHandler = ToastHandler<VantuWinRt::ToastFailedHandler, IToastFailedEventArgs>;

// Takes over the single reference of a new handler. (mingw-w64's
// ComPtr::Attach adds a reference of its own, so it is not used here.)
template <typename Handler>
ComPtr<Handler> Adopt(Handler* handler)
{
    ComPtr<Handler> owned;
    *owned.GetAddressOf() = handler;
    return owned;
}

}  // namespace

const char* DismissalReasonText(int reason)
{
    switch (reason)
    {
    case ToastDismissalReason_UserCanceled: return "UserCanceled";
    case ToastDismissalReason_ApplicationHidden: return "ApplicationHidden";
    case ToastDismissalReason_TimedOut: return "TimedOut";
    default: return "NotActivated";
    }
}

JsonDocument BuildToastResultRecord(const std::string& status, const std::string& argument, int toastId)
{
    JsonDocument record(rapidjson::kObjectType);
    JsonDocument::AllocatorType& allocator = record.GetAllocator();
    record.AddMember("Status", JsonValue(status.data(), static_cast<rapidjson::SizeType>(status.size()), allocator),
                     allocator);
    record.AddMember("Argument",
                     JsonValue(argument.data(), static_cast<rapidjson::SizeType>(argument.size()), allocator),
                     allocator);
    record.AddMember("ID", JsonValue(toastId), allocator);
    return record;
}

std::string ToastErrorText(HRESULT errorCode)
{
    std::ostringstream text;
    text << "The toast encountered an error: 0x" << std::hex << static_cast<uint32_t>(errorCode);
    return text.str();
}

bool AttachToastHandlers(IToastNotification* toast, int toastId,
                         const std::wstring& eventName)
{
    // The platform holds these handlers, and calls them, after the host
    // unloaded the library; it stays for good once they exist.
    ModuleLifetime::Pin();
    EventRegistrationToken token{};

    auto onActivate = Adopt(new ActivatedHandler(&ActivatedOutcome, L"OnActivate", "Failed to send toast activated event",
                                                    toastId, eventName));
    HRESULT hr = toast->add_Activated(onActivate.Get(), &token);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to add toast activated event handler. Error: 0x" << std::hex << hr;
        return false;
    }
    auto onDismissed = Adopt(new DismissedHandler(&DismissedOutcome, L"OnDismissed", "Failed to send toast dismissed event",
                                                     toastId, eventName));
    hr = toast->add_Dismissed(onDismissed.Get(), &token);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to add toast dismissed event handler. Error: 0x" << std::hex << hr;
        return false;
    }
    auto onFailed = Adopt(new FailedHandler(&FailedOutcome, L"OnFailed", "Failed to send toast failed event", toastId,
                                               eventName));
    hr = toast->add_Failed(onFailed.Get(), &token);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to add toast failed event handler. Error: 0x" << std::hex << hr;
        return false;
    }
    return true;
}
