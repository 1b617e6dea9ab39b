// Start-menu shortcut that gives the toasts' application identity its
// registration with the shell.
#include <windows.h>
#include <objbase.h>
#include <propkey.h>
#include <propvarutil.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <wrl/client.h>

#include "logging/Logger.h"
#include "platform/CRegKey.h"
#include "platform/JoinPath.h"
#include "platform/ProductRegistry.h"
#include "VantuToast/PWHString.h"
#include "VantuToast/ServiceClients.h"
#include "VantuToast/VantuToast.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kLogModule[] = L"Shortcut";

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
    PWSTR programs = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_Programs, 0, nullptr, &programs);
    if (FAILED(hr))
    {
        CoTaskMemFree(programs);
        VT_LOG(ERR) << "Failed to get FOLDERID_Programs path. Error: 0x" << std::hex << hr;
        return false;
    }
    path = JoinPath(programs, kShortcutFileName);
    CoTaskMemFree(programs);
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
