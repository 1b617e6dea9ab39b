// Log line layout and file naming: plain C++, no Windows headers, so the
// formats can be tested and fuzzed on any platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>

enum class LogSeverity : uint32_t
{
    CRT = 0,
    ERR = 1,
    WRN = 2,
    INF = 3,
    DBG = 4,
};

// Three-letter tag of a severity ("ERR"); "???" for values outside the table.
const wchar_t* LogSeverityTag(LogSeverity severity);

struct SourceLocation
{
    const wchar_t* file;  // module name, or a path whose last component is shown
    uint32_t line;
};

// Whether `module` is the base name, without its extension, of the source
// file `path` (a compiler's file name, with either kind of separator). Every
// file names itself in its log lines, so that a name and a line number point
// at one place in the code.
constexpr bool IsSourceBaseName(const wchar_t* module, const char* path)
{
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    const char* end = base;  // the last '.', or the end of the name
    for (const char* p = base; *p != '\0'; ++p)
        if (*p == '.')
            end = p;
    if (*end != '.')
        while (*end != '\0')
            ++end;
    size_t i = 0;
    for (; module[i] != L'\0'; ++i)
        if (base + i == end || static_cast<wchar_t>(static_cast<unsigned char>(base[i])) != module[i])
            return false;
    return i != 0 && base + i == end;
}

// "[YYYYmmdd HH:MM:SS.mmm][base@line]: " for a local time and its milliseconds.
void WriteLinePrefix(std::wostream& out, const std::tm& localTime, int milliseconds,
                     const SourceLocation& location);

// Whether a code unit can end or forge a line: a C0 control or DEL. Every
// other unit is written as it stands, so that UTF-8 text in narrow pieces
// (widened byte by byte) reaches the file byte for byte.
constexpr bool IsControlCharacter(wchar_t unit)
{
    return unit < 0x20 || unit == 0x7F;
}

// `text` with every such control character written as an escape ("\n", "\r",
// "\t", otherwise "\x" and two hexadecimal digits), so that no text from
// another process can end a log line or start one of its own. Text without
// control characters comes back unchanged.
std::wstring EscapeControlCharacters(std::wstring text);

// The bytes a finished line takes on disk: one byte per UTF-16 code unit
// (ISO 8859-1), "?" for a unit that has no such byte, and "\r\n" for "\n".
std::string EncodeLogLine(const std::wstring& line);

// Each code unit of the name XOR-ed with the next key character (wrapping),
// written as four upper-case hexadecimal digits.
std::wstring EncodeUserNameForFileName(const std::wstring& userName, const std::wstring& key);
