// Library entry point. Nothing runs under the loader lock except recording
// the module handle: the logger starts on its first use, outside DllMain,
// and still names its folder after this library's file.
//
// Thread notifications stay on: the statically linked C++ and thread
// runtimes free their per-thread data at thread detach, also for host and
// platform threads that called into the library.
#include <windows.h>

#include "logging/Logger.h"
#include "logging/ProcessExit.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        Logger::SetStartupModule(instance);
    }
    else if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
    {
        // The process is exiting and its other threads are gone: the static
        // objects they used are left as they are (ExitSafe).
        ProcessExit::Begin();
    }
    return TRUE;
}
