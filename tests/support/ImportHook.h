// Replaces, for the calls this program (or another module loaded in it) makes,
// one function that it imports from a system DLL, by patching the module's
// import address table; the original is restored when the hook is destroyed.
// Lets a test see which system calls the code makes, or delay them.
#pragma once

#include <windows.h>

#include <cstring>

namespace testsupport {

class ImportHook
{
public:
    ImportHook(const char* dll, const char* function, void* replacement, HMODULE module = nullptr)
    {
        auto* base = reinterpret_cast<uint8_t*>(module != nullptr ? module : GetModuleHandleW(nullptr));
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (imports.VirtualAddress == 0)
            return;
        for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             entry->Name != 0; ++entry)
        {
            if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), dll) != 0)
                continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
                base + (entry->OriginalFirstThunk != 0 ? entry->OriginalFirstThunk : entry->FirstThunk));
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots)
            {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                    continue;
                const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                    continue;
                m_slot = reinterpret_cast<void**>(&slots->u1.Function);
                m_original = *m_slot;
                Patch(replacement);
                return;
            }
        }
    }
    ~ImportHook()
    {
        if (m_slot != nullptr)
            Patch(m_original);
    }
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;

    // False when the program does not import the function: nothing in it
    // can call the function then.
    bool Installed() const { return m_slot != nullptr; }
    void* Original() const { return m_original; }

private:
    void Patch(void* value)
    {
        DWORD old = 0;
        VirtualProtect(m_slot, sizeof(void*), PAGE_READWRITE, &old);
        *m_slot = value;
        VirtualProtect(m_slot, sizeof(void*), old, &old);
    }

    void** m_slot = nullptr;
    void* m_original = nullptr;
};

}  // namespace testsupport
