// Log line layout and file naming: plain C++, no Windows headers, so the
// formats can be tested and fuzzed on any platform.
#pragma once

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

// "[YYYYmmdd HH:MM:SS.mmm][base@line]: " for a local time and its milliseconds.
void WriteLinePrefix(std::wostream& out, const std::tm& localTime, int milliseconds,
                     const SourceLocation& location);

// The bytes a finished line takes on disk: one byte per UTF-16 code unit
// (ISO 8859-1), "?" for a unit that has no such byte, and "\r\n" for "\n".
std::string EncodeLogLine(const std::wstring& line);

// Each code unit of the name XOR-ed with the next key character (wrapping),
// written as four upper-case hexadecimal digits.
std::wstring EncodeUserNameForFileName(const std::wstring& userName, const std::wstring& key);
