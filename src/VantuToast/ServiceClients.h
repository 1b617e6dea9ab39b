// The toast component's process-wide client of the settings-manager service
// (the shortcut target). The UI host client is UIClient::Instance().
#pragma once

#include <string>

// Replaces `target` (holding the default) with the "HowItWorksUrl" setting
// when the settings-manager service delivers it. Reads on several threads
// run at once, over one connection.
void ReadShortcutTarget(std::string& target);

// Writes what the service connections counted to the registry now (the last
// Release). Another process's hold of the statistics mutex is outlasted for
// up to about two seconds, outside every lock of ours; after that the
// deferred flush tries again a second later.
void FlushServiceStatistics();
