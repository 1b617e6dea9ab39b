#include "ipc/ipc_stats_collector.h"


#include <algorithm>
#include <atomic>
#include <vector>

#include "logging/Logger.h"
#include "platform/CRegKey.h"
#include "platform/JoinPath.h"
#include "platform/SecurityDescriptor.h"
#include "platform/ProductRegistry.h"

namespace ipc {

namespace {

constexpr wchar_t kLogModule[] = L"ipc_stats_collector";

void CALLBACK OnFlushTimer(PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER)
{
    ipc_stats_collector::FlushAll();
}

// The collectors of the process and the timer of their deferred flush.
struct LiveCollectors
{
    LiveCollectors() : timer(CreateThreadpoolTimer(&OnFlushTimer, nullptr, nullptr))
    {
        if (timer == nullptr)
            VT_LOG(ERR) << "Failed to create the statistics flush timer, error " << GetLastError();
    }

    Groundwork::Mutex lock;
    std::vector<ipc_stats_collector*> collectors GUARDED_BY(lock);
    std::atomic<bool> flushDue{false};
    const PTP_TIMER timer;
};

// Never destroyed: the timer may fire until the process ends, after the
// static destructors of a program that links the library.
LiveCollectors& Live()
{
    static LiveCollectors* const live = new LiveCollectors;
    return *live;
}

// Arms the timer unless a flush is already due; at most one arming per delay.
void ScheduleFlush(LiveCollectors& live)
{
    if (live.timer == nullptr || live.flushDue.exchange(true))
        return;
    const LONGLONG due = -10000LL * ipc_stats_collector::kDeferredFlushMs;  // relative, in 100 ns
    FILETIME dueTime{static_cast<DWORD>(due), static_cast<DWORD>(due >> 32)};
    SetThreadpoolTimer(live.timer, &dueTime, 0, 0);
}

}  // namespace

std::wstring ipc_stats_collector::StatsKeyPath()
{
    return JoinPath(Groundwork::kProductKeyPath, L"IPC_Stats");
}

std::wstring ipc_stats_collector::TimeoutKey(uint32_t waitMs, const std::wstring& requestName)
{
    std::wstring name = kTimeoutsPrefix + std::to_wstring(waitMs);
    if (!requestName.empty())
        name += L"#" + requestName;
    return name;
}

ipc_stats_collector::ipc_stats_collector()
{
    m_security.nLength = sizeof(m_security);
    m_security.bInheritHandle = FALSE;
    {
        Groundwork::MutexLock lock(m_lock);
        RefreshConfig();
    }
    LiveCollectors& live = Live();
    Groundwork::MutexLock guard(live.lock);
    live.collectors.push_back(this);
}

ipc_stats_collector::~ipc_stats_collector()
{
    {
        LiveCollectors& live = Live();
        Groundwork::MutexLock guard(live.lock);
        live.collectors.erase(std::find(live.collectors.begin(), live.collectors.end(), this));
    }
    Groundwork::MutexLock lock(m_lock);
    RefreshConfig();
    if (!m_enabled)
        return;
    // Any user of the machine can hold the global mutex, for ever: no wait.
    Flush(0);
    uint64_t dropped = 0;
    for (const auto& counter : m_counters)
        dropped += counter.second;
    if (dropped != 0)
        VT_LOG(ERR) << "Dropping " << dropped << " IPC statistics counts not written at close";
}

bool ipc_stats_collector::FlushAll()
{
    LiveCollectors& live = Live();
    bool retry = false;
    {
        Groundwork::MutexLock guard(live.lock);
        // Everything counted so far is flushed here; a count from now on
        // schedules the next flush.
        if (live.timer != nullptr)
            SetThreadpoolTimer(live.timer, nullptr, 0, 0);
        live.flushDue = false;
        for (ipc_stats_collector* collector : live.collectors)
        {
            Groundwork::MutexLock lock(collector->m_lock);
            collector->RefreshConfig();
            if (collector->m_enabled && !collector->Flush(0))
                retry = true;
        }
    }
    if (retry)
        ScheduleFlush(live);
    return !retry;
}

LONG ipc_stats_collector::QueryEnabledValue(DWORD& value)
{
    // The product key stays open between refreshes (every tenth send reads
    // the setting); it is opened again once it was deleted.
    LONG result = ERROR_KEY_DELETED;
    if (m_productKey.Handle() != nullptr)
        result = m_productKey.QueryDWORDValue(kEnabledValue, value);
    if (result != ERROR_KEY_DELETED)
        return result;
    m_productKey.Close();
    result = m_productKey.Open(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, Groundwork::kProductKeyRead);
    if (result != ERROR_SUCCESS)
    {
        VT_LOG(ERR) << "Failed to open Pathwarden key. Error " << result;
        return result;
    }
    return m_productKey.QueryDWORDValue(kEnabledValue, value);
}

void ipc_stats_collector::RefreshConfig()
{
    DWORD value = 0;
    const LONG result = QueryEnabledValue(value);
    if (m_productKey.Handle() == nullptr)
    {
        m_enabled = false;
        return;
    }
    if (result != ERROR_SUCCESS)
    {
        if (result != ERROR_FILE_NOT_FOUND)
            VT_LOG(INF) << "Failed to query \"" << kEnabledValue << "\" value. Error " << result;
        m_enabled = false;
        return;
    }
    const bool enabled = value != 0;
    // Counts gathered while collection was off are not reported.
    if (enabled && !m_enabled)
        m_counters.clear();
    m_enabled = enabled;
}

void ipc_stats_collector::Increment(const std::wstring& name)
{
    ++m_counters[name];
    if (m_enabled)
        ScheduleFlush(Live());
}

void ipc_stats_collector::RecordTimeout(uint32_t waitMs, const std::wstring& requestName)
{
    const std::wstring name = TimeoutKey(waitMs, requestName);
    Groundwork::MutexLock lock(m_lock);
    RefreshConfig();
    if (m_enabled)
    {
        Increment(name);
        Flush(0);
    }
}

uint32_t ipc_stats_collector::PendingCount(const std::wstring& name) const
{
    const auto it = m_counters.find(name);
    return it == m_counters.end() ? 0 : it->second;
}

bool ipc_stats_collector::EnsureSecurityDescriptor()
{
    if (m_securityDescriptor)
        return true;
    m_securityDescriptor = Groundwork::DescriptorFromSddl(kSecurityDescriptor);
    if (!m_securityDescriptor)
    {
        VT_LOG(ERR) << "Failed create scurity descriptor. Error " << GetLastError();
        return false;
    }
    m_security.lpSecurityDescriptor = m_securityDescriptor.get();
    return true;
}

bool ipc_stats_collector::AcquireMutex(DWORD waitMs, bool& busy)
{
    if (!m_mutex.valid())
    {
        if (!EnsureSecurityDescriptor())
            return false;
        HANDLE mutex = CreateMutexA(&m_security, FALSE, kMutexName);
        if (mutex == nullptr)
        {
            VT_LOG(ERR) << "Failed to create IPC stats mutex, error " << GetLastError();
            return false;
        }
        m_mutex.reset(mutex);
    }
    switch (WaitForSingleObject(m_mutex.get(), waitMs))
    {
    case WAIT_OBJECT_0:
        return true;
    case WAIT_TIMEOUT:
        busy = true;
        return false;
    case WAIT_ABANDONED:
        // Another writer died mid-flush; its values may be half written, so
        // this round is skipped.
        ::ReleaseMutex(m_mutex.get());
        busy = true;
        return false;
    default:
        VT_LOG(ERR) << "Mutex wait failed, error " << GetLastError();
        return false;
    }
}

void ipc_stats_collector::ReleaseMutex()
{
    if (!::ReleaseMutex(m_mutex.get()))
        VT_LOG(ERR) << "Mutex release failure. Error " << GetLastError();
}

bool ipc_stats_collector::Flush(DWORD mutexWaitMs)
{
    if (std::none_of(m_counters.begin(), m_counters.end(), [](const auto& counter) { return counter.second != 0; }))
        return true;
    bool busy = false;
    if (!AcquireMutex(mutexWaitMs, busy))
        return !busy;
    if (!EnsureSecurityDescriptor())
    {
        ReleaseMutex();
        return true;
    }
    {
        Groundwork::CRegKey key;
        const LONG result = key.Create(HKEY_LOCAL_MACHINE, StatsKeyPath().c_str(), nullptr,
                                       REG_OPTION_NON_VOLATILE, kStatsKeyAccess, &m_security, nullptr);
        if (result != ERROR_SUCCESS)
        {
            VT_LOG(ERR) << "Failed to open stats registry key. Error " << result;
            ReleaseMutex();
            return true;
        }
        for (auto& [name, count] : m_counters)
        {
            if (count == 0)
                continue;
            ULONGLONG stored = 0;
            LONG query = key.QueryQWORDValue(name.c_str(), stored);
            if (query == ERROR_FILE_NOT_FOUND)
                stored = 0;
            else if (query != ERROR_SUCCESS)
            {
                VT_LOG(ERR) << "Failed to query value \"" << name << "\". Error " << query;
                continue;
            }
            const LONG set = key.SetQWORDValue(name.c_str(), stored + count);
            if (set != ERROR_SUCCESS)
            {
                VT_LOG(ERR) << "Failed to set value \"" << name << "\". Error " << set;
                continue;
            }
            count = 0;
        }
    }
    ReleaseMutex();
    return true;
}

}  // namespace ipc
