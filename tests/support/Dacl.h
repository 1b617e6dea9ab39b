// Who a file's or a pipe's DACL lets in, for the tests of what must keep
// others out.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/ScopedHandle.h"

namespace testsupport {

// Each access-allowed entry of `object` (a file or pipe opened with
// READ_CONTROL) as its SID in text and its rights, generic rights mapped to
// the file rights. Empty when the DACL cannot be read or is absent (an absent
// DACL lets everyone in).
inline std::vector<std::pair<std::wstring, DWORD>> AllowedAces(HANDLE object)
{
    std::vector<std::pair<std::wstring, DWORD>> allowed;
    Groundwork::LocalMemory<PSECURITY_DESCRIPTOR> sd;
    PACL dacl = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        sd.put()) != ERROR_SUCCESS)
        return allowed;
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i)
    {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        LPWSTR sid = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !ConvertSidToStringSidW(&ace->SidStart, &sid))
            continue;
        DWORD mask = ace->Mask;
        MapGenericMask(&mask, &mapping);
        allowed.emplace_back(sid, mask);
        LocalFree(sid);
    }
    return allowed;
}

}  // namespace testsupport
