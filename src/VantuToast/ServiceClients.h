// The toast component's process-wide clients of the product services: the
// settings client (shortcut target) and the UI host client (result records).
#pragma once

#include <string>

// Replaces `target` (holding the default) with the "HowItWorksUrl" setting
// when the settings-manager service delivers it.
void ReadShortcutTarget(std::string& target);

// The clients live while the toast machinery is initialised. Closing them
// ends their connections and threads on the caller's thread, so that
// nothing is left to join when the library is unloaded (threads cannot be
// joined under the loader lock).
void OpenServiceClients();
void CloseServiceClients();
