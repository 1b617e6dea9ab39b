// The Start-menu shortcut belongs to the user, not to one process: every
// process of the user with initialised toast objects needs it. Whether it may
// go ("am I the last?") and whether it must be made ("is it missing?") are
// decided under one cross-process lock per user, named from the user's SID.
//
// Each process with initialised objects holds a handle to a per-user named
// "presence" object. At its last Release, under the lock, a process closes its
// handle and tries to open the name: only when nobody else holds one (the name
// is gone) is the shortcut deleted. The system closes a dead process's handle,
// so a crash leaves nothing that blocks a later removal.
//
// When the lock cannot be had (its name taken by someone else, or held past
// the wait), the process falls back to keeping the shortcut by its own count,
// and says so once.
#pragma once

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>

#include "base/Lock.h"
#include "platform/CrossProcessLock.h"
#include "platform/ScopedHandle.h"

class ShortcutSharing
{
public:
    static ShortcutSharing& Instance();

    // The user's lock for one Initialize or Release. Taken before any lock of
    // ours (the initialisation mutex included), since it waits.
    class Hold
    {
    public:
        Hold();
        bool held() const { return m_hold && m_hold->held(); }

    private:
        std::optional<Groundwork::CrossProcessHold> m_hold;  // none without the user's SID
    };

    // This process holds initialised objects from now on.
    void Join() EXCLUDES(m_lock);
    // This process holds none any more. True when the shortcut may be removed:
    // no other process of the user holds any, or the lock was not had (then
    // this process decides alone).
    bool Leave(const Hold& hold) EXCLUDES(m_lock);

    // Names of the two objects, for the user the process runs as.
    static std::wstring LockName(const std::wstring& sid);
    static std::wstring PresenceName(const std::wstring& sid);

    static constexpr DWORD kLockWaitMs = 10000;

    ShortcutSharing();
    ~ShortcutSharing() = default;
    ShortcutSharing(const ShortcutSharing&) = delete;
    ShortcutSharing& operator=(const ShortcutSharing&) = delete;

private:
    const std::wstring m_sid;
    // Grants the user and SYSTEM; nobody else can take or hold the objects
    // that we create.
    const std::wstring m_sddl;
    Groundwork::CCrossProcessLock m_crossProcess;
    const std::wstring m_presenceName;
    std::atomic<bool> m_fallbackLogged{false};
    Groundwork::Mutex m_lock;  // never held while waiting
    Groundwork::ScopedHandle m_presence GUARDED_BY(m_lock);
};
