#include "sim/wtsapi32/SessionConfig.h"

namespace VantuSim {

namespace {

// Decimal digits only, no sign, no leading blanks, fitting 32 bits.
bool ParseNumber(const std::wstring& text, size_t begin, size_t end, uint32_t& value)
{
    if (begin >= end || end - begin > 10)
        return false;
    uint64_t result = 0;
    for (size_t i = begin; i < end; ++i)
    {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
        result = result * 10 + static_cast<uint64_t>(text[i] - L'0');
    }
    if (result > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(result);
    return true;
}

}  // namespace

std::wstring FormatSession(const SimSession& session)
{
    return std::to_wstring(session.id) + L',' + std::to_wstring(session.state) + L',' + session.userName;
}

bool ParseSession(const std::wstring& text, SimSession& session)
{
    const size_t first = text.find(L',');
    if (first == std::wstring::npos)
        return false;
    const size_t second = text.find(L',', first + 1);
    if (second == std::wstring::npos)
        return false;
    SimSession parsed;
    if (!ParseNumber(text, 0, first, parsed.id) || !ParseNumber(text, first + 1, second, parsed.state) ||
        parsed.state > kWtsMaxState)
        return false;
    parsed.userName = text.substr(second + 1);
    if (parsed.userName.find(L'\0') != std::wstring::npos)
        return false;
    session = std::move(parsed);
    return true;
}

std::wstring JoinMultiString(const std::vector<std::wstring>& entries)
{
    std::wstring joined;
    for (const std::wstring& entry : entries)
    {
        joined += entry;
        joined += L'\0';
    }
    joined += L'\0';
    return joined;
}

std::vector<std::wstring> SplitMultiString(const wchar_t* data, size_t length)
{
    std::vector<std::wstring> entries;
    size_t begin = 0;
    while (data != nullptr && begin < length)
    {
        size_t end = begin;
        while (end < length && data[end] != L'\0')
            ++end;
        if (end == begin)
            break;  // the empty entry that ends the list
        entries.emplace_back(data + begin, end - begin);
        begin = end + 1;
    }
    return entries;
}

std::wstring StationName(uint32_t sessionId, uint32_t consoleSessionId)
{
    if (sessionId == consoleSessionId)
        return L"Console";
    if (sessionId == 0)
        return L"Services";
    return L"RDP-Tcp#" + std::to_wstring(sessionId);
}

}  // namespace VantuSim
