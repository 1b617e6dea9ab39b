// The product's registry key as tests change it: values set for a test and
// removed again afterwards.
#pragma once

#include <windows.h>

#include "platform/CRegKey.h"
#include "platform/ProductRegistry.h"

namespace testsupport {

// The product key opened (created if need be) for writing; false if not.
inline bool OpenProductKey(Groundwork::CRegKey& key, bool create = true)
{
    constexpr REGSAM kAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;
    return (create ? key.Create(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, nullptr, REG_OPTION_NON_VOLATILE,
                                kAccess)
                   : key.Open(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, kAccess)) == ERROR_SUCCESS;
}

inline bool SetProductValue(const wchar_t* name, DWORD value)
{
    Groundwork::CRegKey key;
    return OpenProductKey(key) && key.SetDWORDValue(name, value) == ERROR_SUCCESS;
}
inline bool SetProductValue(const wchar_t* name, const wchar_t* value)
{
    Groundwork::CRegKey key;
    return OpenProductKey(key) && key.SetStringValue(name, value) == ERROR_SUCCESS;
}

inline void DeleteProductValue(const wchar_t* name)
{
    Groundwork::CRegKey key;
    if (OpenProductKey(key, false))
        key.DeleteValue(name);
}

inline void DeleteProductSubkey(const wchar_t* name)
{
    Groundwork::CRegKey key;
    if (OpenProductKey(key, false))
        key.RecurseDeleteKey(name);
}

}  // namespace testsupport
