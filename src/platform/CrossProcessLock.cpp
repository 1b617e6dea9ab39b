#include "platform/CrossProcessLock.h"

#include "platform/SecurityDescriptor.h"

#include <cwchar>

namespace Groundwork {

const wchar_t kCrossProcessLockSddl[] = L"D:(A;;0x00100001;;;AU)(A;;GA;;;SY)(A;;GA;;;BA)";

std::wstring CCrossProcessLock::NameFor(const wchar_t* prefix, const std::wstring& key)
{
    // FNV-1a over the upper-cased UTF-16 units: the name must not hold a
    // backslash and must stay short, and a collision only makes two keys
    // share one lock.
    std::wstring folded = key;
    if (!folded.empty())
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, key.c_str(), static_cast<int>(key.size()), &folded[0],
                      static_cast<int>(folded.size()), nullptr, nullptr, 0);
    uint64_t hash = 0xcbf29ce484222325ull;
    for (wchar_t unit : folded)
        hash = (hash ^ static_cast<uint16_t>(unit)) * 0x100000001b3ull;
    wchar_t hex[17] = L"";
    swprintf(hex, 17, L"%016llX", static_cast<unsigned long long>(hash));
    return std::wstring(L"Global\\") + prefix + L"-" + hex;
}

CCrossProcessLock::CCrossProcessLock(std::wstring name, const wchar_t* sddl, DWORD holdOffMs)
    : m_name(std::move(name)), m_sddl(sddl), m_holdOffMs(holdOffMs)
{
}

HANDLE CCrossProcessLock::OpenLocked()
{
    if (m_mutex.valid())
        return m_mutex.get();
    const auto descriptor = DescriptorFromSddl(m_sddl);
    if (descriptor.get() == nullptr)
    {
        m_lastError = GetLastError();
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    // Opens the mutex when another process made it first (our DACL is then
    // theirs); fails with ERROR_ACCESS_DENIED when its DACL shuts us out and
    // ERROR_INVALID_HANDLE when the name is another kind of object.
    m_mutex.reset(CreateMutexW(&attributes, FALSE, m_name.c_str()));
    if (!m_mutex.valid())
        m_lastError = GetLastError();
    return m_mutex.get();
}

void CCrossProcessLock::StartHoldOffLocked()
{
    m_holdOffUntil = GetTickCount64() + m_holdOffMs;
}

CCrossProcessLock::Result CCrossProcessLock::Acquire(DWORD timeoutMs)
{
    HANDLE mutex = nullptr;
    {
        MutexLock guard(m_lock);
        if (m_holdOffUntil != 0 && GetTickCount64() < m_holdOffUntil)
            return Result::HeldOff;
        m_holdOffUntil = 0;
        m_lastError = 0;
        mutex = OpenLocked();
        if (mutex == nullptr)
        {
            StartHoldOffLocked();
            return Result::Unavailable;
        }
    }
    // The handle stays open for the object's life, so it is safe to wait on
    // outside the lock.
    switch (WaitForSingleObject(mutex, timeoutMs))
    {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // a holder died; what it guarded is ours to check
        return Result::Acquired;
    case WAIT_TIMEOUT:
    {
        MutexLock guard(m_lock);
        StartHoldOffLocked();
        return Result::Busy;
    }
    default:
    {
        MutexLock guard(m_lock);
        m_lastError = GetLastError();
        StartHoldOffLocked();
        return Result::Unavailable;
    }
    }
}

void CCrossProcessLock::Release()
{
    HANDLE mutex = nullptr;
    {
        MutexLock guard(m_lock);
        mutex = m_mutex.get();
    }
    ReleaseMutex(mutex);
}

DWORD CCrossProcessLock::LastError() const
{
    MutexLock guard(m_lock);
    return m_lastError;
}

}  // namespace Groundwork
