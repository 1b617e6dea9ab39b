// Owner of one Windows Runtime string, and the UTF-16 <-> UTF-8 conversions
// of the toast component.
#pragma once

#include <windows.h>
#include <winstring.h>

#include <string>
#include <string_view>

class PWHString
{
public:
    // Creates the runtime string; on failure logs and holds a null string.
    PWHString(const wchar_t* text, UINT32 length);
    ~PWHString();
    PWHString(const PWHString&) = delete;
    PWHString& operator=(const PWHString&) = delete;

    HSTRING Get() const { return m_string; }
    bool IsNull() const { return m_string == nullptr; }

private:
    HSTRING m_string = nullptr;
};

// Two-pass conversions. An empty input gives an empty output and success; a
// failure leaves `out` as it was and never throws for conversion reasons.
bool WideToUtf8(std::wstring_view in, std::string& out);
bool Utf8ToWide(std::string_view in, std::wstring& out);
