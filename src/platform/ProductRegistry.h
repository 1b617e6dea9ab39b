// The product's configuration key, always read in the 64-bit registry view.
#pragma once

#include <windows.h>

namespace Groundwork {

constexpr wchar_t kProductKeyPath[] = L"SOFTWARE\\Zelnor\\Pathwarden";
constexpr REGSAM kProductKeyRead = KEY_READ | KEY_WOW64_64KEY;  // 0x20119

}  // namespace Groundwork
