// Where a product service's first pipe is found: a sealed string value named
// after the service under HKLM\SOFTWARE\Zelnor\Pathwarden\Servers.
#pragma once

#include <string>

#include <windows.h>

namespace ipc {

constexpr wchar_t kServersKeyPath[] = L"SOFTWARE\\Zelnor\\Pathwarden\\Servers";
constexpr REGSAM kServersKeyRead = READ_CONTROL | KEY_QUERY_VALUE | KEY_WOW64_64KEY;  // 0x20101
constexpr ULONG kPipeNameMaxChars = 255;

// The pipe path sealed under `valueName`, or an empty string.
std::wstring PipeName(const std::wstring& valueName);

}  // namespace ipc
