// The toast object behind IVantuToast and the process-wide toast state.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>

#include <wrl/client.h>

#include "base/Lock.h"
#include "VantuToast/IVantuToast.h"
#include "VantuToast/ShortcutSharing.h"
#include "VantuToast/WinRtToastAbi.h"
#include "platform/ScopedHandle.h"

// Application identity of every toast, and of the Start-menu shortcut.
constexpr wchar_t kToastAppId[] = L"Zelnor.Pathwarden.DesktopToasts";
constexpr wchar_t kShortcutFileName[] = L"Zelnor Pathwarden.lnk";

// Process-wide toast state, shared by every toast object of the process.
// The two mutexes are never held together.
namespace ToastState {

using ToastRef = Microsoft::WRL::ComPtr<ABI::Windows::UI::Notifications::IToastNotification>;

extern Groundwork::Mutex InitializationMutex;
extern int32_t ToastObjectCounter GUARDED_BY(InitializationMutex);
// Written under InitializationMutex; the show operations read it without
// that lock, which Initialize holds while it creates the shortcut.
extern std::atomic<bool> ToastInitialized;
extern Groundwork::Mutex TrackedToastsMutex;
// Its toasts are not released at process exit: releasing one calls into the
// platform, whose threads are gone.
std::unordered_map<int, ToastRef>& TrackedToasts() REQUIRES(TrackedToastsMutex);

// Erases the entry of `toastId`, if any. Reaches the table without a toast
// object, so the event handlers can call it after the host released theirs.
// The toast's last reference goes to the platform, outside the lock.
void StopTracking(int toastId) EXCLUDES(TrackedToastsMutex);

}  // namespace ToastState

class CVantuToast : public IVantuToast
{
public:
    // Initialises the Windows Runtime (multithreaded apartment) on the
    // creating thread; a failure is kept and only skips the balancing call.
    CVantuToast();
    CVantuToast(const CVantuToast&) = delete;
    CVantuToast& operator=(const CVantuToast&) = delete;
    // Balances the initialisation on the creating thread only: on another
    // thread RoUninitialize would end that thread's own apartment (a host's
    // single-threaded one, say). There it is skipped with a warning.
    ~CVantuToast() override;

    bool Initialize() override EXCLUDES(ToastState::InitializationMutex);
    bool Release() override EXCLUDES(ToastState::InitializationMutex);
    // These call the platform (Show, Hide, a toast's last Release), whose
    // handlers untrack toasts on the calling thread: never under the table's lock.
    bool ShowToastFromTemplate(int toastId, const std::wstring& templatePath, HANDLE* toastEvent) override
        EXCLUDES(ToastState::TrackedToastsMutex);
    bool ShowToastFromXml(int toastId, const std::wstring& xml, HANDLE* toastEvent) override
        EXCLUDES(ToastState::TrackedToastsMutex);
    bool StopTrackingToast(int toastId) override EXCLUDES(ToastState::TrackedToastsMutex);
    bool DismissToast(int toastId) override EXCLUDES(ToastState::TrackedToastsMutex);
    bool DismissAllToasts() override EXCLUDES(ToastState::TrackedToastsMutex);

    // Verified XML of a signed template, or empty on any failure (logged).
    std::wstring ReadTemplateFile(const std::wstring& templatePath);

private:
    bool CreateXmlDocument(const std::wstring& xml, ABI::Windows::Data::Xml::Dom::IXmlDocument** document);
    bool CreateToastNotifier(ABI::Windows::UI::Notifications::IToastNotifier** notifier);
    bool CreateAndShowToast(int toastId, ABI::Windows::Data::Xml::Dom::IXmlDocument* document, HANDLE* toastEvent)
        EXCLUDES(ToastState::TrackedToastsMutex);

    // Release under the initialisation mutex; destroys the object and gives
    // the counter it left.
    bool Uncount(const ShortcutSharing::Hold& shared, int32_t& counter) EXCLUDES(ToastState::InitializationMutex);

    HRESULT m_roInitializeResult;
    // The creating thread. Its open handle keeps the identifier from being
    // given to another thread while the object lives.
    DWORD m_creatingThreadId;
    Groundwork::ScopedHandle m_creatingThread;
};

// Start-menu shortcut of the application identity.
bool GetShortcutPath(std::wstring& path);
bool EnsureShortcut();
bool CreateShortcut(const std::wstring& shortcutPath);
bool GetIconPath(std::wstring& iconPath);

// "Global\" followed by a braced upper-case GUID; the GUID part is empty when
// it cannot be formatted.
std::wstring ToastEventName(const GUID& guid);

// Template reading.
// Reads a template file, verifies its signature with TemplateSigningKey and
// returns the XML as UTF-16. Any failure is logged and gives an empty string.
std::wstring ReadTemplateFile(const std::wstring& path);

// The same with another public key (64 bytes, X then Y).
std::wstring ReadTemplateFileWithKey(const std::wstring& path, const uint8_t* publicKey);
