/*
 * Control API of the session stand-in: the WTSAPI32.dll that the test prefix
 * installs in its system folder (drive_c/windows/system32/wtsapi32.dll, with
 * the DLL override "wtsapi32"="native" in the prefix's registry), so that
 * every program started in the prefix loads it instead of Wine's own.
 *
 * Configuration (shared by every process of the prefix, read on each call)
 * lives under HKLM\SOFTWARE\VantuSim\Wtsapi32 (64-bit view):
 *   "Sessions"        REG_MULTI_SZ  one entry per session, in enumeration
 *                                   order: "<id>,<state>,<user name>"
 *                                   (decimal; state as WTS_CONNECTSTATE_CLASS,
 *                                   0 WTSActive ... 9 WTSInit; user may be
 *                                   empty). An empty list means no session.
 *   "ConsoleSession"  DWORD         the session attached to the console: its
 *                                   window station is "Console" and its
 *                                   protocol type 0. Default 1.
 *   Failures\<function name>  DWORD  that export fails with this Win32 error
 *                                   on every call until the value is removed.
 * Without the key: one active session, number 1, whose user is the user
 * running the calling process (GetUserNameW), on the console.
 *
 * What the exports do:
 *  - WTSEnumerateSessionsW/A and WTSEnumerateSessionsExW/A (level 1) list the
 *    configured sessions; WTSQuerySessionInformationW/A answer WTSSessionId,
 *    WTSUserName, WTSWinStationName, WTSDomainName (computer name when a user
 *    is logged on), WTSConnectState and WTSClientProtocolType for a
 *    configured session or WTS_CURRENT_SESSION (the caller's own session as
 *    ProcessIdToSessionId reports it); other classes fail with
 *    ERROR_NOT_SUPPORTED, unknown sessions with ERROR_CTX_WINSTATION_NOT_FOUND.
 *    Only the local server (WTS_CURRENT_SERVER_HANDLE) is served.
 *  - WTSFreeMemory / WTSFreeMemoryExW/A free what they returned.
 *  - WTSQueryUserToken duplicates the caller's own token for a configured
 *    session with a user (ERROR_NO_TOKEN otherwise).
 *  - WTSRegister/UnRegisterSessionNotification(Ex) succeed (no notification
 *    ever comes); WTSEnumerateProcesses(Ex) list nothing.
 *  - Every other export of Windows' WTSAPI32.dll exists and fails with
 *    ERROR_CALL_NOT_IMPLEMENTED, so that programs importing them still load.
 *
 * Not covered: WTSGetActiveConsoleSessionId and ProcessIdToSessionId are
 * kernel32 functions; the prefix answers them from Wine itself and this DLL
 * cannot change them. Configure the session of that number (usually 1) to
 * give the console user a name.
 *
 * The control functions below are exported by the stand-in itself; load it
 * the way the library does (VantuSimWtsApi::Load) and call them. They edit
 * the registry key above, so they act on every process of the prefix.
 */
#ifndef VANTU_SIM_WTS_H
#define VANTU_SIM_WTS_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VantuSimWtsSession {
    DWORD sessionId;
    DWORD state;             /* WTS_CONNECTSTATE_CLASS value, 0..9 */
    const wchar_t* userName; /* null or "" for nobody logged on */
} VantuSimWtsSession;

/* Replaces the session list (count may be 0: no session at all) and the
 * console session. Returns a Win32 error: ERROR_INVALID_PARAMETER for a
 * state above 9, a name with a NUL, or sessions null with count > 0. */
typedef DWORD(WINAPI* VantuSimWts_SetSessionsFn)(const VantuSimWtsSession* sessions, DWORD count,
                                                 DWORD consoleSessionId);

/* From now on, every call of the named export (for example
 * "WTSEnumerateSessionsW") fails with that Win32 error; error 0 lets it
 * succeed again. Returns a Win32 error. */
typedef DWORD(WINAPI* VantuSimWts_FailCallFn)(const char* functionName, DWORD error);

/* Removes the whole configuration: back to the default session and no
 * injected failure. Returns a Win32 error. */
typedef DWORD(WINAPI* VantuSimWts_ResetFn)(void);

#ifdef __cplusplus
} /* extern "C" */

/* The stand-in loaded exactly as the library loads WTSAPI32.dll. */
struct VantuSimWtsApi
{
    VantuSimWts_SetSessionsFn SetSessions = nullptr;
    VantuSimWts_FailCallFn FailCall = nullptr;
    VantuSimWts_ResetFn Reset = nullptr;

    /* True when the system folder's WTSAPI32.dll is the stand-in. */
    bool Load()
    {
        HMODULE module = LoadLibraryExW(L"WTSAPI32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr)
            return false;
        SetSessions = reinterpret_cast<VantuSimWts_SetSessionsFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "VantuSimWts_SetSessions")));
        FailCall = reinterpret_cast<VantuSimWts_FailCallFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "VantuSimWts_FailCall")));
        Reset = reinterpret_cast<VantuSimWts_ResetFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "VantuSimWts_Reset")));
        return SetSessions != nullptr && FailCall != nullptr && Reset != nullptr;
    }
};
#endif /* __cplusplus */

#endif /* VANTU_SIM_WTS_H */
