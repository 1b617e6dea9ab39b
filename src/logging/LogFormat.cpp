#include "logging/LogFormat.h"

#include <cwchar>
#include <iomanip>

const wchar_t* LogSeverityTag(LogSeverity severity)
{
    switch (severity)
    {
    case LogSeverity::CRT: return L"CRT";
    case LogSeverity::ERR: return L"ERR";
    case LogSeverity::WRN: return L"WRN";
    case LogSeverity::INF: return L"INF";
    case LogSeverity::DBG: return L"DBG";
    }
    return L"???";
}

void WriteLinePrefix(std::wostream& out, const std::tm& localTime, int milliseconds,
                     const SourceLocation& location)
{
    wchar_t stamp[64] = L"";
    wcsftime(stamp, sizeof(stamp) / sizeof(stamp[0]), L"[%Y%m%d %H:%M:%S.", &localTime);

    const wchar_t* file = location.file ? location.file : L"";
    const wchar_t* slash = std::wcsrchr(file, L'\\');
    const wchar_t* base = slash ? slash + 1 : file;

    out << stamp << std::setw(3) << std::setfill(L'0') << milliseconds << std::setfill(L' ')
        << L"][" << base << L'@' << location.line << L"]: ";
}

std::wstring EscapeControlCharacters(std::wstring text)
{
    size_t first = 0;
    while (first < text.size() && !IsControlCharacter(text[first]))
        ++first;
    if (first == text.size())
        return text;
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring escaped(text, 0, first);
    escaped.reserve(text.size() + 8);
    for (size_t i = first; i < text.size(); ++i)
    {
        const wchar_t unit = text[i];
        if (!IsControlCharacter(unit))
            escaped += unit;
        else if (unit == L'\n')
            escaped += L"\\n";
        else if (unit == L'\r')
            escaped += L"\\r";
        else if (unit == L'\t')
            escaped += L"\\t";
        else
        {
            escaped += L"\\x";
            escaped += kHex[(unit >> 4) & 0xF];
            escaped += kHex[unit & 0xF];
        }
    }
    return escaped;
}

std::string EncodeLogLine(const std::wstring& line)
{
    std::string bytes;
    bytes.reserve(line.size() + 2);
    for (wchar_t unit : line)
    {
        if (unit == L'\n')
            bytes += "\r\n";
        else if (static_cast<uint32_t>(unit) < 0x100)
            bytes += static_cast<char>(static_cast<unsigned char>(unit));
        else
            bytes += '?';
    }
    return bytes;
}

std::wstring EncodeUserNameForFileName(const std::wstring& userName, const std::wstring& key)
{
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring encoded;
    if (key.empty())
        return encoded;
    encoded.reserve(userName.size() * 4);
    for (size_t i = 0; i < userName.size(); ++i)
    {
        const uint16_t value = static_cast<uint16_t>(userName[i]) ^ static_cast<uint16_t>(key[i % key.size()]);
        for (int shift = 12; shift >= 0; shift -= 4)
            encoded += kHex[(value >> shift) & 0xF];
    }
    return encoded;
}
