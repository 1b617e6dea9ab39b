// VantuToast.dll — the interface a host program uses.
//
// The host loads VantuToast.dll, calls CreateVantuToastObject and drives
// everything through the returned object's eight virtual slots, in this fixed
// order: destructor, Initialize, Release, ShowToastFromTemplate,
// ShowToastFromXml, StopTrackingToast, DismissToast, DismissAllToasts.
//
// Binary contract: the slots pass std::wstring by reference, and compilers lay
// out a virtual destructor's vtable entries differently (GCC and Clang use two
// entries, MSVC one). A host must therefore be built with the same compiler
// family and C++ library as the DLL: with mingw-w64 GCC and libstdc++ for the
// DLL built here.
//
// Ownership: the host owns the object (end it with Release, slot 2) and every
// toast event handle it receives (close it with CloseHandle).
//
// Lifetime: once the first object is created the library stays in the
// process until the process ends, whatever the host does: toasts it showed
// may still end, and report, after the host released every object and
// called FreeLibrary. FreeLibrary is harmless at any time and any number of
// times; loading the library again finds it in place and costs nothing.
//
// Threads: any thread may call any slot. An object initialises the Windows
// Runtime (multithreaded apartment) on the thread that creates it and
// balances that only on the same thread; destroyed on another thread, it
// leaves that thread's apartment alone.
#pragma once

#include <windows.h>

#include <string>

class IVantuToast
{
public:
    // Slot 0. Balances the object's own Windows Runtime initialisation when
    // called on the creating thread.
    virtual ~IVantuToast() = default;

    // Slot 1. Counts the object; the first call in the process registers the
    // Start-menu shortcut. Returns whether the process is initialised.
    virtual bool Initialize() = 0;

    // Slot 2. Uncounts and destroys the object; the call that brings the
    // process's count to zero removes the shortcut.
    virtual bool Release() = 0;

    // Slot 3. Shows a signed toast template. On success (and on some late
    // failures) *toastEvent receives an auto-reset event that is set when the
    // toast ends; the host closes it.
    virtual bool ShowToastFromTemplate(int toastId, const std::wstring& templatePath, HANDLE* toastEvent) = 0;

    // Slot 4. Shows toast XML. Same event contract as slot 3.
    virtual bool ShowToastFromXml(int toastId, const std::wstring& xml, HANDLE* toastEvent) = 0;

    // Slot 5. Forgets the toast with this ID (always true).
    virtual bool StopTrackingToast(int toastId) = 0;

    // Slot 6. Hides the tracked toast with this ID (an unknown ID is success).
    virtual bool DismissToast(int toastId) = 0;

    // Slot 7. Hides every tracked toast.
    virtual bool DismissAllToasts() = 0;
};

// The library's only export. Returns null when the object cannot be allocated.
extern "C" IVantuToast* CreateVantuToastObject();

using CreateVantuToastObjectFn = IVantuToast* (*)();
