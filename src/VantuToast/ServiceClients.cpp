#include "VantuToast/ServiceClients.h"

#include <windows.h>

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

namespace {
constexpr int kLastFlushAttempts = 40;
constexpr DWORD kLastFlushPauseMs = 50;
}  // namespace

void FlushServiceStatistics()
{
    // The host may exit right after its last Release, so a flush that finds
    // another process's brief hold of the statistics mutex is tried again for
    // up to about two seconds, with no lock of ours held in between; what
    // still is not written stays with the deferred flush.
    for (int attempt = 0; attempt < kLastFlushAttempts && !ipc::ipc_stats_collector::FlushAll(); ++attempt)
        Sleep(kLastFlushPauseMs);
}
