#include "VantuToast/ServiceClients.h"

#include <memory>

#include "base/Lock.h"
#include "includes/SettingClient.h"
#include "includes/ui_host_module_ipc_client.h"
#include "logging/ProcessExit.h"

namespace {

Groundwork::Mutex g_settingsLock;
ExitSafe<std::unique_ptr<SettingClient>> g_settings GUARDED_BY(g_settingsLock);  // created on first use

}  // namespace

void ReadShortcutTarget(std::string& target) EXCLUDES(g_settingsLock)
{
    Groundwork::MutexLock guard(g_settingsLock);
    std::unique_ptr<SettingClient>& settings = g_settings.Get();
    if (!settings)
        settings = std::make_unique<SettingClient>();
    // The result is not examined: on any failure the default stays.
    settings->GetSetting(kHowItWorksUrlSetting, SettingScope(SettingScope::kSystem), target);
}

// Joins connection threads: the clients are destroyed outside the lock.
void CloseServiceClients() EXCLUDES(g_settingsLock)
{
    std::unique_ptr<SettingClient> settings;
    {
        Groundwork::MutexLock guard(g_settingsLock);
        settings = std::move(g_settings.Get());
    }
    settings.reset();
    UIClient::Instance().CloseConnections();
}
