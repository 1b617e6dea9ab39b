// How the session stand-in stores its configuration: sessions as text
// entries of one REG_MULTI_SZ value. Pure formatting and parsing, no OS
// calls, so that it builds and is tested anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VantuSim {

// Connection states as WTS_CONNECTSTATE_CLASS numbers them.
constexpr uint32_t kWtsActive = 0;
constexpr uint32_t kWtsMaxState = 9;  // WTSInit

struct SimSession
{
    uint32_t id = 0;
    uint32_t state = kWtsActive;
    std::wstring userName;  // empty: nobody logged on
};

// "<id>,<state>,<user name>" with decimal numbers; the user name is the rest
// of the entry and may be empty.
std::wstring FormatSession(const SimSession& session);
// False for anything FormatSession would not produce (missing fields,
// non-decimal or out-of-range numbers, an unknown state).
bool ParseSession(const std::wstring& text, SimSession& session);

// REG_MULTI_SZ payload: every entry followed by a NUL, and one more NUL at
// the end (an empty list is a single NUL).
std::wstring JoinMultiString(const std::vector<std::wstring>& entries);
// Reads entries up to the first empty one or the end of the data, which
// need not be terminated.
std::vector<std::wstring> SplitMultiString(const wchar_t* data, size_t length);

// Name of the window station of a session: "Services" for session 0,
// "Console" for the console session, "RDP-Tcp#<id>" otherwise.
std::wstring StationName(uint32_t sessionId, uint32_t consoleSessionId);

}  // namespace VantuSim
