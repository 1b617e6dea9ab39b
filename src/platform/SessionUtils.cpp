#include "platform/SessionUtils.h"

#include <windows.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <mutex>
#include <vector>

#include "base/UniqueAny.h"
#include "logging/Logger.h"
#include "platform/ScopedHandle.h"

namespace Groundwork {

namespace {

constexpr wchar_t kLogModule[] = L"SessionUtils";
constexpr wchar_t kUnknownUser[] = L"UNKNOWN";

struct WtsApi
{
    decltype(&WTSEnumerateSessionsW) enumerateSessions = nullptr;
    decltype(&WTSQuerySessionInformationW) querySessionInformation = nullptr;
    decltype(&WTSFreeMemory) freeMemory = nullptr;

    bool Usable() const { return enumerateSessions && querySessionInformation && freeMemory; }
};

template <typename Fn>
Fn Resolve(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// WTSAPI32.dll stays loaded for the life of the process once found.
const WtsApi& Wts()
{
    static WtsApi api;
    static std::once_flag once;
    std::call_once(once, [] {
        // From the system folder only: a copy beside the host must not win.
        HMODULE module = LoadLibraryExW(L"WTSAPI32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr)
            return;
        api.enumerateSessions = Resolve<decltype(api.enumerateSessions)>(module, "WTSEnumerateSessionsW");
        api.querySessionInformation =
            Resolve<decltype(api.querySessionInformation)>(module, "WTSQuerySessionInformationW");
        api.freeMemory = Resolve<decltype(api.freeMemory)>(module, "WTSFreeMemory");
    });
    return api;
}

// Only called for a buffer that a WTS query returned, so the functions are
// resolved.
void FreeWtsMemory(void* memory)
{
    Wts().freeMemory(memory);
}

// A buffer returned by a WTS query.
using WtsBuffer = Groundwork::UniqueNull<void*, FreeWtsMemory>;

// The active session `preferred` when it is listed, else the first active
// session in enumeration order.
bool FindActiveSession(uint32_t preferred, uint32_t& sessionId)
{
    sessionId = kNoSession;
    const WtsApi& api = Wts();
    if (!api.Usable())
    {
        VT_LOG(ERR) << "WTSEnumerateSessions failed: " << ERROR_PROC_NOT_FOUND;
        return false;
    }

    WtsBuffer sessions;
    DWORD count = 0;
    if (!api.enumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1,
                               reinterpret_cast<PWTS_SESSION_INFOW*>(sessions.put()), &count))
    {
        VT_LOG(ERR) << "WTSEnumerateSessions failed: " << GetLastError();
        return false;
    }
    const WTS_SESSION_INFOW* entries = static_cast<const WTS_SESSION_INFOW*>(sessions.get());
    for (DWORD i = 0; entries != nullptr && i < count; ++i)
    {
        if (entries[i].State != WTSActive)
            continue;
        if (sessionId == kNoSession)
            sessionId = entries[i].SessionId;
        if (preferred == kNoSession || entries[i].SessionId == preferred)
        {
            sessionId = entries[i].SessionId;
            break;
        }
    }
    return sessionId != kNoSession;
}

}  // namespace

bool GetActiveSessionId(uint32_t& sessionId)
{
    return FindActiveSession(kNoSession, sessionId);
}

bool GetOwnOrActiveSessionId(uint32_t& sessionId)
{
    return FindActiveSession(GetCurrentProcessSessionId(), sessionId);
}

uint32_t GetCurrentProcessSessionId()
{
    DWORD sessionId = kNoSession;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &sessionId) || sessionId != kNoSession)
        return sessionId;

    VT_LOG(WRN) << "ProcessIdToSessionId failed: " << GetLastError();
    const WtsApi& api = Wts();
    if (!api.Usable())
    {
        VT_LOG(ERR) << "WTSQuerySessionInformation failed: " << ERROR_PROC_NOT_FOUND;
        return kNoSession;
    }
    WtsBuffer buffer;
    DWORD bytes = 0;
    if (api.querySessionInformation(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSSessionId,
                                    reinterpret_cast<LPWSTR*>(buffer.put()), &bytes) &&
        buffer.get() != nullptr && bytes == sizeof(DWORD))
        return *static_cast<DWORD*>(buffer.get());

    VT_LOG(ERR) << "WTSQuerySessionInformation failed: " << GetLastError();
    return kNoSession;
}

std::wstring GetConsoleUserName()
{
    const DWORD consoleSession = WTSGetActiveConsoleSessionId();
    if (consoleSession == kNoSession)
    {
        OutputDebugStringW(L"Error retrieving session id for generating log name.");
        return kUnknownUser;
    }

    const WtsApi& api = Wts();
    if (!api.Usable())
    {
        OutputDebugStringW(L"WTSQuerySessionInformation failed to retrieve current user name for the log name.");
        return kUnknownUser;
    }
    WtsBuffer buffer;
    DWORD bytes = 0;
    if (!api.querySessionInformation(WTS_CURRENT_SERVER_HANDLE, consoleSession, WTSUserName,
                                     reinterpret_cast<LPWSTR*>(buffer.put()), &bytes) ||
        buffer.get() == nullptr)
    {
        OutputDebugStringW(L"WTSQuerySessionInformation failed to retrieve current user name for the log name.");
        return kUnknownUser;
    }
    if (bytes <= sizeof(wchar_t))
    {
        OutputDebugStringW(
            L"WTSQuerySessionInformation failed to retrieve the size of the current user name for the log name.");
        return kUnknownUser;
    }
    return std::wstring(static_cast<wchar_t*>(buffer.get()), bytes / sizeof(wchar_t) - 1);
}

std::wstring CurrentUserSidString()
{
    ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return std::wstring();
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<uint64_t> user(size / sizeof(uint64_t) + 1);
    LPWSTR text = nullptr;
    if (!GetTokenInformation(token.get(), TokenUser, user.data(), static_cast<DWORD>(user.size() * sizeof(uint64_t)),
                             &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text))
        return std::wstring();
    std::wstring sid(text);
    LocalFree(text);
    return sid;
}

}  // namespace Groundwork
