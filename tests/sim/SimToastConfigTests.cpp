// The toast stand-in's automatic mode configured in the prefix's registry,
// as the demo uses it: read once, when the stand-in first serves a process.
#include <gtest/gtest.h>

#include "sim/toast/VantuSimToast.h"
#include "ToastTestSupport.h"

using namespace SimTest;

namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\VantuSim\\Toast";

class SimToastConfigTest : public ::testing::Test
{
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }
    void TearDown() override
    {
        VantuSimToast_WaitIdle(20000);
        VantuSimToast_Reset();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    }
};

TEST_F(SimToastConfigTest, RegistryConfiguredAutomaticModeDismissesEveryShownToast)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const wchar_t action[] = L"dismiss";
    const DWORD delay = 0, reason = 2;
    RegSetValueExW(key, L"AutoAction", 0, REG_SZ, reinterpret_cast<const BYTE*>(action), sizeof(action));
    RegSetValueExW(key, L"AutoDelayMs", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&delay), sizeof(delay));
    RegSetValueExW(key, L"AutoReason", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&reason), sizeof(reason));
    RegCloseKey(key);

    ASSERT_GE(RoInitialize(RO_INIT_MULTITHREADED), 0);
    {
        EventLog log;
        ComPtr<IXmlDocument> document;
        ASSERT_EQ(LoadDocument(L"<toast launch=\"demo\"/>", document), S_OK);
        ComPtr<IToastNotification> toast;
        ASSERT_EQ(CreateToast(document.Get(), toast), S_OK);
        ASSERT_EQ(AddRecorders(toast.Get(), log), S_OK);
        ComPtr<IToastNotifier> notifier;
        ASSERT_EQ(CreateNotifier(L"Demo.App", notifier), S_OK);
        ASSERT_EQ(notifier->Show(toast.Get()), S_OK);
        ASSERT_TRUE(log.WaitFor(1));
        EXPECT_EQ(log.Records()[0].kind, EventRecord::Dismissed);
        EXPECT_EQ(log.Records()[0].reason, 2);
        EXPECT_NE(log.Records()[0].threadId, GetCurrentThreadId());
    }
    RoUninitialize();
}

}  // namespace
