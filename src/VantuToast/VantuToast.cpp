// The toast module: the object and its slots, the process-wide state, display
// and tracking, template reading and the Start-menu shortcut.
#include "VantuToast/VantuToast.h"

#include <windows.h>
#include <objbase.h>
#include <propkey.h>
#include <propvarutil.h>
#include <roapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>
#include <winstring.h>

#include <climits>
#include <memory>
#include <new>
#include <vector>

#include <wrl/client.h>

#include "logging/Logger.h"
#include "logging/ProcessExit.h"
#include "platform/CRegKey.h"
#include "platform/JoinPath.h"
#include "platform/ProductRegistry.h"
#include "platform/ScopedHandle.h"
#include "VantuToast/ModuleLifetime.h"
#include "VantuToast/PWHString.h"
#include "VantuToast/ServiceClients.h"
#include "VantuToast/ShortcutSharing.h"
#include "VantuToast/SignatureUtils.h"
#include "VantuToast/VantuActionHandlers.h"
#include "VantuToast/WinRtToastAbi.h"

using Microsoft::WRL::ComPtr;
using namespace ABI::Windows::Data::Xml::Dom;
using namespace ABI::Windows::UI::Notifications;

namespace {

constexpr wchar_t kLogModule[] = L"VantuToast";

template <typename T>
void FreeCoTaskMemory(T memory)
{
    CoTaskMemFree(memory);
}

// Memory an API hands out to be freed with CoTaskMemFree.
template <typename T>
using CoTaskMemory = Groundwork::UniqueNull<T, FreeCoTaskMemory<T>>;

}  // namespace

namespace ToastState {

Groundwork::Mutex InitializationMutex;
int32_t ToastObjectCounter = 0;
std::atomic<bool> ToastInitialized{false};
Groundwork::Mutex TrackedToastsMutex;

namespace {
ExitSafe<std::unordered_map<int, ToastRef>> g_trackedToasts;
}

std::unordered_map<int, ToastRef>& TrackedToasts() REQUIRES(TrackedToastsMutex)
{
    return g_trackedToasts.Get();
}

void StopTracking(int toastId)
{
    ToastRef released;  // the toast's last reference goes outside the lock
    Groundwork::MutexLock guard(TrackedToastsMutex);
    auto entry = TrackedToasts().find(toastId);
    if (entry != TrackedToasts().end())
    {
        released = std::move(entry->second);
        TrackedToasts().erase(entry);
    }
}

}  // namespace ToastState

extern "C" IVantuToast* CreateVantuToastObject()
{
    // The host may unload the library while this object, or a toast it
    // shows, lives on.
    ModuleLifetime::Pin();
    return new (std::nothrow) CVantuToast();
}

CVantuToast::CVantuToast()
    : m_roInitializeResult(RoInitialize(RO_INIT_MULTITHREADED)),
      m_creatingThreadId(GetCurrentThreadId()),
      m_creatingThread(OpenThread(SYNCHRONIZE, FALSE, m_creatingThreadId))
{
}

CVantuToast::~CVantuToast()
{
    if (FAILED(m_roInitializeResult))
        return;
    if (m_creatingThread.valid() && GetCurrentThreadId() == m_creatingThreadId)
        RoUninitialize();
    else
        VT_LOG(WRN) << "Toast object destroyed on thread " << GetCurrentThreadId() << ", not on its creating thread "
                    << m_creatingThreadId << ": RoUninitialize skipped";
}

bool CVantuToast::Initialize()
{
    // The user's processes share the shortcut; its lock waits, so it is taken
    // before ours.
    const ShortcutSharing::Hold shared;
    Groundwork::MutexLock guard(ToastState::InitializationMutex);
    ++ToastState::ToastObjectCounter;
    if (!ToastState::ToastInitialized)
    {
        ToastState::ToastInitialized = EnsureShortcut();
        if (ToastState::ToastInitialized)
            ShortcutSharing::Instance().Join();
    }
    else if (std::wstring path; GetShortcutPath(path) && GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        // Removed meanwhile by a process that kept it on its own count.
        EnsureShortcut();
    }
    return ToastState::ToastInitialized;
}

bool CVantuToast::Release()
{
    int32_t counter = 0;
    bool released = false;
    {
        const ShortcutSharing::Hold shared;  // before ours, as in Initialize
        released = Uncount(shared, counter);
    }
    // The connections outlive the last object and the host may exit next:
    // their counts go to the registry now, outside every lock of ours.
    if (counter <= 0)
        FlushServiceStatistics();
    return released;
}

bool CVantuToast::Uncount(const ShortcutSharing::Hold& shared, int32_t& counter)
{
    Groundwork::MutexLock guard(ToastState::InitializationMutex);
    counter = --ToastState::ToastObjectCounter;
    delete this;  // from here on only process-wide state

    if (!ToastState::ToastInitialized || counter > 0)
        return true;
    if (counter < 0)
    {
        VT_LOG(ERR) << "ERROR: VantuToast object counter should never be less than zero. Counter: " << counter;
        return false;
    }

    // The service clients stay: toasts still on screen report their results
    // after this, and the connections serve the next objects.
    ToastState::ToastInitialized = false;
    if (!ShortcutSharing::Instance().Leave(shared))
        return true;  // another process of the user still shows toasts
    std::wstring shortcutPath;
    if (!GetShortcutPath(shortcutPath))
    {
        VT_LOG(ERR) << "Failed to retrieve shortcut path";
        return false;
    }
    if (GetFileAttributesW(shortcutPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        return true;
    return DeleteFileW(shortcutPath.c_str()) != FALSE;
}

bool CVantuToast::StopTrackingToast(int toastId)
{
    ToastState::StopTracking(toastId);
    return true;
}

std::wstring CVantuToast::ReadTemplateFile(const std::wstring& templatePath)
{
    return ::ReadTemplateFile(templatePath);
}

// --- Display and tracking -------------------------------------------------
// Toast XML becomes a Windows toast notification of the application identity,
// with a named event for the host and three handlers, tracked under the host's
// ID until it ends or is dismissed.

namespace {

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
    CoTaskMemory<LPOLESTR> text;
    if (SUCCEEDED(StringFromCLSID(guid, text.put())) && text)
        name += text.get();
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

// --- Template reading -----------------------------------------------------

std::wstring ReadTemplateFile(const std::wstring& path)
{
    return ReadTemplateFileWithKey(path, TemplateSigningKey);
}

std::wstring ReadTemplateFileWithKey(const std::wstring& path, const uint8_t* publicKey)
{
    if (!PathFileExistsW(path.c_str()))
    {
        VT_LOG(ERR) << "XML template does not exist: " << path;
        return std::wstring();
    }

    const Groundwork::ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
    {
        VT_LOG(ERR) << "CreateFile failed";
        return std::wstring();
    }

    // The whole file is read and counted in a signed 32-bit size: anything
    // larger is refused rather than read in part.
    DWORD high = 0;
    const DWORD size = GetFileSize(file.get(), &high);
    if (size == INVALID_FILE_SIZE || high != 0 || size > static_cast<DWORD>(INT32_MAX))
    {
        VT_LOG(ERR) << "GetFileSize failed";
        return std::wstring();
    }

    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    if (!buffer)
    {
        VT_LOG(ERR) << "Failed to allocate buffer failed";
        return std::wstring();
    }

    // A short read (the file shrank, or a device gave less) is a failure:
    // the signature must be checked over exactly the bytes that are shown.
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.get(), size, &read, nullptr) || read != size)
    {
        VT_LOG(ERR) << "ReadFile Failed";
        return std::wstring();
    }

    uint32_t contentLength = 0;
    if (!VerifyFileSignatureWithKey(buffer.get(), static_cast<int32_t>(size), &contentLength, publicKey))
    {
        VT_LOG(ERR) << "Signature verification failed: " << path;
        return std::wstring();
    }

    if (contentLength == 0)
        return std::wstring();
    const char* content = reinterpret_cast<const char*>(buffer.get());
    const int length = static_cast<int>(contentLength);
    const int chars = MultiByteToWideChar(CP_UTF8, 0, content, length, nullptr, 0);
    if (chars <= 0)
    {
        VT_LOG(ERR) << "Failed to convert XML content to wstring";
        return std::wstring();
    }
    std::wstring xml;
    try
    {
        xml.resize(static_cast<size_t>(chars));
    }
    catch (const std::bad_alloc&)
    {
        VT_LOG(ERR) << "Failed to convert XML content to wstring";
        return std::wstring();
    }
    if (MultiByteToWideChar(CP_UTF8, 0, content, length, &xml[0], chars) != chars)
    {
        VT_LOG(ERR) << "Failed to convert XML content to wstring";
        return std::wstring();
    }
    return xml;
}

// --- Start-menu shortcut --------------------------------------------------
// It gives the toasts' application identity its registration with the shell.

namespace {

// The product's explanatory page, used when the settings service does not
// deliver "HowItWorksUrl".
constexpr char kDefaultShortcutTarget[] = "https://www.zelnor.com/pathwarden/how-it-works";

// Longest served target taken, in UTF-16 units.
constexpr int kMaxShortcutTargetLength = 2048;

// The served "HowItWorksUrl" comes from whichever process owns the settings
// pipe and becomes what the shortcut opens for whoever clicks it: only an
// https address is taken (no program path, no share), valid UTF-8, without
// control characters, quotes or spaces that could break out of it.
bool IsSafeShortcutTarget(const std::string& url)
{
    static constexpr char kScheme[] = "https://";
    constexpr size_t kSchemeLength = sizeof(kScheme) - 1;
    if (url.size() <= kSchemeLength || url.size() > 4 * static_cast<size_t>(kMaxShortcutTargetLength) ||
        url.compare(0, kSchemeLength, kScheme) != 0)
        return false;
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, url.data(), static_cast<int>(url.size()), nullptr, 0);
    if (length <= 0 || length > kMaxShortcutTargetLength)
        return false;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, url.data(), static_cast<int>(url.size()), &wide[0],
                            length) != length)
        return false;
    for (const wchar_t c : wide)
        if (c <= L' ' || (c >= 0x7F && c <= 0x9F) || c == L'"' || c == L'\'')
            return false;
    return true;
}

// Owner of a PROPVARIANT.
struct PropVariant
{
    PROPVARIANT value{};
    PropVariant() { PropVariantInit(&value); }
    ~PropVariant() { PropVariantClear(&value); }
    PropVariant(const PropVariant&) = delete;
    PropVariant& operator=(const PropVariant&) = delete;
};

}  // namespace

bool GetShortcutPath(std::wstring& path)
{
    CoTaskMemory<PWSTR> programs;  // freed on failure too
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_Programs, 0, nullptr, programs.put());
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to get FOLDERID_Programs path. Error: 0x" << std::hex << hr;
        return false;
    }
    path = JoinPath(programs.get(), kShortcutFileName);
    return true;
}

bool EnsureShortcut()
{
    std::wstring shortcutPath;
    if (!GetShortcutPath(shortcutPath))
    {
        VT_LOG(ERR) << "Failed to retrieve shortcut path.";
        return false;
    }
    if (GetFileAttributesW(shortcutPath.c_str()) != INVALID_FILE_ATTRIBUTES)
    {
        VT_LOG(INF) << "Shortcut already exists: " << shortcutPath;
        return true;
    }
    if (!CreateShortcut(shortcutPath))
    {
        VT_LOG(ERR) << "Failed to create shortcut";
        return false;
    }
    return true;
}

bool CreateShortcut(const std::wstring& shortcutPath)
{
    ComPtr<IShellLinkW> link;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link));
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "CoCreateInstace failed for CLSID_ShellLink. Error: 0x" << std::hex << hr;
        return false;
    }

    std::string target = kDefaultShortcutTarget;
    ReadShortcutTarget(target);
    if (!IsSafeShortcutTarget(target))
    {
        // The value itself is not written: it is the peer's text.
        VT_LOG(ERR) << "HowItWorksUrl refused: not an https address of at most " << kMaxShortcutTargetLength
                    << " characters without control characters, quotes or spaces; the default target is used";
        target = kDefaultShortcutTarget;
    }
    std::wstring wideTarget;
    if (!target.empty() && !Utf8ToWide(target, wideTarget))
    {
        VT_LOG(ERR) << "Failed to convert string to wstring";
        return false;
    }
    hr = link->SetPath(wideTarget.c_str());
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to set exe path. Error: 0x" << std::hex << hr;
        return false;
    }

    std::wstring iconPath;
    if (GetIconPath(iconPath))
    {
        hr = link->SetIconLocation(iconPath.c_str(), 0);
        if (FAILED(hr))
            VT_LOG(WRN) << "Failed to set icon. Error: 0x" << std::hex << hr;
    }

    ComPtr<IPropertyStore> store;
    hr = link.As(&store);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to set PropertyStore. Error: 0x" << std::hex << hr;
        return false;
    }
    PropVariant appId;
    hr = InitPropVariantFromString(kToastAppId, &appId.value);
    if (SUCCEEDED(hr))
        hr = store->SetValue(PKEY_AppUserModel_ID, appId.value);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to set PropertyStore user model value. Error: 0x" << std::hex << hr;
        return false;
    }
    // No PKEY_AppUserModel_ToastActivatorCLSID: the library registers no
    // activator class, and the property takes a class identifier, so there is
    // nothing true to write there.
    hr = store->Commit();
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to set commit PropertyStore. Error: 0x" << std::hex << hr;
        return false;
    }

    ComPtr<IPersistFile> file;
    hr = link.As(&file);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to set PersistFile. Error: 0x" << std::hex << hr;
        return false;
    }
    hr = file->Save(shortcutPath.c_str(), TRUE);
    if (FAILED(hr))
    {
        VT_LOG(ERR) << "Failed to save PersistFile. Error: 0x" << std::hex << hr;
        return false;
    }
    return true;
}

bool GetIconPath(std::wstring& iconPath)
{
    Groundwork::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, Groundwork::kProductKeyRead) != ERROR_SUCCESS)
        return false;
    std::wstring value;
    if (key.QueryStringValue(L"Icon", value) != ERROR_SUCCESS)
        return false;
    iconPath = value;
    return true;
}
