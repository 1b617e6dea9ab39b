// Security descriptors written as SDDL, converted into an owner.
#pragma once

#include <windows.h>
#include <sddl.h>

#include "platform/ScopedHandle.h"

namespace Groundwork {

// The descriptor `sddl` gives (revision 1); empty when the text is refused,
// with the reason in GetLastError.
inline LocalMemory<PSECURITY_DESCRIPTOR> DescriptorFromSddl(const wchar_t* sddl)
{
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    // On failure the slot holds nothing of ours to free.
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.put(), nullptr))
        (void)descriptor.release();
    return descriptor;
}

}  // namespace Groundwork
