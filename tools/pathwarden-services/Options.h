// Command line of the reference product services.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace services {

enum class HandshakeFault
{
    kNone,
    kRefuse,     // close the first pipe after reading the client's buffer
    kCorrupt,    // flip a salt byte after the tag was computed
    kShort,      // answer with a 43-byte body
    kWrongPids,  // tag made for another client process identifier
    kSilent,     // never answer
    kExtraFrame, // one more frame right behind the answer, on the first pipe
    // Rogue servers:
    kRemotePath,        // the answer names the transport pipe on a remote host
    kForeignTransport,  // the transport pipe named is served by a second process
    kReflect,           // the client's own handshake body is sent back as the answer
};

enum class HeaderFault
{
    kNone,
    kVersion,   // replies carry header version 2
    kTiny,      // replies declare a frame size below the header size
    kOversize,  // replies declare 0xA00001 bytes
};

struct Faults
{
    uint32_t delayMs = 0;          // every reply waits this long
    bool reversePairs = false;     // two requests answered in reverse order
    uint32_t dropEvery = 0;        // no reply to every N-th request of a client
    bool unknownId = false;        // a reply for an identifier nobody asked for, before each reply
    uint32_t garbageBytes = 0;     // bytes without a synchronisation sequence before each reply
    HeaderFault header = HeaderFault::kNone;
    bool sendUnsupported = false;  // a protocol-2 frame to the client before each reply
    bool sendEvent = false;        // an event notification (protocol 4) before each reply
    bool malformedReplies = false; // a 14-byte reply and one with identifier 0 before each reply
    HandshakeFault handshake = HandshakeFault::kNone;
    bool missingTransport = false; // the answer names a pipe that is never created
    // The transport pipe stays busy for a moment after the answer and is
    // withdrawn if the client hangs up the first pipe before it opened it.
    bool withdrawTransport = false;
    uint32_t closeAfter = 0;       // close a transport pipe after it received N frames
    // Read nothing from a client for this long after it opened the first
    // pipe, and again after it opened its transport pipe: its handshake is
    // answered late and its writes stay pending meanwhile.
    uint32_t pauseReadingMs = 0;
};

struct Options
{
    std::wstring settingsFile;      // hosts "SettingManager" when given
    std::vector<uint32_t> uiSessions;  // hosts "UIManager_<N>" for each
    std::wstring eventsFile;        // "-" or empty: standard output
    std::wstring readyFile;
    std::wstring stopEvent;         // named event that ends the program
    std::wstring rawEchoPipe;       // raw pipe echoing protocol-1 frames (benchmark baseline)
    bool keepRegistry = false;      // leave the registry values behind on exit
    bool verbose = false;
    Faults faults;
};

// Parses arguments after the program name. False with a message on error;
// `help` is set for --help.
bool ParseOptions(const std::vector<std::wstring>& args, Options& options, bool& help, std::wstring& error);

const wchar_t* UsageText();

}  // namespace services
