// Who an object's DACL lets in: for tests of pipes, files and keys that must
// keep others out.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/ScopedHandle.h"

namespace testsupport {

// Each access-allowed entry as its SID in text and its rights, generic
// rights mapped to the file rights (which pipes share). Empty when the DACL
// cannot be read or is absent (an absent DACL lets everyone in).
using AllowedAces = std::vector<std::pair<std::wstring, DWORD>>;

inline AllowedAces ReadAllowedAces(PACL dacl)
{
    AllowedAces allowed;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i)
    {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        LPWSTR sid = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !ConvertSidToStringSidW(&ace->SidStart, &sid))
            continue;
        GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
        DWORD mask = ace->Mask;
        MapGenericMask(&mask, &mapping);
        allowed.emplace_back(sid, mask);
        LocalFree(sid);
    }
    return allowed;
}

// The DACL of an open handle (opened with READ_CONTROL).
inline AllowedAces AllowedAcesOf(HANDLE object)
{
    Groundwork::LocalMemory<PSECURITY_DESCRIPTOR> sd;
    PACL dacl = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        sd.put()) != ERROR_SUCCESS)
        return {};
    return ReadAllowedAces(dacl);
}

// The DACL of a file or folder.
inline AllowedAces AllowedAcesOf(const std::wstring& file)
{
    Groundwork::LocalMemory<PSECURITY_DESCRIPTOR> sd;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, sd.put()) != ERROR_SUCCESS)
        return {};
    return ReadAllowedAces(dacl);
}

}  // namespace testsupport
