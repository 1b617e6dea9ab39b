#include "VantuToast/PWHString.h"

#include <climits>

#include "logging/Logger.h"

namespace {
constexpr wchar_t kLogModule[] = L"PWHString";
}

PWHString::PWHString(const wchar_t* text, UINT32 length)
{
    const HRESULT hr = WindowsCreateString(text, length, &m_string);
    if (FAILED(hr))
    {
        m_string = nullptr;
        VT_LOG(ERR) << "WindowsCreateString failed: " << static_cast<long>(hr);
    }
}

PWHString::~PWHString()
{
    if (m_string != nullptr)
        WindowsDeleteString(m_string);
}

bool WideToUtf8(std::wstring_view in, std::string& out)
{
    if (in.empty())
    {
        out.clear();
        return true;
    }
    if (in.size() > INT_MAX)
        return false;
    const int length = static_cast<int>(in.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, in.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return false;
    std::string converted(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, in.data(), length, converted.data(), bytes, nullptr, nullptr) != bytes)
        return false;
    out = std::move(converted);
    return true;
}

bool Utf8ToWide(std::string_view in, std::wstring& out)
{
    if (in.empty())
    {
        out.clear();
        return true;
    }
    if (in.size() > INT_MAX)
        return false;
    const int length = static_cast<int>(in.size());
    const int chars = MultiByteToWideChar(CP_UTF8, 0, in.data(), length, nullptr, 0);
    if (chars <= 0)
        return false;
    std::wstring converted(static_cast<size_t>(chars), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, in.data(), length, converted.data(), chars) != chars)
        return false;
    out = std::move(converted);
    return true;
}
