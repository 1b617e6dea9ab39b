// Keeps the library loaded while anything that can run its code lives: toast
// objects, the handlers the notification platform holds for toasts, and the
// service clients with their connection threads. A host may unload the
// library at any time; the platform may raise a toast's events after that.
#pragma once

namespace ModuleLifetime {

// One more user. The first takes a reference on the library's own module.
void Hold();

// One user fewer. After the last, a thread of the library's own closes the
// service clients (joining their threads, never under the loader lock) and
// gives the module reference up with FreeLibraryAndExitThread.
void Drop();

}  // namespace ModuleLifetime

// A user for the lifetime of a scope or an object.
class ModuleHold
{
public:
    ModuleHold() { ModuleLifetime::Hold(); }
    ~ModuleHold() { ModuleLifetime::Drop(); }
    ModuleHold(const ModuleHold&) = delete;
    ModuleHold& operator=(const ModuleHold&) = delete;
    ModuleHold(ModuleHold&&) = delete;
    ModuleHold& operator=(ModuleHold&&) = delete;
};
