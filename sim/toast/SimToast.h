// Windows.UI.Notifications classes of the stand-in: the toast, its notifier,
// the event arguments and the activation factories.
#pragma once

#include <activation.h>
#include <wrl/client.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "VantuToast/WinRtToastAbi.h"
#include "sim/toast/SimObject.h"
#include "sim/toast/SimPlatform.h"

namespace VantuSim {

class SimToast final : public SimObject<SimToast, ABI::Windows::UI::Notifications::IToastNotification>
{
public:
    static constexpr const wchar_t* kClassName = RuntimeClass_Windows_UI_Notifications_ToastNotification;

    explicit SimToast(ABI::Windows::Data::Xml::Dom::IXmlDocument* content);

    VantuSimToastId Id() const { return m_id; }
    // Identity of the notifier that last showed it; guarded by the
    // platform's lock.
    const std::wstring& ShownAs() const { return m_shownAs; }
    void SetShownAs(const std::wstring& appId) { m_shownAs = appId; }
    std::wstring Xml() const;
    std::wstring Launch() const;

    // Calls every handler of that event registered now, on the calling
    // thread (the platform thread).
    void Raise(ToastEvent kind, IInspectable* args);

    // IToastNotification
    HRESULT STDMETHODCALLTYPE get_Content(ABI::Windows::Data::Xml::Dom::IXmlDocument** value) override;
    HRESULT STDMETHODCALLTYPE put_ExpirationTime(__FIReference_1_Windows__CFoundation__CDateTime* value) override;
    HRESULT STDMETHODCALLTYPE get_ExpirationTime(__FIReference_1_Windows__CFoundation__CDateTime** value) override;
    HRESULT STDMETHODCALLTYPE add_Dismissed(VantuWinRt::ToastDismissedHandler* handler,
                                            EventRegistrationToken* cookie) override;
    HRESULT STDMETHODCALLTYPE remove_Dismissed(EventRegistrationToken cookie) override;
    HRESULT STDMETHODCALLTYPE add_Activated(VantuWinRt::ToastActivatedHandler* handler,
                                            EventRegistrationToken* cookie) override;
    HRESULT STDMETHODCALLTYPE remove_Activated(EventRegistrationToken cookie) override;
    HRESULT STDMETHODCALLTYPE add_Failed(VantuWinRt::ToastFailedHandler* handler,
                                         EventRegistrationToken* token) override;
    HRESULT STDMETHODCALLTYPE remove_Failed(EventRegistrationToken token) override;

private:
    template <typename Handler>
    using HandlerList = std::vector<std::pair<int64_t, Microsoft::WRL::ComPtr<Handler>>>;

    ~SimToast() override;

    template <typename Handler>
    HRESULT Add(VantuSimToastOperation operation, HandlerList<Handler>& list, Handler* handler,
                EventRegistrationToken* token);
    template <typename Handler>
    HRESULT Remove(HandlerList<Handler>& list, EventRegistrationToken token);

    Microsoft::WRL::ComPtr<ABI::Windows::Data::Xml::Dom::IXmlDocument> m_content;
    VantuSimToastId m_id = 0;
    std::wstring m_shownAs;

    std::mutex m_handlersLock;
    int64_t m_nextToken = 1;
    HandlerList<VantuWinRt::ToastActivatedHandler> m_activated;
    HandlerList<VantuWinRt::ToastDismissedHandler> m_dismissed;
    HandlerList<VantuWinRt::ToastFailedHandler> m_failed;
};

class SimNotifier final : public SimObject<SimNotifier, ABI::Windows::UI::Notifications::IToastNotifier>
{
public:
    static constexpr const wchar_t* kClassName = RuntimeClass_Windows_UI_Notifications_ToastNotifier;

    explicit SimNotifier(std::wstring appId);

    HRESULT STDMETHODCALLTYPE Show(ABI::Windows::UI::Notifications::IToastNotification* notification) override;
    HRESULT STDMETHODCALLTYPE Hide(ABI::Windows::UI::Notifications::IToastNotification* notification) override;
    HRESULT STDMETHODCALLTYPE get_Setting(ABI::Windows::UI::Notifications::NotificationSetting* value) override;
    HRESULT STDMETHODCALLTYPE AddToSchedule(ABI::Windows::UI::Notifications::IScheduledToastNotification*) override;
    HRESULT STDMETHODCALLTYPE RemoveFromSchedule(
        ABI::Windows::UI::Notifications::IScheduledToastNotification*) override;
    HRESULT STDMETHODCALLTYPE GetScheduledToastNotifications(
        __FIVectorView_1_Windows__CUI__CNotifications__CScheduledToastNotification**) override;

private:
    ~SimNotifier() override;

    const std::wstring m_appId;
};

class SimActivatedArgs final
    : public SimObject<SimActivatedArgs, ABI::Windows::UI::Notifications::IToastActivatedEventArgs>
{
public:
    static constexpr const wchar_t* kClassName = RuntimeClass_Windows_UI_Notifications_ToastActivatedEventArgs;

    // readError: S_OK, E_NOINTERFACE (the interface is refused) or the
    // failure get_Arguments returns.
    SimActivatedArgs(std::wstring arguments, HRESULT readError);
    HRESULT RefuseInterface(REFIID iid);
    HRESULT STDMETHODCALLTYPE get_Arguments(HSTRING* value) override;

private:
    ~SimActivatedArgs() override;

    const std::wstring m_arguments;
    const HRESULT m_readError;
};

class SimDismissedArgs final
    : public SimObject<SimDismissedArgs, ABI::Windows::UI::Notifications::IToastDismissedEventArgs>
{
public:
    static constexpr const wchar_t* kClassName = RuntimeClass_Windows_UI_Notifications_ToastDismissedEventArgs;

    SimDismissedArgs(int32_t reason, HRESULT readError);
    HRESULT STDMETHODCALLTYPE get_Reason(ABI::Windows::UI::Notifications::ToastDismissalReason* value) override;

private:
    ~SimDismissedArgs() override;

    const int32_t m_reason;
    const HRESULT m_readError;
};

class SimFailedArgs final : public SimObject<SimFailedArgs, ABI::Windows::UI::Notifications::IToastFailedEventArgs>
{
public:
    static constexpr const wchar_t* kClassName = RuntimeClass_Windows_UI_Notifications_ToastFailedEventArgs;

    explicit SimFailedArgs(HRESULT errorCode);
    HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* value) override;

private:
    ~SimFailedArgs() override;

    const HRESULT m_errorCode;
};

// DllGetActivationFactory of the stand-in.
HRESULT GetActivationFactory(HSTRING classId, IActivationFactory** factory);

}  // namespace VantuSim
