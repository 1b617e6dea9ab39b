#include "VantuToast/ShortcutSharing.h"

#include "logging/Logger.h"
#include "logging/ProcessExit.h"
#include "platform/SecurityDescriptor.h"
#include "platform/SessionUtils.h"

namespace {

constexpr wchar_t kLogModule[] = L"ShortcutSharing";

}  // namespace

ShortcutSharing& ShortcutSharing::Instance()
{
    // Not destroyed at process exit: the system closes the handles then.
    static ExitSafe<ShortcutSharing> instance;
    return instance.Get();
}

std::wstring ShortcutSharing::LockName(const std::wstring& sid)
{
    return L"Global\\ZelnorPathwardenShortcutLock-" + sid;
}

std::wstring ShortcutSharing::PresenceName(const std::wstring& sid)
{
    return L"Global\\ZelnorPathwardenShortcutUsers-" + sid;
}

ShortcutSharing::ShortcutSharing()
    : m_sid(Groundwork::CurrentUserSidString()),
      m_sddl(m_sid.empty() ? std::wstring() : L"D:(A;;GA;;;" + m_sid + L")(A;;GA;;;SY)"),
      m_crossProcess(LockName(m_sid), m_sddl.c_str()),
      m_presenceName(PresenceName(m_sid))
{
}

ShortcutSharing::Hold::Hold()
{
    ShortcutSharing& sharing = Instance();
    if (!sharing.m_sid.empty())
        m_hold.emplace(sharing.m_crossProcess, kLockWaitMs);
    if (held() || sharing.m_fallbackLogged.exchange(true))
        return;
    // Logged once: the fallback lasts as long as the lock's hold-off, and comes back.
    if (m_hold && m_hold->result() == Groundwork::CCrossProcessLock::Result::Busy)
        VT_LOG(ERR) << "Shortcut lock " << sharing.m_crossProcess.Name()
                    << " held past the wait: this process creates and removes the shortcut on its own count";
    else
        VT_LOG(ERR) << "Shortcut lock " << sharing.m_crossProcess.Name() << " unavailable, error "
                    << (m_hold ? sharing.m_crossProcess.LastError() : DWORD{ERROR_NO_TOKEN})
                    << ": this process creates and removes the shortcut on its own count";
}

void ShortcutSharing::Join()
{
    Groundwork::MutexLock guard(m_lock);
    if (m_presence.valid() || m_sid.empty())
        return;
    const auto descriptor = Groundwork::DescriptorFromSddl(m_sddl.c_str());
    if (descriptor.get() == nullptr)
    {
        VT_LOG(ERR) << "Shortcut presence descriptor failed: " << GetLastError();
        return;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    // Opens the object when another process of the user made it first.
    m_presence.reset(CreateEventW(&attributes, TRUE, FALSE, m_presenceName.c_str()));
    if (!m_presence.valid())
        VT_LOG(ERR) << "Shortcut presence " << m_presenceName << " not created: " << GetLastError();
}

bool ShortcutSharing::Leave(const Hold& hold)
{
    Groundwork::MutexLock guard(m_lock);
    m_presence.reset();
    if (!hold.held())
        return true;
    // Any other holder keeps the object, and so its name, alive. A name we
    // cannot open (someone else's object) counts as held: the shortcut stays.
    const Groundwork::ScopedHandle other(OpenEventW(SYNCHRONIZE, FALSE, m_presenceName.c_str()));
    return !other.valid() && GetLastError() == ERROR_FILE_NOT_FOUND;
}
