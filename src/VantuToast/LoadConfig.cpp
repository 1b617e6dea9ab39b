// The DLL's load configuration. The library imports bcrypt.dll and other
// system DLLs that are not KnownDLLs; without this the loader resolves them
// through the host's search path (its own folder, the current folder...),
// where another user may have planted a DLL of that name. The dependent-load
// flags make the loader take this image's imports from System32 only.
//
// MinGW toolchains have no default load configuration: the linker (lld;
// GNU ld 2.40 ignores it) fills the image's load-config directory from this
// object. An MSVC build gets the same with /DEPENDENTLOADFLAG:0x800, its C
// runtime defining _load_config_used itself.
#include <windows.h>

#if defined(__MINGW32__)
// Positional: mingw-w64 10 calls the flags field Reserved1, later headers
// DependentLoadFlags.
extern "C" const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64),  // Size
    0,                                       // TimeDateStamp
    0, 0,                                    // MajorVersion, MinorVersion
    0, 0,                                    // GlobalFlagsClear, GlobalFlagsSet
    0,                                       // CriticalSectionDefaultTimeout
    0, 0,                                    // DeCommitFreeBlockThreshold, DeCommitTotalFreeThreshold
    0,                                       // LockPrefixTable
    0, 0,                                    // MaximumAllocationSize, VirtualMemoryThreshold
    0,                                       // ProcessAffinityMask
    0,                                       // ProcessHeapFlags
    0,                                       // CSDVersion
    LOAD_LIBRARY_SEARCH_SYSTEM32,            // DependentLoadFlags
    0, 0, 0, 0,                              // EditList, SecurityCookie, SEHandlerTable, SEHandlerCount
};
#endif
