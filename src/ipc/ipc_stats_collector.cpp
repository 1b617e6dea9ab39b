#include "ipc/ipc_stats_collector.h"

#include <sddl.h>

#include "logging/Logger.h"
#include "platform/CRegKey.h"
#include "platform/JoinPath.h"
#include "platform/ProductRegistry.h"

namespace ipc {

namespace {
constexpr wchar_t kLogModule[] = L"ipc_stats_collector";
}

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
    Groundwork::MutexLock lock(m_lock);
    RefreshConfig();
}

ipc_stats_collector::~ipc_stats_collector()
{
    {
        Groundwork::MutexLock lock(m_lock);
        RefreshConfig();
        if (m_enabled)
        {
            // Any user of the machine can hold the global mutex, for ever.
            Flush(kTeardownMutexWaitMs);
            uint64_t dropped = 0;
            for (const auto& counter : m_counters)
                dropped += counter.second;
            if (dropped != 0)
                VT_LOG(ERR) << "Dropping " << dropped << " IPC statistics counts not written within "
                            << kTeardownMutexWaitMs << " ms";
        }
    }
    m_mutex.reset();
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
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kSecurityDescriptor, SDDL_REVISION_1,
                                                              m_securityDescriptor.put(), nullptr))
    {
        VT_LOG(ERR) << "Failed create scurity descriptor. Error " << GetLastError();
        (void)m_securityDescriptor.release();  // nothing of ours to free
        return false;
    }
    m_security.lpSecurityDescriptor = m_securityDescriptor.get();
    return true;
}

bool ipc_stats_collector::AcquireMutex(DWORD waitMs)
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
        return false;
    case WAIT_ABANDONED:
        // Another writer died mid-flush; its values may be half written, so
        // this round is skipped.
        ::ReleaseMutex(m_mutex.get());
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

void ipc_stats_collector::Flush(DWORD mutexWaitMs)
{
    if (!AcquireMutex(mutexWaitMs))
        return;
    if (!EnsureSecurityDescriptor())
    {
        ReleaseMutex();
        return;
    }
    {
        Groundwork::CRegKey key;
        const LONG result = key.Create(HKEY_LOCAL_MACHINE, StatsKeyPath().c_str(), nullptr,
                                       REG_OPTION_NON_VOLATILE, kStatsKeyAccess, &m_security, nullptr);
        if (result != ERROR_SUCCESS)
        {
            VT_LOG(ERR) << "Failed to open stats registry key. Error " << result;
            ReleaseMutex();
            return;
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
}

}  // namespace ipc
