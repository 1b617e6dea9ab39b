// A complete host of VantuToast.dll: load it, create a toast object,
// initialise, show one signed template, wait until the toast ends, release,
// unload. Every result is checked; the exit code is 0 only when all went well.
//
//   minimal-host.exe TEMPLATE [SECONDS]
//
// The toast ends when the user clicks or dismisses it or when it times out;
// after SECONDS (default 30) of waiting the host dismisses it itself.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "IVantuToast.h"

// The slots return only whether they succeeded; the library's log says why not.
static int Fail(const char* step)
{
    std::fprintf(stderr, "minimal-host: %s failed\n", step);
    return 1;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: minimal-host TEMPLATE [SECONDS]\n");
        return 2;
    }
    const DWORD waitMs = argc > 2 ? static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) * 1000 : 30000;

    HMODULE dll = LoadLibraryW(L"VantuToast.dll");
    if (!dll)
    {
        std::fprintf(stderr, "minimal-host: VantuToast.dll not loaded, error %lu\n", GetLastError());
        return 1;
    }
    auto create = reinterpret_cast<CreateVantuToastObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(dll, "CreateVantuToastObject")));
    IVantuToast* toast = create ? create() : nullptr;
    if (!toast)
    {
        FreeLibrary(dll);
        return Fail("CreateVantuToastObject");
    }

    int status = 0;
    const int toastId = 1;  // chosen by the host, unique among its toasts
    HANDLE ended = nullptr;  // the host owns this event and closes it
    if (!toast->Initialize())
        status = Fail("Initialize");
    else if (!toast->ShowToastFromTemplate(toastId, argv[1], &ended) || !ended)
        status = Fail("ShowToastFromTemplate");
    else if (WaitForSingleObject(ended, waitMs) == WAIT_OBJECT_0)
        std::printf("toast %d ended\n", toastId);
    else if (!toast->DismissToast(toastId) || WaitForSingleObject(ended, 10000) != WAIT_OBJECT_0)
        status = Fail("DismissToast");
    else
        std::printf("toast %d dismissed by the host after %lu ms\n", toastId, waitMs);
    if (ended)
        CloseHandle(ended);

    // Release every object before unloading, as with any COM-style object.
    // FreeLibrary is harmless at any time: once an object was created the
    // library stays in the process until it exits (toasts on screen may
    // still call into it), so loading it again later costs nothing.
    if (!toast->Release())
        status = Fail("Release");
    if (!FreeLibrary(dll))
        status = Fail("FreeLibrary");
    return status;
}
