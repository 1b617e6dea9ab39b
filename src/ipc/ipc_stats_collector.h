// Per-connection traffic and failure counts, added to REG_QWORD values under
// HKLM\SOFTWARE\Zelnor\Pathwarden\IPC_Stats while "ipc_stats_enabled" is
// non-zero. Writers in all processes are serialised by one global mutex.
//
// The connections live as long as the process, so no count waits for their
// end: a count schedules a flush of every collector of the process about a
// second later (one timer, armed at most once per delay), and the library's
// last Release flushes at once. The library's flushes never wait for the
// global mutex; one that finds it held is tried again a delay later.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include <windows.h>

#include "base/Lock.h"
#include "ipc/ipc_common.h"
#include "platform/CRegKey.h"

namespace ipc {

class ipc_stats_collector
{
public:
    static constexpr wchar_t kTotalsKey[] = L"totals";
    static constexpr wchar_t kTimeoutsPrefix[] = L"timeouts";
    static constexpr wchar_t kEnabledValue[] = L"ipc_stats_enabled";
    static constexpr char kMutexName[] = "Global\\{0BAFAFE5-FFE3-4633-A84C-CB483480A3F0}";
    static constexpr wchar_t kSecurityDescriptor[] =
        L"D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GA;;;AU)(A;OICI;GA;;;BA)";
    static constexpr REGSAM kStatsKeyAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;  // 0xF013F
    // From a count (or a flush that found the global mutex held) to the
    // deferred flush.
    static constexpr DWORD kDeferredFlushMs = 1000;

    // Registry path of the statistics key under HKEY_LOCAL_MACHINE.
    static std::wstring StatsKeyPath();
    // "timeouts" + wait, then "#" + request name when there is one.
    static std::wstring TimeoutKey(uint32_t waitMs, const std::wstring& requestName);

    ipc_stats_collector();
    ipc_stats_collector(const ipc_stats_collector&) = delete;
    ipc_stats_collector& operator=(const ipc_stats_collector&) = delete;
    // Flushes without waiting; counts the global mutex kept out are dropped,
    // with a log line.
    ~ipc_stats_collector();

    // Refreshes and flushes every collector of the process now (the deferred
    // flush, and the library's last Release); schedules another try when the
    // global mutex was held. Takes the statistics locks itself. False when
    // some counts wait for that try.
    static bool FlushAll();

    // The statistics lock: held by the owner around every call below except
    // RecordTimeout, which takes it itself.
    Groundwork::Mutex& Lock() RETURN_CAPABILITY(m_lock) { return m_lock; }

    void RefreshConfig() REQUIRES(m_lock);
    // Also schedules the deferred flush while collection is enabled.
    void Increment(const std::wstring& name) REQUIRES(m_lock);
    void RecordTimeout(uint32_t waitMs, const std::wstring& requestName) EXCLUDES(m_lock);
    // Adds every non-zero count to the registry; gives up (keeping the counts)
    // when the global mutex is not acquired within `mutexWaitMs`. False only
    // when another writer held the mutex, so that trying again soon may help.
    bool Flush(DWORD mutexWaitMs) REQUIRES(m_lock);
    bool IsEnabled() const REQUIRES(m_lock) { return m_enabled; }

    // Count not yet written to the registry.
    uint32_t PendingCount(const std::wstring& name) const REQUIRES(m_lock);

private:
    // Reads "ipc_stats_enabled" through the product key, opening the key
    // when needed; the key stays closed when it cannot be opened.
    LONG QueryEnabledValue(DWORD& value) REQUIRES(m_lock);
    bool EnsureSecurityDescriptor() REQUIRES(m_lock);
    // Sets `busy` when another writer held the mutex (or had abandoned it).
    bool AcquireMutex(DWORD waitMs, bool& busy) REQUIRES(m_lock);
    void ReleaseMutex() REQUIRES(m_lock);

    Groundwork::Mutex m_lock;
    std::unordered_map<std::wstring, uint32_t> m_counters GUARDED_BY(m_lock);
    Groundwork::CRegKey m_productKey GUARDED_BY(m_lock);
    bool m_enabled GUARDED_BY(m_lock) = false;
    ScopedHandle m_mutex GUARDED_BY(m_lock);
    Groundwork::LocalMemory<PSECURITY_DESCRIPTOR> m_securityDescriptor GUARDED_BY(m_lock);
    SECURITY_ATTRIBUTES m_security GUARDED_BY(m_lock){};
};

}  // namespace ipc
