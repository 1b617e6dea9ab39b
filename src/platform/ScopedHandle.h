// Owners of Windows handles and memory, each a UniqueAny.
#pragma once

#include <windows.h>

#include "base/UniqueAny.h"

namespace Groundwork {

// A kernel handle is empty when null or INVALID_HANDLE_VALUE (CreateFile's
// failure value); both mean there is nothing to close.
struct KernelHandleTraits
{
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void Close(Type handle) { CloseHandle(handle); }
};

using ScopedHandle = UniqueAny<KernelHandleTraits>;

// A directory search from FindFirstFileW, empty when INVALID_HANDLE_VALUE.
struct FindHandleTraits
{
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type handle) { return handle != INVALID_HANDLE_VALUE; }
    static void Close(Type handle) { FindClose(handle); }
};

using FindHandle = UniqueAny<FindHandleTraits>;

template <typename T>
void FreeLocalMemory(T memory)
{
    LocalFree(memory);
}

// Memory from LocalAlloc, or handed out by an API to be freed with LocalFree,
// held as the pointer type the API fills in.
template <typename T>
using LocalMemory = UniqueNull<T, FreeLocalMemory<T>>;

inline void FreeSidMemory(PSID sid)
{
    FreeSid(sid);
}

// A SID from AllocateAndInitializeSid.
using Sid = UniqueNull<PSID, FreeSidMemory>;

inline void CloseRegistryKey(HKEY key)
{
    RegCloseKey(key);
}

// A raw registry key (CRegKey is the library's registry interface).
using RegistryKey = UniqueNull<HKEY, CloseRegistryKey>;

}  // namespace Groundwork
