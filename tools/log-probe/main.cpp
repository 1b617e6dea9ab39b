// Loads VantuToast.dll as a host would, writes one line through the logger
// of the shared library code and prints where it went.
#include <windows.h>

#include <cstdio>

#include "logging/Logger.h"
#include "logging/LoggerStartup.h"

namespace {
constexpr wchar_t kLogModule[] = L"LogProbe";
}

int main()
{
    HMODULE dll = LoadLibraryW(L"VantuToast.dll");
    if (dll == nullptr)
    {
        std::fwprintf(stderr, L"LoadLibrary(VantuToast.dll) failed: %lu\n", GetLastError());
        return 1;
    }
    std::wprintf(L"VantuToast.dll loaded at %p\n", static_cast<void*>(dll));
    FreeLibrary(dll);

    VT_LOG(CRT) << "log-probe wrote this line; severity threshold " << Logger::Instance().Level();
    std::wstring folder;
    if (!LogFolder(nullptr, folder))
        return 1;
    std::wprintf(L"log folder: %ls\n", folder.c_str());
    return 0;
}
