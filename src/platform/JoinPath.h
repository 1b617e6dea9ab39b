#pragma once

#include <string>

// The name alone when the base is empty; base and name when the base already
// ends with a backslash; otherwise base, "\" and name.
inline std::wstring JoinPath(const std::wstring& base, const std::wstring& name)
{
    if (base.empty())
        return name;
    if (base.back() == L'\\')
        return base + name;
    return base + L'\\' + name;
}
