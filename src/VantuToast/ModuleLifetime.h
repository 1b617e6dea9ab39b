// Keeps the library in the process, once it has been used, until the process
// ends. The notification platform holds handlers of ours for toasts on screen
// and calls them on its own threads, and the service connections run threads
// of ours; a host may unload the library at any time. A reference that our
// own code gives up always leaves some of that code to run after it (the rest
// of a destructor, the return), and no quiet period proves that the thread
// running it got there before the image was unmapped. A pinned image is never
// unmapped, so FreeLibrary is harmless at any time, any number of times.
#pragma once

namespace ModuleLifetime {

// Pins the library's module on the first call; later calls cost one load.
void Pin();

}  // namespace ModuleLifetime
