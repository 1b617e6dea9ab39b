// Questions about Windows sessions, answered through WTSAPI32.dll, which is
// loaded by name on first use.
#pragma once

#include <cstdint>
#include <string>

namespace Groundwork {

constexpr uint32_t kNoSession = 0xFFFFFFFF;

// First session in enumeration order whose state is active.
bool GetActiveSessionId(uint32_t& sessionId);

// The calling process's own session when it is active; otherwise the first
// active one, as GetActiveSessionId. On a machine with several active
// sessions, what one user does must reach that user's session.
bool GetOwnOrActiveSessionId(uint32_t& sessionId);

// Session of the calling process, or kNoSession.
uint32_t GetCurrentProcessSessionId();

// User logged on at the console, or "UNKNOWN". Reports through the debugger
// output only: it runs while the logger itself is being started.
std::wstring GetConsoleUserName();

// The user the process runs as, in SDDL form ("S-1-5-21-..."); empty when
// the token cannot be read. For descriptors that grant that user alone.
std::wstring CurrentUserSidString();

}  // namespace Groundwork
