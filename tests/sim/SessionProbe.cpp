// A program of the test prefix that knows nothing of the tests: loads
// WTSAPI32.dll the ordinary way (no search flags) and prints what it says,
// after starting COM, the shell and the Windows Runtime like any desktop
// program would.
//   module=<path of the WTSAPI32.dll it got>
//   session=<id>,<state>,<window station>,<user name>   (one per session)
//   enumerate-error=<Win32 error>                       (instead, on failure)
//   shell=ok | shell=<HRESULT>
//   winrt=ok | winrt=<HRESULT>
#include <windows.h>
#include <knownfolders.h>
#include <roapi.h>
#include <shlobj.h>
#include <wtsapi32.h>

#include <cstdio>
#include <string>

namespace {

std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

}  // namespace

int main(int, char**)
{
    HMODULE module = LoadLibraryW(L"wtsapi32.dll");
    if (module == nullptr)
    {
        std::printf("module-error=%lu\n", GetLastError());
        return 1;
    }
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    std::printf("module=%s\n", Narrow(path).c_str());

    using Enumerate = decltype(&WTSEnumerateSessionsW);
    using Query = decltype(&WTSQuerySessionInformationW);
    using Free = decltype(&WTSFreeMemory);
    auto enumerate = reinterpret_cast<Enumerate>(reinterpret_cast<void*>(GetProcAddress(module, "WTSEnumerateSessionsW")));
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(module, "WTSQuerySessionInformationW")));
    auto release = reinterpret_cast<Free>(reinterpret_cast<void*>(GetProcAddress(module, "WTSFreeMemory")));
    if (enumerate == nullptr || query == nullptr || release == nullptr)
        return 2;

    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    if (!enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count))
    {
        std::printf("enumerate-error=%lu\n", GetLastError());
    }
    else
    {
        for (DWORD i = 0; i < count; ++i)
        {
            LPWSTR user = nullptr;
            DWORD bytes = 0;
            const bool named = query(WTS_CURRENT_SERVER_HANDLE, sessions[i].SessionId, WTSUserName, &user, &bytes);
            std::printf("session=%lu,%d,%s,%s\n", sessions[i].SessionId, static_cast<int>(sessions[i].State),
                        Narrow(sessions[i].pWinStationName).c_str(), named ? Narrow(user).c_str() : "<error>");
            if (user != nullptr)
                release(user);
        }
        release(sessions);
    }

    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    PWSTR programs = nullptr;
    if (SUCCEEDED(hr))
        hr = SHGetKnownFolderPath(FOLDERID_Programs, 0, nullptr, &programs);
    CoTaskMemFree(programs);
    std::printf(SUCCEEDED(hr) ? "shell=ok\n" : "shell=0x%08lx\n", static_cast<unsigned long>(hr));
    CoUninitialize();

    hr = RoInitialize(RO_INIT_MULTITHREADED);
    std::printf(SUCCEEDED(hr) ? "winrt=ok\n" : "winrt=0x%08lx\n", static_cast<unsigned long>(hr));
    if (SUCCEEDED(hr))
        RoUninitialize();
    std::fflush(stdout);
    return 0;
}
