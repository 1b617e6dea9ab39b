// The toast platform stand-in, reached the way the library reaches the real
// one (RoActivateInstance / RoGetActivationFactory through the prefix's
// registration), and driven through its control API.
#include <gtest/gtest.h>

#include <msxml2.h>
#include <oleauto.h>

#include <thread>

#include "sim/toast/VantuSimToast.h"
#include "ToastTestSupport.h"

using namespace SimTest;

namespace {

constexpr wchar_t kAppId[] = L"Zelnor.Pathwarden.DesktopToasts";
constexpr DWORD kBoundMs = 20000;

std::wstring ToastXml(const std::wstring& launch, const std::wstring& text = L"hello")
{
    return L"<toast launch=\"" + launch + L"\"><visual><binding template=\"ToastGeneric\"><text>" + text +
           L"</text></binding></visual></toast>";
}

std::wstring Text(VantuSimToastId id, VantuSimToastText which)
{
    const int32_t length = VantuSimToast_GetToastText(id, which, nullptr, 0);
    if (length < 0)
        return L"<none>";
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    VantuSimToast_GetToastText(id, which, &text[0], static_cast<uint32_t>(text.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::vector<VantuSimToastId> OnScreen()
{
    std::vector<VantuSimToastId> ids(VantuSimToast_ListOnScreen(nullptr, 0));
    ids.resize(VantuSimToast_ListOnScreen(ids.data(), static_cast<uint32_t>(ids.size())));
    return ids;
}

class SimToastTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_GE(RoInitialize(RO_INIT_MULTITHREADED), 0);
        VantuSimToast_Reset();
    }

    void TearDown() override
    {
        EXPECT_TRUE(VantuSimToast_WaitIdle(kBoundMs));
        VantuSimToast_Reset();
        RoUninitialize();
    }

    // A toast made from this XML, with recorders on all three events, shown
    // under appId; returns its stand-in identifier.
    VantuSimToastId ShowToast(const std::wstring& xml, EventLog& log, ComPtr<IToastNotification>& toast,
                              const std::wstring& appId = kAppId, const std::wstring& tag = L"")
    {
        ComPtr<IXmlDocument> document;
        EXPECT_EQ(LoadDocument(xml, document), S_OK);
        EXPECT_EQ(CreateToast(document.Get(), toast), S_OK);
        EXPECT_EQ(AddRecorders(toast.Get(), log, tag), S_OK);
        ComPtr<IToastNotifier> notifier;
        EXPECT_EQ(CreateNotifier(appId, notifier), S_OK);
        const uint32_t before = VantuSimToast_ListOnScreen(nullptr, 0);
        EXPECT_EQ(notifier->Show(toast.Get()), S_OK);
        std::vector<VantuSimToastId> ids = OnScreen();
        EXPECT_EQ(ids.size(), before + 1);
        return ids.empty() ? 0 : ids.back();
    }
};

TEST_F(SimToastTest, RuntimeActivationReachesTheRegisteredStandIn)
{
    // The factory the runtime hands out lives in the module this test
    // links: one instance of the stand-in per process.
    HStr className(RuntimeClass_Windows_UI_Notifications_ToastNotificationManager);
    ComPtr<IToastNotificationManagerStatics> statics;
    ASSERT_EQ(RoGetActivationFactory(className.Get(), __uuidof(IToastNotificationManagerStatics), &statics), S_OK);
    HMODULE owner = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   *reinterpret_cast<LPCWSTR*>(statics.Get()), &owner));
    EXPECT_EQ(owner, GetModuleHandleW(L"VantuSimToast.dll"));

    HSTRING runtimeName = nullptr;
    ASSERT_EQ(statics->GetRuntimeClassName(&runtimeName), S_OK);
    EXPECT_EQ(ToWide(runtimeName), RuntimeClass_Windows_UI_Notifications_ToastNotificationManager);
    WindowsDeleteString(runtimeName);

    // A program that does not link the stand-in finds the same module, and
    // so the same screen, through the registration.
    VantuSimToastApi api;
    ASSERT_TRUE(api.Load());
    EXPECT_EQ(reinterpret_cast<void*>(api.ListOnScreen), reinterpret_cast<void*>(&VantuSimToast_ListOnScreen));

    // Notifiers are the stand-in's: counted by it.
    ComPtr<IToastNotifier> notifier;
    HStr appId(kAppId);
    ASSERT_EQ(statics->CreateToastNotifierWithId(appId.Get(), &notifier), S_OK);
    EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_Notifier), 1u);
    HStr empty(L"");
    ComPtr<IToastNotifier> none;
    EXPECT_EQ(statics->CreateToastNotifierWithId(empty.Get(), &none), E_INVALIDARG);
    EXPECT_EQ(statics->CreateToastNotifier(&none), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));

    // The XML document and the toast class come from the same module.
    ComPtr<IXmlDocument> document;
    ASSERT_EQ(LoadDocument(ToastXml(L"a"), document), S_OK);
    EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_XmlDocument), 1u);
    ComPtr<IToastNotification> toast;
    ASSERT_EQ(CreateToast(document.Get(), toast), S_OK);
    EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_Toast), 1u);

    // A class the prefix does not register stays unknown.
    HStr unknown(L"Windows.UI.Notifications.TileUpdateManager");
    ComPtr<IActivationFactory> other;
    EXPECT_EQ(RoGetActivationFactory(unknown.Get(), __uuidof(IActivationFactory), &other), REGDB_E_CLASSNOTREG);
}

// A method by its position in the published virtual table (IUnknown takes
// slots 0-2, IInspectable 3-5), bypassing the declarations.
template <typename... Args>
HRESULT CallSlot(void* object, int slot, Args... args)
{
    using Method = HRESULT(STDMETHODCALLTYPE*)(void*, Args...);
    return reinterpret_cast<Method>((*reinterpret_cast<void***>(object))[slot])(object, args...);
}

TEST_F(SimToastTest, VirtualTableSlotsAreThePublishedOnes)
{
    // The slot numbers below are the Windows SDK's, not the header's: a
    // reordered declaration sends these calls to the wrong method.
    HStr managerClass(RuntimeClass_Windows_UI_Notifications_ToastNotificationManager);
    ComPtr<IToastNotificationManagerStatics> statics;
    ASSERT_EQ(RoGetActivationFactory(managerClass.Get(), __uuidof(IToastNotificationManagerStatics), &statics), S_OK);
    IToastNotifier* raw = nullptr;
    EXPECT_EQ(CallSlot(statics.Get(), 6, &raw), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));  // CreateToastNotifier
    HStr appId(kAppId);
    ASSERT_EQ(CallSlot(statics.Get(), 7, appId.Get(), &raw), S_OK);  // CreateToastNotifierWithId
    ComPtr<IToastNotifier> notifier;
    *notifier.GetAddressOf() = raw;
    EXPECT_EQ(CallSlot(statics.Get(), 8, ABI::Windows::UI::Notifications::ToastTemplateType_ToastText01,
                       static_cast<IXmlDocument**>(nullptr)),
              E_NOTIMPL);  // GetTemplateContent

    HStr documentClass(RuntimeClass_Windows_Data_Xml_Dom_XmlDocument);
    ComPtr<IInspectable> instance;
    ASSERT_EQ(RoActivateInstance(documentClass.Get(), &instance), S_OK);
    ComPtr<IXmlDocumentIO> io;
    ASSERT_EQ(instance.As(&io), S_OK);
    HStr xml(ToastXml(L"slots"));
    ASSERT_EQ(CallSlot(io.Get(), 6, xml.Get()), S_OK);  // LoadXml
    ComPtr<IXmlDocument> document;
    ASSERT_EQ(io.As(&document), S_OK);

    HStr toastClass(RuntimeClass_Windows_UI_Notifications_ToastNotification);
    ComPtr<IToastNotificationFactory> factory;
    ASSERT_EQ(RoGetActivationFactory(toastClass.Get(), __uuidof(IToastNotificationFactory), &factory), S_OK);
    IToastNotification* rawToast = nullptr;
    ASSERT_EQ(CallSlot(factory.Get(), 6, document.Get(), &rawToast), S_OK);  // CreateToastNotification
    ComPtr<IToastNotification> toast;
    *toast.GetAddressOf() = rawToast;

    IXmlDocument* content = nullptr;
    ASSERT_EQ(CallSlot(toast.Get(), 6, &content), S_OK);  // get_Content
    EXPECT_EQ(content, document.Get());
    content->Release();
    EventLog log;
    EventRegistrationToken dismissed{}, activated{}, failed{}, extra{};
    ASSERT_EQ(CallSlot(toast.Get(), 9, DismissedRecorder::Create(log, L"d").Get(), &dismissed), S_OK);
    ASSERT_EQ(CallSlot(toast.Get(), 11, ActivatedRecorder::Create(log, L"a").Get(), &activated), S_OK);
    ASSERT_EQ(CallSlot(toast.Get(), 13, FailedRecorder::Create(log, L"f").Get(), &failed), S_OK);
    ASSERT_EQ(CallSlot(toast.Get(), 11, ActivatedRecorder::Create(log, L"removed").Get(), &extra), S_OK);
    ASSERT_EQ(CallSlot(toast.Get(), 12, extra), S_OK);  // remove_Activated

    ASSERT_EQ(CallSlot(notifier.Get(), 6, toast.Get()), S_OK);  // Show
    ASSERT_EQ(OnScreen().size(), 1u);
    ABI::Windows::UI::Notifications::NotificationSetting setting{};
    EXPECT_EQ(CallSlot(notifier.Get(), 8, &setting), S_OK);  // get_Setting
    ASSERT_EQ(CallSlot(notifier.Get(), 7, toast.Get()), S_OK);  // Hide
    EXPECT_TRUE(OnScreen().empty());
    ASSERT_TRUE(log.WaitFor(1));
    ASSERT_TRUE(VantuSimToast_WaitIdle(kBoundMs));
    std::vector<EventRecord> records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].tag, L"d");
    EXPECT_EQ(records[0].reason, 1);
}

TEST_F(SimToastTest, EventsAreRaisedOnThePlatformThreadOnceEach)
{
    EventLog log;
    ComPtr<IToastNotification> toast;
    const VantuSimToastId id = ShowToast(ToastXml(L"open-settings"), log, toast);

    ASSERT_EQ(VantuSimToast_Activate(id, nullptr), S_OK);
    ASSERT_TRUE(log.WaitFor(1));
    ASSERT_TRUE(VantuSimToast_WaitIdle(kBoundMs));
    std::vector<EventRecord> records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, EventRecord::Activated);
    EXPECT_NE(records[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(records[0].sender, toast.Get());
    EXPECT_EQ(records[0].readResult, S_OK);
    EXPECT_EQ(records[0].arguments, L"open-settings");

    // Gone from the screen: no second event for the same toast.
    EXPECT_TRUE(OnScreen().empty());
    EXPECT_EQ(VantuSimToast_Activate(id, L"again"), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(VantuSimToast_Dismiss(id, 0), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(VantuSimToast_Fail(id, E_FAIL), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    ASSERT_TRUE(VantuSimToast_WaitIdle(kBoundMs));
    EXPECT_EQ(log.Records().size(), 1u);

    // Explicit arguments win over the launch attribute; empty ones read as
    // an empty (null) string.
    ComPtr<IToastNotification> second;
    const VantuSimToastId other = ShowToast(ToastXml(L"launch"), log, second);
    ASSERT_EQ(VantuSimToast_Activate(other, L""), S_OK);
    ASSERT_TRUE(log.WaitFor(2));
    EXPECT_EQ(log.Records()[1].readResult, S_OK);
    EXPECT_EQ(log.Records()[1].arguments, L"");
}

TEST_F(SimToastTest, HideTakesTheToastOffAndRaisesApplicationHidden)
{
    EventLog log;
    ComPtr<IToastNotification> toast;
    const VantuSimToastId id = ShowToast(ToastXml(L"x"), log, toast);

    // A notifier of another application cannot hide it.
    ComPtr<IToastNotifier> stranger;
    ASSERT_EQ(CreateNotifier(L"Someone.Else", stranger), S_OK);
    EXPECT_EQ(stranger->Hide(toast.Get()), S_OK);
    EXPECT_EQ(OnScreen(), std::vector<VantuSimToastId>{id});

    // A fresh notifier of the same identity can, as the library does it.
    ComPtr<IToastNotifier> notifier;
    ASSERT_EQ(CreateNotifier(kAppId, notifier), S_OK);
    ASSERT_EQ(notifier->Hide(toast.Get()), S_OK);
    EXPECT_TRUE(OnScreen().empty());
    ASSERT_TRUE(log.WaitFor(1));
    std::vector<EventRecord> records = log.Records();
    EXPECT_EQ(records[0].kind, EventRecord::Dismissed);
    EXPECT_EQ(records[0].reason, 1);  // ApplicationHidden
    EXPECT_NE(records[0].threadId, GetCurrentThreadId());

    // Hiding it again, or hiding a toast that was never shown, raises nothing.
    EXPECT_EQ(notifier->Hide(toast.Get()), S_OK);
    ComPtr<IXmlDocument> document;
    ASSERT_EQ(LoadDocument(ToastXml(L"never"), document), S_OK);
    ComPtr<IToastNotification> unshown;
    ASSERT_EQ(CreateToast(document.Get(), unshown), S_OK);
    ASSERT_EQ(AddRecorders(unshown.Get(), log), S_OK);
    EXPECT_EQ(notifier->Hide(unshown.Get()), S_OK);
    ASSERT_TRUE(VantuSimToast_WaitIdle(kBoundMs));
    EXPECT_EQ(log.Records().size(), 1u);
}

TEST_F(SimToastTest, EventsKeepRequestOrderAndReachEveryHandlerStillAdded)
{
    EventLog log;
    ComPtr<IToastNotification> t1, t2, t3;
    const VantuSimToastId a = ShowToast(ToastXml(L"a"), log, t1, kAppId, L"a");
    const VantuSimToastId b = ShowToast(ToastXml(L"b"), log, t2, kAppId, L"b");
    const VantuSimToastId c = ShowToast(ToastXml(L"c"), log, t3, kAppId, L"c");

    // A second Activated handler on b, and one added then removed.
    EventRegistrationToken kept{}, removed{};
    ASSERT_EQ(t2->add_Activated(ActivatedRecorder::Create(log, L"b2").Get(), &kept), S_OK);
    ASSERT_EQ(t2->add_Activated(ActivatedRecorder::Create(log, L"gone").Get(), &removed), S_OK);
    EXPECT_NE(kept.value, removed.value);
    ASSERT_EQ(t2->remove_Activated(removed), S_OK);
    ASSERT_EQ(t2->remove_Activated(removed), S_OK);  // unknown tokens are ignored

    ASSERT_EQ(VantuSimToast_Fail(c, static_cast<HRESULT>(0x80070490)), S_OK);
    ASSERT_EQ(VantuSimToast_Dismiss(a, 2), S_OK);
    ASSERT_EQ(VantuSimToast_Activate(b, L"go"), S_OK);
    ASSERT_TRUE(log.WaitFor(4));
    ASSERT_TRUE(VantuSimToast_WaitIdle(kBoundMs));

    std::vector<EventRecord> records = log.Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].tag, L"c");
    EXPECT_EQ(records[0].kind, EventRecord::Failed);
    EXPECT_EQ(records[0].errorCode, static_cast<HRESULT>(0x80070490));
    EXPECT_EQ(records[1].tag, L"a");
    EXPECT_EQ(records[1].kind, EventRecord::Dismissed);
    EXPECT_EQ(records[1].reason, 2);
    EXPECT_EQ(records[2].tag, L"b");
    EXPECT_EQ(records[3].tag, L"b2");
    EXPECT_EQ(records[3].arguments, L"go");
    // One platform thread raises them all, never the caller's.
    for (const EventRecord& record : records)
    {
        EXPECT_EQ(record.threadId, records[0].threadId);
        EXPECT_NE(record.threadId, GetCurrentThreadId());
    }
}

TEST_F(SimToastTest, InjectedFailureHitsOnlyTheNextCallOfItsOperation)
{
    const HRESULT injected = static_cast<HRESULT>(0x80070005);
    EXPECT_EQ(VantuSimToast_FailNext(VantuSimToastOp_Show, S_FALSE), E_INVALIDARG);
    EXPECT_EQ(VantuSimToast_FailNext(VantuSimToastOp_Count, injected), E_INVALIDARG);

    // Activation of the document, loading, querying IXmlDocument.
    ComPtr<IXmlDocument> document;
    for (VantuSimToastOperation op :
         {VantuSimToastOp_ActivateXmlDocument, VantuSimToastOp_LoadXml, VantuSimToastOp_QueryXmlDocument})
    {
        ASSERT_EQ(VantuSimToast_FailNext(op, injected), S_OK);
        EXPECT_EQ(LoadDocument(ToastXml(L"x"), document), injected) << "operation " << op;
        EXPECT_EQ(LoadDocument(ToastXml(L"x"), document), S_OK) << "operation " << op;
    }

    // The two activation factories, as RoGetActivationFactory reports them.
    ComPtr<IToastNotifier> notifier;
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_GetManagerFactory, injected), S_OK);
    EXPECT_EQ(CreateNotifier(kAppId, notifier), injected);
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_CreateToastNotifier, injected), S_OK);
    EXPECT_EQ(CreateNotifier(kAppId, notifier), injected);
    ASSERT_EQ(CreateNotifier(kAppId, notifier), S_OK);

    ComPtr<IToastNotification> toast;
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_GetToastFactory, injected), S_OK);
    EXPECT_EQ(CreateToast(document.Get(), toast), injected);
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_CreateToastNotification, injected), S_OK);
    EXPECT_EQ(CreateToast(document.Get(), toast), injected);
    EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_Toast), 0u);
    ASSERT_EQ(CreateToast(document.Get(), toast), S_OK);

    // Handler registrations: the failed one is not added.
    EventLog log;
    EventRegistrationToken token{};
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_AddActivated, injected), S_OK);
    EXPECT_EQ(toast->add_Activated(ActivatedRecorder::Create(log, L"lost").Get(), &token), injected);
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_AddDismissed, injected), S_OK);
    EXPECT_EQ(toast->add_Dismissed(DismissedRecorder::Create(log, L"lost").Get(), &token), injected);
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_AddFailed, injected), S_OK);
    EXPECT_EQ(toast->add_Failed(FailedRecorder::Create(log, L"lost").Get(), &token), injected);
    EXPECT_EQ(LiveHandlers().load(), 0);
    ASSERT_EQ(AddRecorders(toast.Get(), log, L"kept"), S_OK);

    // Show and Hide: a failed Show leaves the screen empty, a failed Hide
    // leaves the toast on it and raises nothing.
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_Show, injected), S_OK);
    EXPECT_EQ(notifier->Show(toast.Get()), injected);
    EXPECT_TRUE(OnScreen().empty());
    ASSERT_EQ(notifier->Show(toast.Get()), S_OK);
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_Hide, injected), S_OK);
    EXPECT_EQ(notifier->Hide(toast.Get()), injected);
    EXPECT_EQ(OnScreen().size(), 1u);
    ASSERT_TRUE(VantuSimToast_WaitIdle(kBoundMs));
    EXPECT_TRUE(log.Records().empty());
    ASSERT_EQ(notifier->Hide(toast.Get()), S_OK);
    ASSERT_TRUE(log.WaitFor(1));
    EXPECT_EQ(log.Records()[0].tag, L"kept");

    // S_OK cancels a pending failure; Reset clears them all.
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_LoadXml, injected), S_OK);
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_LoadXml, S_OK), S_OK);
    EXPECT_EQ(LoadDocument(ToastXml(L"x"), document), S_OK);
    ASSERT_EQ(VantuSimToast_FailNext(VantuSimToastOp_LoadXml, injected), S_OK);
    VantuSimToast_Reset();
    EXPECT_EQ(LoadDocument(ToastXml(L"x"), document), S_OK);
}

TEST_F(SimToastTest, ToastsWithHandlersAreReleasedOnceNobodyHoldsThem)
{
    {
        EventLog log;
        ComPtr<IToastNotification> toast;
        const VantuSimToastId id = ShowToast(ToastXml(L"x"), log, toast);
        EXPECT_EQ(LiveHandlers().load(), 3);
        // While on screen the platform holds it even when the caller lets go.
        toast.Reset();
        EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_Toast), 1u);
        ASSERT_EQ(VantuSimToast_Activate(id, nullptr), S_OK);
        ASSERT_TRUE(log.WaitFor(1));
        ASSERT_TRUE(VantuSimToast_WaitIdle(kBoundMs));
        // After the event nobody holds it: it is gone with its handlers,
        // its document and the event arguments.
        EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_Toast), 0u);
        EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_XmlDocument), 0u);
        EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_EventArgs), 0u);
        EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_Notifier), 0u);
        EXPECT_EQ(LiveHandlers().load(), 0);
        EXPECT_EQ(VantuSimToast_GetToastText(id, VantuSimToastText_Xml, nullptr, 0), -1);
    }
    {
        // A toast the caller still holds outlives its event; a toast that
        // Reset takes off the screen is released too.
        EventLog log;
        ComPtr<IToastNotification> held, dropped;
        const VantuSimToastId a = ShowToast(ToastXml(L"a"), log, held);
        ShowToast(ToastXml(L"b"), log, dropped);
        dropped.Reset();
        ASSERT_EQ(VantuSimToast_Dismiss(a, 0), S_OK);
        ASSERT_TRUE(log.WaitFor(1));
        ASSERT_TRUE(VantuSimToast_WaitIdle(kBoundMs));
        EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_Toast), 2u);
        VantuSimToast_Reset();
        EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_Toast), 1u);
        EXPECT_EQ(Text(a, VantuSimToastText_Launch), L"a");
        held.Reset();
        EXPECT_EQ(VantuSimToast_LiveObjects(VantuSimToastObject_Toast), 0u);
        EXPECT_EQ(LiveHandlers().load(), 0);
        EXPECT_EQ(log.Records().size(), 1u);  // Reset raised nothing
    }
}

}  // namespace

// The hostile modes: which thread raises an event, and when.
TEST_F(SimToastTest, HostileModesRaiseEventsWhereTheRealPlatformMay)
{
    const DWORD self = GetCurrentThreadId();

    // Fresh threads: each event on a thread of its own, none of them this one.
    VantuSimToast_SetModes(VantuSimToastMode_FreshEventThreads);
    EventLog fresh;
    ComPtr<IToastNotification> toasts[3];
    const uint32_t freshBefore = VantuSimToast_FreshThreadEvents();
    for (auto& toast : toasts)
        ASSERT_EQ(VantuSimToast_Activate(ShowToast(ToastXml(L"f"), fresh, toast), nullptr), S_OK);
    ASSERT_TRUE(VantuSimToast_WaitIdle(kBoundMs)) << "threads in flight count as busy";
    ASSERT_EQ(3u, fresh.Records().size());
    EXPECT_EQ(3u, VantuSimToast_FreshThreadEvents() - freshBefore);
    for (const EventRecord& record : fresh.Records())
        EXPECT_NE(self, record.threadId);

    // Hide raising Dismissed on the calling thread, before Hide returns.
    VantuSimToast_SetModes(VantuSimToastMode_HideRaisesDismissed);
    EventLog hidden;
    ComPtr<IToastNotification> toast;
    ShowToast(ToastXml(L"h"), hidden, toast);
    ComPtr<IToastNotifier> notifier;
    ASSERT_EQ(CreateNotifier(kAppId, notifier), S_OK);
    ASSERT_EQ(notifier->Hide(toast.Get()), S_OK);
    ASSERT_EQ(1u, hidden.Records().size()) << "raised inside Hide";
    EXPECT_EQ(self, hidden.Records()[0].threadId);
    EXPECT_EQ(1, hidden.Records()[0].reason);

    // Failure on Show: Failed on another thread, the toast off the screen.
    VantuSimToast_SetModes(VantuSimToastMode_FailOnShow);
    EventLog failed;
    ComPtr<IXmlDocument> document;
    ASSERT_EQ(LoadDocument(ToastXml(L"x"), document), S_OK);
    ComPtr<IToastNotification> failing;
    ASSERT_EQ(CreateToast(document.Get(), failing), S_OK);
    ASSERT_EQ(AddRecorders(failing.Get(), failed), S_OK);
    EXPECT_EQ(notifier->Show(failing.Get()), S_OK);
    ASSERT_TRUE(failed.WaitFor(1));
    EXPECT_EQ(EventRecord::Failed, failed.Records()[0].kind);
    EXPECT_EQ(E_FAIL, failed.Records()[0].errorCode);
    EXPECT_NE(self, failed.Records()[0].threadId);
    EXPECT_TRUE(OnScreen().empty());

    // Reset goes back to the modes read at load (none in the test prefix).
    VantuSimToast_Reset();
    EXPECT_EQ(0u, VantuSimToast_SetModes(0));
}
