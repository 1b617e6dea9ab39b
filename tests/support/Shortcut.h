// Reading back the Start-menu shortcut as the shell stored it. (Wine's shell
// link keeps the application identity in memory only, so it is not read.)
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include <string>

#include <wrl/client.h>

namespace testsupport {

struct ShortcutContents
{
    std::wstring target;
    std::wstring icon;
};

inline ShortcutContents ReadShortcut(const std::wstring& path)
{
    ShortcutContents contents;
    Microsoft::WRL::ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link))))
        return contents;
    Microsoft::WRL::ComPtr<IPersistFile> file;
    if (FAILED(link.As(&file)) || FAILED(file->Load(path.c_str(), STGM_READ)))
        return contents;
    wchar_t buffer[MAX_PATH] = {};
    if (SUCCEEDED(link->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH)))
        contents.target = buffer;
    int index = -1;
    buffer[0] = L'\0';
    if (SUCCEEDED(link->GetIconLocation(buffer, MAX_PATH, &index)))
        contents.icon = buffer;
    return contents;
}

// Windows keeps a URL target as it is; Wine resolves it like a relative file
// path against the current folder ("https:\\host\\path").
inline bool TargetIs(const std::wstring& stored, std::wstring url)
{
    if (stored == url)
        return true;
    url.replace(url.find(L"//"), 2, L"\\");
    for (auto& c : url)
        c = c == L'/' ? L'\\' : c;
    return stored.size() >= url.size() && stored.compare(stored.size() - url.size(), url.size(), url) == 0;
}

}  // namespace testsupport
