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

// A symbolic link at `link` to `target` (a file or a folder). Wine 8's
// CreateSymbolicLinkW reports success and makes nothing, so under Wine the
// link is a Unix one, made by /bin/ln, which Windows programs there see.
inline bool PlantSymbolicLink(const std::wstring& link, const std::wstring& target)
{
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr)
    {
        const DWORD directory = GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_DIRECTORY;
        return CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                   (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                                       SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != FALSE;
    }
    const auto unix = [unixName](const std::wstring& path) {
        char* name = unixName(path.c_str());
        std::wstring wide;
        for (const char* c = name; c != nullptr && *c != '\0'; ++c)
            wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
        if (name != nullptr)
            HeapFree(GetProcessHeap(), 0, name);
        return wide;
    };
    std::wstring command = L"/bin/ln -s \"" + unix(target) + L"\" \"" + unix(link) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    const Groundwork::ScopedHandle process(info.hProcess);
    const Groundwork::ScopedHandle thread(info.hThread);
    DWORD code = 1;
    return WaitForSingleObject(process.Get(), 10000) == WAIT_OBJECT_0 && GetExitCodeProcess(process.Get(), &code) &&
           code == 0;
}

}  // namespace testsupport
