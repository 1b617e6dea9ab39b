// A mutex in the global namespace that every process of the machine which
// changes one shared thing (a log file and its backups, a user's Start-menu
// shortcut) takes around the change, whichever user it runs as.
//
// The name is public, so anyone may create it first: with a DACL that shuts
// us out, or to hold it for ever. A wait is therefore always bounded, and a
// lock that could not be had (busy past the wait, or unavailable) is left
// alone for a hold-off period: callers then go on without it, and a hostile
// holder costs a thread at most one wait per period.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/Lock.h"
#include "platform/ScopedHandle.h"

namespace Groundwork {

// Authenticated users may wait on and release the mutex (so that every user
// who may change the shared thing can take it); only the system and
// administrators may change it otherwise.
extern const wchar_t kCrossProcessLockSddl[];

class CCrossProcessLock
{
public:
    enum class Result
    {
        Acquired,     // held by the calling thread (taken over if abandoned)
        Busy,         // another holder kept it past the wait
        Unavailable,  // cannot be created or opened (name taken, DACL, type)
        HeldOff,      // an earlier attempt failed; not tried until the hold-off ends
    };

    // "Global\" + prefix + "-" + a hash of the key, case-folded: one name for
    // every spelling of one path. The key may be of any length.
    static std::wstring NameFor(const wchar_t* prefix, const std::wstring& key);

    // Nothing is opened until the first Acquire.
    CCrossProcessLock(std::wstring name, const wchar_t* sddl, DWORD holdOffMs = kDefaultHoldOffMs);
    ~CCrossProcessLock() = default;
    CCrossProcessLock(const CCrossProcessLock&) = delete;
    CCrossProcessLock& operator=(const CCrossProcessLock&) = delete;

    // Waits at most `timeoutMs` for the mutex. Every result but Acquired
    // starts (or continues) the hold-off. Any thread may call; the mutex is
    // owned by the thread that acquired it and must be released by it.
    Result Acquire(DWORD timeoutMs) EXCLUDES(m_lock);
    void Release() EXCLUDES(m_lock);

    // The Win32 error of the last Unavailable result (0 for the others).
    DWORD LastError() const EXCLUDES(m_lock);
    const std::wstring& Name() const { return m_name; }

    static constexpr DWORD kDefaultHoldOffMs = 3 * 60 * 1000;

private:
    HANDLE OpenLocked() REQUIRES(m_lock);
    void StartHoldOffLocked() REQUIRES(m_lock);

    const std::wstring m_name;
    const wchar_t* const m_sddl;
    const DWORD m_holdOffMs;
    // Guards the handle's creation and the hold-off; never held while waiting.
    mutable Mutex m_lock;
    ScopedHandle m_mutex GUARDED_BY(m_lock);
    uint64_t m_holdOffUntil GUARDED_BY(m_lock) = 0;  // GetTickCount64 value
    DWORD m_lastError GUARDED_BY(m_lock) = 0;
};

// Holds a CCrossProcessLock for its scope when it could be had.
class CrossProcessHold
{
public:
    CrossProcessHold(CCrossProcessLock& lock, DWORD timeoutMs) : m_lock(lock), m_result(lock.Acquire(timeoutMs)) {}
    ~CrossProcessHold()
    {
        if (held())
            m_lock.Release();
    }
    CrossProcessHold(const CrossProcessHold&) = delete;
    CrossProcessHold& operator=(const CrossProcessHold&) = delete;

    bool held() const { return m_result == CCrossProcessLock::Result::Acquired; }
    CCrossProcessLock::Result result() const { return m_result; }

private:
    CCrossProcessLock& m_lock;
    const CCrossProcessLock::Result m_result;
};

}  // namespace Groundwork
