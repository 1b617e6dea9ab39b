#include "VantuToast/ServiceClients.h"

#include "includes/SettingClient.h"
#include "ipc/ipc_stats_collector.h"
#include "logging/ProcessExit.h"

void ReadShortcutTarget(std::string& target)
{
    // Made once; its connection starts without waiting, so the one-time
    // construction holds nobody up. Each read waits for readiness itself.
    // Kept while the library is loaded; not destroyed at process exit,
    // where its connection's threads are gone.
    static ExitSafe<SettingClient> settings;
    // The result is not examined: on any failure the default stays.
    settings.Get().GetSetting(kHowItWorksUrlSetting, SettingScope(SettingScope::kSystem), target);
}

void FlushServiceStatistics()
{
    ipc::ipc_stats_collector::FlushAll();
}
