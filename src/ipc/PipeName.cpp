#include "ipc/PipeName.h"

#include "logging/RepeatedFailures.h"
#include "platform/CObfuscatedRegKey.h"

namespace ipc {

namespace {
constexpr wchar_t kLogModule[] = L"PipeName";
}

std::wstring PipeName(const std::wstring& valueName)
{
    if (valueName.empty())
    {
        VT_LOG_REPEAT(ERR) << "Invalid PipeName Registry Entry";
        return std::wstring();
    }
    Groundwork::CObfuscatedRegKey key;
    LONG result = key.Open(HKEY_LOCAL_MACHINE, kServersKeyPath, kServersKeyRead);
    if (result != ERROR_SUCCESS)
    {
        VT_LOG_REPEAT(WRN) << "Failed to open Pathwarden registry key. Error " << result;
        return std::wstring();
    }
    wchar_t buffer[kPipeNameMaxChars + 1] = {};
    ULONG chars = kPipeNameMaxChars;
    result = key.QueryStringValue(valueName.c_str(), buffer, &chars);
    if (result != ERROR_SUCCESS)
    {
        VT_LOG_REPEAT(WRN) << "Failed to query pipe name from registry. Error " << result;
        return std::wstring();
    }
    buffer[kPipeNameMaxChars] = L'\0';
    return std::wstring(buffer);
}

}  // namespace ipc
