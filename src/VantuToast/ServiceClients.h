// The toast component's process-wide clients of the product services: the
// settings client (shortcut target) and the UI host client (result records).
#pragma once

#include <string>

// Replaces `target` (holding the default) with the "HowItWorksUrl" setting
// when the settings-manager service delivers it.
void ReadShortcutTarget(std::string& target);

// Ends both clients' connections and joins their threads, on the caller's
// thread. The library does this on a thread of its own once nothing uses it
// any more (ModuleLifetime), so that nothing is left to join when it is
// unloaded: threads cannot be joined under the loader lock. A later use
// connects again.
void CloseServiceClients();
