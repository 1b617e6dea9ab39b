// ABI declarations of the Windows Runtime toast classes the library calls:
// Windows.Data.Xml.Dom.XmlDocument and Windows.UI.Notifications.*.
//
// mingw-w64 ships no header for these namespaces, so this file declares
// exactly the interfaces we use, under the names, IIDs and virtual-table
// order of the Windows SDK metadata. The operating system's objects are
// called through these declarations, so the slot order is a binary contract:
// never reorder, insert or drop a method, even one nobody calls.
//
// Each declaration sits behind the SDK's own include guard, and a system
// header that provides the namespace is included first when the toolchain
// has one, so the two never clash: whatever the system declares wins.
#pragma once

#include <windows.h>
#include <inspectable.h>
#include <eventtoken.h>

#if defined(__has_include)
#if __has_include(<windows.data.xml.dom.h>)
#include <windows.data.xml.dom.h>
#endif
#if __has_include(<windows.ui.notifications.h>)
#include <windows.ui.notifications.h>
#endif
#endif

// __uuidof() for interfaces declared here; MSVC reads the uuid from
// MIDL_INTERFACE itself.
#if defined(__CRT_UUID_DECL)
#define VANTU_WINRT_UUID(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
#else
#define VANTU_WINRT_UUID(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
#endif

// ---------------------------------------------------------------------------
// Runtime class names.
// ---------------------------------------------------------------------------
#ifndef RUNTIMECLASS_Windows_Data_Xml_Dom_XmlDocument_DEFINED
#define RUNTIMECLASS_Windows_Data_Xml_Dom_XmlDocument_DEFINED
static const WCHAR RuntimeClass_Windows_Data_Xml_Dom_XmlDocument[] = L"Windows.Data.Xml.Dom.XmlDocument";
#endif
#ifndef RUNTIMECLASS_Windows_UI_Notifications_ToastNotificationManager_DEFINED
#define RUNTIMECLASS_Windows_UI_Notifications_ToastNotificationManager_DEFINED
static const WCHAR RuntimeClass_Windows_UI_Notifications_ToastNotificationManager[] =
    L"Windows.UI.Notifications.ToastNotificationManager";
#endif
#ifndef RUNTIMECLASS_Windows_UI_Notifications_ToastNotification_DEFINED
#define RUNTIMECLASS_Windows_UI_Notifications_ToastNotification_DEFINED
static const WCHAR RuntimeClass_Windows_UI_Notifications_ToastNotification[] =
    L"Windows.UI.Notifications.ToastNotification";
#endif
#ifndef RUNTIMECLASS_Windows_UI_Notifications_ToastNotifier_DEFINED
#define RUNTIMECLASS_Windows_UI_Notifications_ToastNotifier_DEFINED
static const WCHAR RuntimeClass_Windows_UI_Notifications_ToastNotifier[] = L"Windows.UI.Notifications.ToastNotifier";
#endif
#ifndef RUNTIMECLASS_Windows_UI_Notifications_ToastActivatedEventArgs_DEFINED
#define RUNTIMECLASS_Windows_UI_Notifications_ToastActivatedEventArgs_DEFINED
static const WCHAR RuntimeClass_Windows_UI_Notifications_ToastActivatedEventArgs[] =
    L"Windows.UI.Notifications.ToastActivatedEventArgs";
#endif
#ifndef RUNTIMECLASS_Windows_UI_Notifications_ToastDismissedEventArgs_DEFINED
#define RUNTIMECLASS_Windows_UI_Notifications_ToastDismissedEventArgs_DEFINED
static const WCHAR RuntimeClass_Windows_UI_Notifications_ToastDismissedEventArgs[] =
    L"Windows.UI.Notifications.ToastDismissedEventArgs";
#endif
#ifndef RUNTIMECLASS_Windows_UI_Notifications_ToastFailedEventArgs_DEFINED
#define RUNTIMECLASS_Windows_UI_Notifications_ToastFailedEventArgs_DEFINED
static const WCHAR RuntimeClass_Windows_UI_Notifications_ToastFailedEventArgs[] =
    L"Windows.UI.Notifications.ToastFailedEventArgs";
#endif

// ---------------------------------------------------------------------------
// Types that appear only in slots nobody here calls: forward declarations.
// ---------------------------------------------------------------------------
namespace ABI {
namespace Windows {
namespace Foundation {
#ifndef ____x_ABI_CWindows_CFoundation_CIAsyncAction_FWD_DEFINED__
#define ____x_ABI_CWindows_CFoundation_CIAsyncAction_FWD_DEFINED__
struct IAsyncAction;
#endif
}  // namespace Foundation
namespace Storage {
#ifndef ____x_ABI_CWindows_CStorage_CIStorageFile_FWD_DEFINED__
#define ____x_ABI_CWindows_CStorage_CIStorageFile_FWD_DEFINED__
struct IStorageFile;
#endif
}  // namespace Storage
namespace Data {
namespace Xml {
namespace Dom {
struct IXmlAttribute;
struct IXmlCDataSection;
struct IXmlComment;
struct IXmlDocument;
struct IXmlDocumentFragment;
struct IXmlDocumentType;
struct IXmlDomImplementation;
struct IXmlElement;
struct IXmlEntityReference;
struct IXmlLoadSettings;
struct IXmlNode;
struct IXmlNodeList;
struct IXmlProcessingInstruction;
struct IXmlText;
}  // namespace Dom
}  // namespace Xml
}  // namespace Data
namespace UI {
namespace Notifications {
struct IScheduledToastNotification;
struct IToastNotification;
struct IToastNotifier;
}  // namespace Notifications
}  // namespace UI
}  // namespace Windows
}  // namespace ABI

#ifndef ____FIReference_1_Windows__CFoundation__CDateTime_FWD_DEFINED__
#define ____FIReference_1_Windows__CFoundation__CDateTime_FWD_DEFINED__
struct __FIReference_1_Windows__CFoundation__CDateTime;  // IReference<DateTime>
#endif
#ifndef ____FIVectorView_1_Windows__CUI__CNotifications__CScheduledToastNotification_FWD_DEFINED__
#define ____FIVectorView_1_Windows__CUI__CNotifications__CScheduledToastNotification_FWD_DEFINED__
struct __FIVectorView_1_Windows__CUI__CNotifications__CScheduledToastNotification;  // IVectorView<ScheduledToastNotification>
#endif

// ---------------------------------------------------------------------------
// Enumerations.
// ---------------------------------------------------------------------------
namespace ABI {
namespace Windows {
namespace UI {
namespace Notifications {

#ifndef ____x_ABI_CWindows_CUI_CNotifications_CToastDismissalReason_ENUM_DEFINED__
#define ____x_ABI_CWindows_CUI_CNotifications_CToastDismissalReason_ENUM_DEFINED__
enum ToastDismissalReason : int
{
    ToastDismissalReason_UserCanceled = 0,
    ToastDismissalReason_ApplicationHidden = 1,
    ToastDismissalReason_TimedOut = 2,
};
#endif

#ifndef ____x_ABI_CWindows_CUI_CNotifications_CNotificationSetting_ENUM_DEFINED__
#define ____x_ABI_CWindows_CUI_CNotifications_CNotificationSetting_ENUM_DEFINED__
enum NotificationSetting : int
{
    NotificationSetting_Enabled = 0,
    NotificationSetting_DisabledForApplication = 1,
    NotificationSetting_DisabledForUser = 2,
    NotificationSetting_DisabledByGroupPolicy = 3,
    NotificationSetting_DisabledByManifest = 4,
};
#endif

#ifndef ____x_ABI_CWindows_CUI_CNotifications_CToastTemplateType_ENUM_DEFINED__
#define ____x_ABI_CWindows_CUI_CNotifications_CToastTemplateType_ENUM_DEFINED__
enum ToastTemplateType : int
{
    ToastTemplateType_ToastImageAndText01 = 0,
    ToastTemplateType_ToastImageAndText02 = 1,
    ToastTemplateType_ToastImageAndText03 = 2,
    ToastTemplateType_ToastImageAndText04 = 3,
    ToastTemplateType_ToastText01 = 4,
    ToastTemplateType_ToastText02 = 5,
    ToastTemplateType_ToastText03 = 6,
    ToastTemplateType_ToastText04 = 7,
};
#endif

}  // namespace Notifications
}  // namespace UI
}  // namespace Windows
}  // namespace ABI

// ---------------------------------------------------------------------------
// Windows.Data.Xml.Dom
// ---------------------------------------------------------------------------
namespace ABI {
namespace Windows {
namespace Data {
namespace Xml {
namespace Dom {

#ifndef ____x_ABI_CWindows_CData_CXml_CDom_CIXmlDocumentIO_INTERFACE_DEFINED__
#define ____x_ABI_CWindows_CData_CXml_CDom_CIXmlDocumentIO_INTERFACE_DEFINED__
MIDL_INTERFACE("6cd0e74e-ee65-4489-9ebf-ca43e87ba637")
IXmlDocumentIO : public IInspectable
{
    virtual HRESULT STDMETHODCALLTYPE LoadXml(HSTRING xml) = 0;
    virtual HRESULT STDMETHODCALLTYPE LoadXmlWithSettings(HSTRING xml, IXmlLoadSettings* loadSettings) = 0;
    virtual HRESULT STDMETHODCALLTYPE SaveToFileAsync(::ABI::Windows::Storage::IStorageFile* file,
                                                      ::ABI::Windows::Foundation::IAsyncAction** asyncInfo) = 0;
};
#define VANTU_DECLARED_IXmlDocumentIO
#endif

#ifndef ____x_ABI_CWindows_CData_CXml_CDom_CIXmlDocument_INTERFACE_DEFINED__
#define ____x_ABI_CWindows_CData_CXml_CDom_CIXmlDocument_INTERFACE_DEFINED__
MIDL_INTERFACE("f7f3a506-1e87-42d6-bcfb-b8c809fa5494")
IXmlDocument : public IInspectable
{
    virtual HRESULT STDMETHODCALLTYPE get_Doctype(IXmlDocumentType** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Implementation(IXmlDomImplementation** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DocumentElement(IXmlElement** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateElement(HSTRING tagName, IXmlElement** newElement) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateDocumentFragment(IXmlDocumentFragment** newDocumentFragment) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateTextNode(HSTRING data, IXmlText** newTextNode) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateComment(HSTRING data, IXmlComment** newComment) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateProcessingInstruction(
        HSTRING target, HSTRING data, IXmlProcessingInstruction** newProcessingInstruction) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAttribute(HSTRING name, IXmlAttribute** newAttribute) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateEntityReference(HSTRING name, IXmlEntityReference** newEntityReference) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetElementsByTagName(HSTRING tagName, IXmlNodeList** elements) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateCDataSection(HSTRING data, IXmlCDataSection** newCDataSection) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DocumentUri(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAttributeNS(IInspectable* namespaceUri, HSTRING qualifiedName,
                                                        IXmlAttribute** newAttribute) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateElementNS(IInspectable* namespaceUri, HSTRING qualifiedName,
                                                      IXmlElement** newElement) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetElementById(HSTRING elementId, IXmlElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE ImportNode(IXmlNode* node, boolean deep, IXmlNode** newNode) = 0;
};
#define VANTU_DECLARED_IXmlDocument
#endif

}  // namespace Dom
}  // namespace Xml
}  // namespace Data
}  // namespace Windows
}  // namespace ABI

#ifdef VANTU_DECLARED_IXmlDocumentIO
VANTU_WINRT_UUID(ABI::Windows::Data::Xml::Dom::IXmlDocumentIO,
                 0x6cd0e74e, 0xee65, 0x4489, 0x9e, 0xbf, 0xca, 0x43, 0xe8, 0x7b, 0xa6, 0x37)
#endif
#ifdef VANTU_DECLARED_IXmlDocument
VANTU_WINRT_UUID(ABI::Windows::Data::Xml::Dom::IXmlDocument,
                 0xf7f3a506, 0x1e87, 0x42d6, 0xbc, 0xfb, 0xb8, 0xc8, 0x09, 0xfa, 0x54, 0x94)
#endif

// ---------------------------------------------------------------------------
// The three event delegates of a toast: TypedEventHandler<ToastNotification,
// X> for X = IInspectable (Activated), ToastDismissedEventArgs, and
// ToastFailedEventArgs. Their IIDs are the parameterised-interface IIDs the
// runtime derives from the instantiation's signature.
// ---------------------------------------------------------------------------
namespace ABI {
namespace Windows {
namespace UI {
namespace Notifications {
struct IToastDismissedEventArgs;
struct IToastFailedEventArgs;
}  // namespace Notifications
}  // namespace UI
}  // namespace Windows
}  // namespace ABI

#ifndef ____FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_IInspectable_INTERFACE_DEFINED__
#define ____FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_IInspectable_INTERFACE_DEFINED__
MIDL_INTERFACE("ab54de2d-97d9-5528-b6ad-105afe156530")
__FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_IInspectable : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Invoke(ABI::Windows::UI::Notifications::IToastNotification* sender,
                                             IInspectable* args) = 0;
};
VANTU_WINRT_UUID(__FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_IInspectable,
                 0xab54de2d, 0x97d9, 0x5528, 0xb6, 0xad, 0x10, 0x5a, 0xfe, 0x15, 0x65, 0x30)
#endif

#ifndef ____FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastDismissedEventArgs_INTERFACE_DEFINED__
#define ____FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastDismissedEventArgs_INTERFACE_DEFINED__
MIDL_INTERFACE("61c2402f-0ed0-5a18-ab69-59f4aa99a368")
__FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastDismissedEventArgs
    : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Invoke(ABI::Windows::UI::Notifications::IToastNotification* sender,
                                             ABI::Windows::UI::Notifications::IToastDismissedEventArgs* args) = 0;
};
VANTU_WINRT_UUID(
    __FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastDismissedEventArgs,
    0x61c2402f, 0x0ed0, 0x5a18, 0xab, 0x69, 0x59, 0xf4, 0xaa, 0x99, 0xa3, 0x68)
#endif

#ifndef ____FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastFailedEventArgs_INTERFACE_DEFINED__
#define ____FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastFailedEventArgs_INTERFACE_DEFINED__
MIDL_INTERFACE("95e3e803-c969-5e3a-9753-ea2ad22a9a33")
__FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastFailedEventArgs
    : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Invoke(ABI::Windows::UI::Notifications::IToastNotification* sender,
                                             ABI::Windows::UI::Notifications::IToastFailedEventArgs* args) = 0;
};
VANTU_WINRT_UUID(
    __FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastFailedEventArgs,
    0x95e3e803, 0xc969, 0x5e3a, 0x97, 0x53, 0xea, 0x2a, 0xd2, 0x2a, 0x9a, 0x33)
#endif

// ---------------------------------------------------------------------------
// Windows.UI.Notifications
// ---------------------------------------------------------------------------
namespace ABI {
namespace Windows {
namespace UI {
namespace Notifications {

#ifndef ____x_ABI_CWindows_CUI_CNotifications_CIToastNotification_INTERFACE_DEFINED__
#define ____x_ABI_CWindows_CUI_CNotifications_CIToastNotification_INTERFACE_DEFINED__
MIDL_INTERFACE("997e2675-059e-4e60-8b06-1760917c8b80")
IToastNotification : public IInspectable
{
    virtual HRESULT STDMETHODCALLTYPE get_Content(::ABI::Windows::Data::Xml::Dom::IXmlDocument** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ExpirationTime(__FIReference_1_Windows__CFoundation__CDateTime* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExpirationTime(__FIReference_1_Windows__CFoundation__CDateTime** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_Dismissed(
        __FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastDismissedEventArgs*
            handler,
        EventRegistrationToken* cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_Dismissed(EventRegistrationToken cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_Activated(
        __FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_IInspectable* handler,
        EventRegistrationToken* cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_Activated(EventRegistrationToken cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_Failed(
        __FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastFailedEventArgs*
            handler,
        EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_Failed(EventRegistrationToken token) = 0;
};
#define VANTU_DECLARED_IToastNotification
#endif

#ifndef ____x_ABI_CWindows_CUI_CNotifications_CIToastNotificationFactory_INTERFACE_DEFINED__
#define ____x_ABI_CWindows_CUI_CNotifications_CIToastNotificationFactory_INTERFACE_DEFINED__
MIDL_INTERFACE("04124b20-82c6-4229-b109-fd9ed4662b53")
IToastNotificationFactory : public IInspectable
{
    virtual HRESULT STDMETHODCALLTYPE CreateToastNotification(::ABI::Windows::Data::Xml::Dom::IXmlDocument* content,
                                                              IToastNotification** notification) = 0;
};
#define VANTU_DECLARED_IToastNotificationFactory
#endif

#ifndef ____x_ABI_CWindows_CUI_CNotifications_CIToastNotifier_INTERFACE_DEFINED__
#define ____x_ABI_CWindows_CUI_CNotifications_CIToastNotifier_INTERFACE_DEFINED__
MIDL_INTERFACE("75927b93-03f3-41ec-91d3-6e5bac1b38e7")
IToastNotifier : public IInspectable
{
    virtual HRESULT STDMETHODCALLTYPE Show(IToastNotification* notification) = 0;
    virtual HRESULT STDMETHODCALLTYPE Hide(IToastNotification* notification) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Setting(NotificationSetting* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddToSchedule(IScheduledToastNotification* scheduledToast) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveFromSchedule(IScheduledToastNotification* scheduledToast) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetScheduledToastNotifications(
        __FIVectorView_1_Windows__CUI__CNotifications__CScheduledToastNotification** scheduledToasts) = 0;
};
#define VANTU_DECLARED_IToastNotifier
#endif

#ifndef ____x_ABI_CWindows_CUI_CNotifications_CIToastNotificationManagerStatics_INTERFACE_DEFINED__
#define ____x_ABI_CWindows_CUI_CNotifications_CIToastNotificationManagerStatics_INTERFACE_DEFINED__
MIDL_INTERFACE("50ac103f-d235-4598-bbef-98fe4d1a3ad4")
IToastNotificationManagerStatics : public IInspectable
{
    virtual HRESULT STDMETHODCALLTYPE CreateToastNotifier(IToastNotifier** notifier) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateToastNotifierWithId(HSTRING applicationId, IToastNotifier** notifier) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTemplateContent(ToastTemplateType type,
                                                         ::ABI::Windows::Data::Xml::Dom::IXmlDocument** content) = 0;
};
#define VANTU_DECLARED_IToastNotificationManagerStatics
#endif

#ifndef ____x_ABI_CWindows_CUI_CNotifications_CIToastActivatedEventArgs_INTERFACE_DEFINED__
#define ____x_ABI_CWindows_CUI_CNotifications_CIToastActivatedEventArgs_INTERFACE_DEFINED__
MIDL_INTERFACE("e3bf92f3-c197-436f-8265-0625824f8dac")
IToastActivatedEventArgs : public IInspectable
{
    virtual HRESULT STDMETHODCALLTYPE get_Arguments(HSTRING* value) = 0;
};
#define VANTU_DECLARED_IToastActivatedEventArgs
#endif

#ifndef ____x_ABI_CWindows_CUI_CNotifications_CIToastDismissedEventArgs_INTERFACE_DEFINED__
#define ____x_ABI_CWindows_CUI_CNotifications_CIToastDismissedEventArgs_INTERFACE_DEFINED__
MIDL_INTERFACE("3f89d935-d9cb-4538-a0f0-ffe7659938f8")
IToastDismissedEventArgs : public IInspectable
{
    virtual HRESULT STDMETHODCALLTYPE get_Reason(ToastDismissalReason* value) = 0;
};
#define VANTU_DECLARED_IToastDismissedEventArgs
#endif

#ifndef ____x_ABI_CWindows_CUI_CNotifications_CIToastFailedEventArgs_INTERFACE_DEFINED__
#define ____x_ABI_CWindows_CUI_CNotifications_CIToastFailedEventArgs_INTERFACE_DEFINED__
MIDL_INTERFACE("35176862-cfd4-44f8-ad64-f500fd896c3b")
IToastFailedEventArgs : public IInspectable
{
    virtual HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* value) = 0;
};
#define VANTU_DECLARED_IToastFailedEventArgs
#endif

}  // namespace Notifications
}  // namespace UI
}  // namespace Windows
}  // namespace ABI

#ifdef VANTU_DECLARED_IToastNotification
VANTU_WINRT_UUID(ABI::Windows::UI::Notifications::IToastNotification,
                 0x997e2675, 0x059e, 0x4e60, 0x8b, 0x06, 0x17, 0x60, 0x91, 0x7c, 0x8b, 0x80)
#endif
#ifdef VANTU_DECLARED_IToastNotificationFactory
VANTU_WINRT_UUID(ABI::Windows::UI::Notifications::IToastNotificationFactory,
                 0x04124b20, 0x82c6, 0x4229, 0xb1, 0x09, 0xfd, 0x9e, 0xd4, 0x66, 0x2b, 0x53)
#endif
#ifdef VANTU_DECLARED_IToastNotifier
VANTU_WINRT_UUID(ABI::Windows::UI::Notifications::IToastNotifier,
                 0x75927b93, 0x03f3, 0x41ec, 0x91, 0xd3, 0x6e, 0x5b, 0xac, 0x1b, 0x38, 0xe7)
#endif
#ifdef VANTU_DECLARED_IToastNotificationManagerStatics
VANTU_WINRT_UUID(ABI::Windows::UI::Notifications::IToastNotificationManagerStatics,
                 0x50ac103f, 0xd235, 0x4598, 0xbb, 0xef, 0x98, 0xfe, 0x4d, 0x1a, 0x3a, 0xd4)
#endif
#ifdef VANTU_DECLARED_IToastActivatedEventArgs
VANTU_WINRT_UUID(ABI::Windows::UI::Notifications::IToastActivatedEventArgs,
                 0xe3bf92f3, 0xc197, 0x436f, 0x82, 0x65, 0x06, 0x25, 0x82, 0x4f, 0x8d, 0xac)
#endif
#ifdef VANTU_DECLARED_IToastDismissedEventArgs
VANTU_WINRT_UUID(ABI::Windows::UI::Notifications::IToastDismissedEventArgs,
                 0x3f89d935, 0xd9cb, 0x4538, 0xa0, 0xf0, 0xff, 0xe7, 0x65, 0x99, 0x38, 0xf8)
#endif
#ifdef VANTU_DECLARED_IToastFailedEventArgs
VANTU_WINRT_UUID(ABI::Windows::UI::Notifications::IToastFailedEventArgs,
                 0x35176862, 0xcfd4, 0x44f8, 0xad, 0x64, 0xf5, 0x00, 0xfd, 0x89, 0x6c, 0x3b)
#endif

// Short names for the delegate interfaces.
namespace VantuWinRt {
using ToastActivatedHandler =
    __FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_IInspectable;
using ToastDismissedHandler =
    __FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastDismissedEventArgs;
using ToastFailedHandler =
    __FITypedEventHandler_2_Windows__CUI__CNotifications__CToastNotification_Windows__CUI__CNotifications__CToastFailedEventArgs;
}  // namespace VantuWinRt
