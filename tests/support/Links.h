// Links planted by tests, as another local user would plant them.
#pragma once

#include <windows.h>

#include <string>

#include "platform/ScopedHandle.h"

namespace testsupport {

// A hard link at `link` to the existing file `target`.
inline bool PlantHardLink(const std::wstring& link, const std::wstring& target)
{
    return CreateHardLinkW(link.c_str(), target.c_str(), nullptr) != FALSE;
}

namespace detail {

using UnixFileName = char*(CDECL*)(LPCWSTR);

inline UnixFileName WineUnixFileName()
{
    return reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

// The Unix name of `path`, whose folder must exist.
inline std::wstring UnixPath(UnixFileName unixName, const std::wstring& path)
{
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos)
        return std::wstring();
    char* folder = unixName(path.substr(0, slash).c_str());
    if (folder == nullptr)
        return std::wstring();
    std::wstring wide;
    for (const char* c = folder; *c != '\0'; ++c)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    HeapFree(GetProcessHeap(), 0, folder);
    return wide + L"/" + path.substr(slash + 1);
}

// Runs a Unix program under Wine and waits until `done` holds. Wine hands
// the command line over split at spaces, quotes and all (test paths have no
// spaces), and its exit code does not reach us.
template <typename Condition>
bool RunUnix(std::wstring command, Condition done)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    const Groundwork::ScopedHandle process(info.hProcess);
    const Groundwork::ScopedHandle thread(info.hThread);
    for (const ULONGLONG deadline = GetTickCount64() + 10000; !done(); Sleep(5))
        if (GetTickCount64() > deadline)
            return false;
    return true;
}

}  // namespace detail

// A symbolic link at `link` to the existing `target` (a file or a folder).
// Wine 8's CreateSymbolicLinkW reports success and makes nothing, so the link
// is a Unix one, which Windows programs under Wine see (the suite runs under
// Wine only).
inline bool PlantSymbolicLink(const std::wstring& link, const std::wstring& target)
{
    const auto exists = [&link] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; };
    const detail::UnixFileName unixName = detail::WineUnixFileName();
    if (unixName == nullptr)
        return false;
    const std::wstring from = detail::UnixPath(unixName, target);
    const std::wstring to = detail::UnixPath(unixName, link);
    return !from.empty() && !to.empty() && detail::RunUnix(L"/bin/ln -s " + from + L" " + to, exists);
}

// Removes a symbolic link itself (under Wine, DeleteFileW would delete its
// target), so that the test's folder can be removed.
inline void RemoveSymbolicLink(const std::wstring& link)
{
    const auto gone = [&link] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; };
    const detail::UnixFileName unixName = detail::WineUnixFileName();
    const std::wstring path = unixName != nullptr ? detail::UnixPath(unixName, link) : std::wstring();
    if (!path.empty())
        detail::RunUnix(L"/bin/rm -f " + path, gone);
}

}  // namespace testsupport
