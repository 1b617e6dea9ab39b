#include "VantuToast/ServiceClients.h"

#include <memory>
#include <mutex>

#include "includes/SettingClient.h"
#include "includes/ui_host_module_ipc_client.h"
#include "logging/ProcessExit.h"

namespace {

std::mutex g_settingsLock;
ExitSafe<std::unique_ptr<SettingClient>> g_settings;  // created on first use

}  // namespace

void ReadShortcutTarget(std::string& target)
{
    std::lock_guard<std::mutex> guard(g_settingsLock);
    std::unique_ptr<SettingClient>& settings = g_settings.Get();
    if (!settings)
        settings = std::make_unique<SettingClient>();
    // The result is not examined: on any failure the default stays.
    settings->GetSetting(kHowItWorksUrlSetting, SettingScope(SettingScope::kSystem), target);
}

void CloseServiceClients()
{
    std::unique_ptr<SettingClient> settings;
    {
        std::lock_guard<std::mutex> guard(g_settingsLock);
        settings = std::move(g_settings.Get());
    }
    settings.reset();
    UIClient::Instance().CloseConnections();
}
