// The export, the object's lifecycle and the Start-menu shortcut, through
// the host's view of the built DLL.
#include <objbase.h>
#include <propkey.h>
#include <shobjidl.h>

#include <thread>

#include <wrl/client.h>

#include "toast/ToastHost.h"

using Microsoft::WRL::ComPtr;
using testsupport::FileExists;
using testsupport::ReadShortcut;
using testsupport::ShortcutContents;
using testsupport::TargetIs;

namespace {

// Whether the shell link of this system keeps the application identity in
// the file (Wine's keeps its property store in memory only).
bool ShellLinkKeepsProperties(const std::wstring& scratch)
{
    ComPtr<IShellLinkW> link;
    ComPtr<IPropertyStore> store;
    ComPtr<IPersistFile> file;
    PROPVARIANT value{};
    value.vt = VT_LPWSTR;
    value.pwszVal = const_cast<LPWSTR>(L"Probe.Identity");
    const bool saved = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link))) &&
                       SUCCEEDED(link->SetPath(L"C:\\windows\\notepad.exe")) && SUCCEEDED(link.As(&store)) &&
                       SUCCEEDED(store->SetValue(PKEY_AppUserModel_ID, value)) && SUCCEEDED(store->Commit()) &&
                       SUCCEEDED(link.As(&file)) && SUCCEEDED(file->Save(scratch.c_str(), TRUE));
    const bool kept = saved && ReadShortcut(scratch).appId == L"Probe.Identity";
    DeleteFileW(scratch.c_str());
    return kept;
}

class ToastLifecycle : public testsupport::ToastHostTest
{
protected:
    // A file where the Programs folder should be makes saving the shortcut
    // fail until Unblock.
    void Block()
    {
        ASSERT_TRUE(MoveFileW(Programs().c_str(), (Programs() + L".aside").c_str())) << GetLastError();
        testsupport::WriteFileBytes(Programs(), "blocker");
    }
    void Unblock()
    {
        DeleteFileW(Programs().c_str());
        ASSERT_TRUE(MoveFileW((Programs() + L".aside").c_str(), Programs().c_str()));
    }
    std::wstring Programs() const { return shortcutPath.substr(0, shortcutPath.rfind(L'\\')); }
};

}  // namespace

TEST_F(ToastLifecycle, TwoObjectsShareOneShortcutUntilTheLastRelease)
{
    IVantuToast* first = create();
    IVantuToast* second = create();
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(first->Initialize());
    ASSERT_TRUE(FileExists(shortcutPath));
    EXPECT_TRUE(second->Initialize());
    EXPECT_FALSE(Logged("Shortcut already exists")) << "the second Initialize registers nothing";

    const ShortcutContents contents = ReadShortcut(shortcutPath);
    if (ShellLinkKeepsProperties(shortcutPath + L".probe.lnk"))
    {
        EXPECT_EQ(L"Zelnor.Pathwarden.DesktopToasts", contents.appId);
    }
    EXPECT_TRUE(TargetIs(contents.target, L"https://help.zelnor.example/pathwarden/how-toasts-work"))
        << "the settings manager's HowItWorksUrl: " << contents.target;
    EXPECT_EQ(L"", contents.icon);
    EXPECT_FALSE(Logged("icon")) << "no Icon value: nothing said about the icon";

    EXPECT_TRUE(first->Release());
    EXPECT_TRUE(FileExists(shortcutPath));
    EXPECT_TRUE(second->Release());
    EXPECT_FALSE(FileExists(shortcutPath));

    // A new Initialize after the last Release creates it again, with the
    // product key's icon.
    ASSERT_TRUE(testsupport::SetProductValue(L"Icon", L"C:\\Program Files\\Zelnor\\Pathwarden\\pathwarden.ico"));
    IVantuToast* third = InitializedObject();
    EXPECT_EQ(L"C:\\Program Files\\Zelnor\\Pathwarden\\pathwarden.ico", ReadShortcut(shortcutPath).icon);
    EXPECT_TRUE(third->Release());
    EXPECT_FALSE(FileExists(shortcutPath));
}

TEST_F(ToastLifecycle, NegativeCounterIsReportedAndKeepsTheShortcut)
{
    IVantuToast* never = create();
    EXPECT_TRUE(never->Release()) << "flag clear: counter -1 silently";

    IVantuToast* owner = InitializedObject();  // counter back at 0, shortcut registered
    ASSERT_TRUE(FileExists(shortcutPath));
    IVantuToast* other = create();
    EXPECT_FALSE(other->Release());
    EXPECT_TRUE(LoggedLine("ERR", "ERROR: VantuToast object counter should never be less than zero. Counter: -1"));
    EXPECT_TRUE(FileExists(shortcutPath));

    // Still initialised: an object that never called Initialize shows toasts.
    IVantuToast* bystander = create();
    testsupport::HostEvent event;
    EXPECT_TRUE(bystander->ShowToastFromXml(1, testsupport::kSimpleToast, event.Put()));
    EXPECT_TRUE(bystander->DismissAllToasts());
    EXPECT_TRUE(event.Signalled());
    delete bystander;  // slot 0 alone: no uncounting
    delete owner;
}

TEST_F(ToastLifecycle, ExistingShortcutIsAcceptedAsItIs)
{
    testsupport::WriteFileBytes(shortcutPath, "not really a shortcut");
    IVantuToast* toast = InitializedObject();
    EXPECT_TRUE(LoggedLine("INF", "Shortcut already exists: " + std::string(shortcutPath.begin(), shortcutPath.end())));
    EXPECT_EQ("not really a shortcut", testsupport::ReadFileBytes(shortcutPath));
    EXPECT_TRUE(toast->Release());
    EXPECT_FALSE(FileExists(shortcutPath));

    // Someone else deleted it meanwhile: Release still succeeds.
    IVantuToast* again = InitializedObject();
    ASSERT_TRUE(DeleteFileW(shortcutPath.c_str()));
    EXPECT_TRUE(again->Release());
}

TEST_F(ToastLifecycle, FailedRegistrationCountsTouchesNothingAndIsRetried)
{
    Block();
    IVantuToast* toast = create();
    EXPECT_FALSE(toast->Initialize());
    EXPECT_TRUE(Logged("Failed to save PersistFile. Error: 0x"));
    EXPECT_TRUE(Logged("Failed to create shortcut"));
    testsupport::HostEvent event;
    EXPECT_FALSE(toast->ShowToastFromXml(1, testsupport::kSimpleToast, event.Put()));
    EXPECT_TRUE(Logged("CVantuToast not initialized"));
    EXPECT_EQ(nullptr, event.Get());

    // Counter 1, flag clear: a Release removes nothing.
    Unblock();
    testsupport::WriteFileBytes(shortcutPath, "someone else's");
    EXPECT_TRUE(create()->Release());
    EXPECT_EQ("someone else's", testsupport::ReadFileBytes(shortcutPath));
    ASSERT_TRUE(DeleteFileW(shortcutPath.c_str()));

    EXPECT_TRUE(toast->Initialize()) << "the next Initialize tries again";
    EXPECT_TRUE(FileExists(shortcutPath));
    EXPECT_TRUE(toast->Release());
    EXPECT_FALSE(FileExists(shortcutPath));
}

TEST_F(ToastLifecycle, ObjectOnASingleThreadedApartmentLeavesItAlone)
{
    HRESULT afterDestroy = E_FAIL;
    bool gotObject = false;
    std::thread sta([&] {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        IVantuToast* toast = create();
        gotObject = toast != nullptr;
        delete toast;
        // Still one initialisation on this thread: a stray RoUninitialize
        // would have ended it and this would answer S_OK.
        afterDestroy = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CoUninitialize();
        CoUninitialize();
    });
    sta.join();
    EXPECT_TRUE(gotObject);
    EXPECT_EQ(S_FALSE, afterDestroy);
}

TEST_F(ToastLifecycle, DllExportsOnlyTheFactory)
{
    const auto* base = reinterpret_cast<const BYTE*>(dll);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(0u, dir.VirtualAddress);
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    ASSERT_EQ(1u, exports->NumberOfNames);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    EXPECT_STREQ("CreateVantuToastObject", reinterpret_cast<const char*>(base + names[0]));
}
