// Library entry point. Nothing runs under the loader lock except recording
// the module handle: the logger starts on its first use, outside DllMain,
// and still names its folder after this library's file.
#include <windows.h>

#include "logging/Logger.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        DisableThreadLibraryCalls(instance);
        Logger::SetStartupModule(instance);
    }
    return TRUE;
}
