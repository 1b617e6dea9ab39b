#include "Options.h"

#include <cwchar>

namespace services {

namespace {

bool ParseNumber(const std::wstring& text, uint32_t& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t result = 0;
    for (wchar_t c : text)
    {
        if (c < L'0' || c > L'9')
            return false;
        result = result * 10 + static_cast<uint64_t>(c - L'0');
    }
    if (result > UINT32_MAX)
        return false;
    value = static_cast<uint32_t>(result);
    return true;
}

}  // namespace

const wchar_t* UsageText()
{
    return L"pathwarden-services: the settings-manager and UI host services at the pipe ends.\n"
           L"\n"
           L"  --settings FILE       host \"SettingManager\"; FILE is a JSON object of setting\n"
           L"                        names to string values, answered to \"get-setting\"\n"
           L"  --ui-session N        host \"UIManager_N\" (repeatable)\n"
           L"  --events FILE         append one JSON line per \"TriggerHubEvent\" received\n"
           L"                        (default: standard output)\n"
           L"  --ready-file FILE     written once every pipe listens\n"
           L"  --stop-event NAME     end when this named event is set (Ctrl+C works too)\n"
           L"  --raw-echo PIPE       also serve PIPE raw: protocol-1 frames are echoed\n"
           L"                        as they are (benchmark baseline)\n"
           L"  --keep-registry       leave the sealed pipe names behind on exit\n"
           L"  --verbose             report connections and faults on standard error\n"
           L"  --help\n"
           L"\n"
           L"Every hosted service writes its first pipe's path, sealed, to\n"
           L"HKLM\\SOFTWARE\\Zelnor\\Pathwarden\\Servers under its name. Any request with the\n"
           L"verb \"echo\" is answered with its own bytes.\n"
           L"\n"
           L"Faults, for tests:\n"
           L"  --delay-ms N          answer every request N ms late\n"
           L"  --reverse-pairs       hold each first request until the next one arrives,\n"
           L"                        then answer the second before the first\n"
           L"  --drop-every N        never answer every N-th request of a client\n"
           L"  --unknown-id          before each reply, send one for an identifier nobody asked for\n"
           L"  --garbage N           send N garbage bytes before each reply\n"
           L"  --bad-header MODE     replies carry a bad header: version | tiny | oversize\n"
           L"  --send-unsupported    send a protocol-2 frame before each reply\n"
           L"  --send-event          send an event notification before each reply, its name\n"
           L"                        holding a line break\n"
           L"  --malformed-replies   before each reply, send a 14-byte reply frame and one\n"
           L"                        with identifier 0\n"
           L"  --handshake MODE      refuse | corrupt | short | wrong-pids | silent |\n"
           L"                        extra-frame (a frame right behind the answer), or a rogue\n"
           L"                        server: remote-path (names \\\\127.0.0.1\\pipe\\...),\n"
           L"                        foreign-transport (a second process serves the transport\n"
           L"                        pipe), reflect (sends the client's own body back)\n"
           L"  --missing-transport   name a transport pipe that does not exist\n"
           L"  --withdraw-transport  keep the transport pipe busy for 200 ms after the answer\n"
           L"                        and withdraw it if the client hangs up the first pipe\n"
           L"                        before it opened the transport pipe\n"
           L"  --close-after N       close a transport pipe once it received N frames\n"
           L"  --pause-reading N     read nothing from a client for N ms after it opens the\n"
           L"                        first pipe, and again after it opens its transport pipe\n";
}

bool ParseOptions(const std::vector<std::wstring>& args, Options& options, bool& help, std::wstring& error)
{
    help = false;
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::wstring& arg = args[i];
        auto value = [&](std::wstring& out) {
            if (i + 1 >= args.size())
            {
                error = arg + L" needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto number = [&](uint32_t& out) {
            std::wstring text;
            if (!value(text))
                return false;
            if (!ParseNumber(text, out))
            {
                error = arg;
                error += L" needs a number, not ";
                error += text;
                return false;
            }
            return true;
        };
        std::wstring text;
        uint32_t n = 0;
        if (arg == L"--help" || arg == L"-h" || arg == L"/?")
            help = true;
        else if (arg == L"--settings")
        {
            if (!value(options.settingsFile))
                return false;
        }
        else if (arg == L"--ui-session")
        {
            if (!number(n))
                return false;
            options.uiSessions.push_back(n);
        }
        else if (arg == L"--events")
        {
            if (!value(options.eventsFile))
                return false;
        }
        else if (arg == L"--ready-file")
        {
            if (!value(options.readyFile))
                return false;
        }
        else if (arg == L"--stop-event")
        {
            if (!value(options.stopEvent))
                return false;
        }
        else if (arg == L"--raw-echo")
        {
            if (!value(options.rawEchoPipe))
                return false;
        }
        else if (arg == L"--keep-registry")
            options.keepRegistry = true;
        else if (arg == L"--verbose")
            options.verbose = true;
        else if (arg == L"--delay-ms")
        {
            if (!number(options.faults.delayMs))
                return false;
        }
        else if (arg == L"--reverse-pairs")
            options.faults.reversePairs = true;
        else if (arg == L"--drop-every")
        {
            if (!number(options.faults.dropEvery))
                return false;
        }
        else if (arg == L"--unknown-id")
            options.faults.unknownId = true;
        else if (arg == L"--garbage")
        {
            if (!number(options.faults.garbageBytes))
                return false;
        }
        else if (arg == L"--bad-header")
        {
            if (!value(text))
                return false;
            if (text == L"version")
                options.faults.header = HeaderFault::kVersion;
            else if (text == L"tiny")
                options.faults.header = HeaderFault::kTiny;
            else if (text == L"oversize")
                options.faults.header = HeaderFault::kOversize;
            else
            {
                error = L"--bad-header takes version, tiny or oversize";
                return false;
            }
        }
        else if (arg == L"--send-unsupported")
            options.faults.sendUnsupported = true;
        else if (arg == L"--send-event")
            options.faults.sendEvent = true;
        else if (arg == L"--malformed-replies")
            options.faults.malformedReplies = true;
        else if (arg == L"--handshake")
        {
            if (!value(text))
                return false;
            if (text == L"refuse")
                options.faults.handshake = HandshakeFault::kRefuse;
            else if (text == L"corrupt")
                options.faults.handshake = HandshakeFault::kCorrupt;
            else if (text == L"short")
                options.faults.handshake = HandshakeFault::kShort;
            else if (text == L"wrong-pids")
                options.faults.handshake = HandshakeFault::kWrongPids;
            else if (text == L"silent")
                options.faults.handshake = HandshakeFault::kSilent;
            else if (text == L"extra-frame")
                options.faults.handshake = HandshakeFault::kExtraFrame;
            else if (text == L"remote-path")
                options.faults.handshake = HandshakeFault::kRemotePath;
            else if (text == L"foreign-transport")
                options.faults.handshake = HandshakeFault::kForeignTransport;
            else if (text == L"reflect")
                options.faults.handshake = HandshakeFault::kReflect;
            else
            {
                error = L"--handshake takes refuse, corrupt, short, wrong-pids, silent, extra-frame, remote-path, "
                        L"foreign-transport or reflect";
                return false;
            }
        }
        else if (arg == L"--missing-transport")
            options.faults.missingTransport = true;
        else if (arg == L"--withdraw-transport")
            options.faults.withdrawTransport = true;
        else if (arg == L"--close-after")
        {
            if (!number(options.faults.closeAfter))
                return false;
        }
        else if (arg == L"--pause-reading")
        {
            if (!number(options.faults.pauseReadingMs))
                return false;
        }
        else
        {
            error = L"unknown option " + arg;
            return false;
        }
    }
    if (!help && options.settingsFile.empty() && options.uiSessions.empty() && options.rawEchoPipe.empty())
    {
        error = L"nothing to host: give --settings and/or --ui-session";
        return false;
    }
    return true;
}

}  // namespace services
