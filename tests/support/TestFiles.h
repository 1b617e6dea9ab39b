// Small file-system helpers for tests: a private temporary folder and whole
// file reads.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

class TempDir
{
public:
    TempDir()
    {
        wchar_t base[MAX_PATH] = L"", name[64] = L"";
        GUID guid{};
        GetTempPathW(MAX_PATH, base);
        CoCreateGuid(&guid);
        StringFromGUID2(guid, name, 64);
        m_path = std::wstring(base) + L"vantu-test-" + name;
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~TempDir() { std::filesystem::remove_all(std::filesystem::path(m_path), m_ignored); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
    std::error_code m_ignored;
};

inline bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string ReadFileBytes(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The file's non-empty lines, once there are at least `count` of them (or
// whatever there is after `ms`): for files another process appends to.
inline std::vector<std::string> FileLines(const std::wstring& path, size_t count, DWORD ms = 15000)
{
    std::vector<std::string> lines;
    for (const ULONGLONG deadline = GetTickCount64() + ms;; Sleep(10))
    {
        lines.clear();
        // Whole lines only: a long line may be read while it is being written.
        std::string whole = ReadFileBytes(path);
        whole.resize(whole.rfind('\n') + 1);  // no line end yet: nothing
        std::istringstream text(whole);
        for (std::string line; std::getline(text, line);)
            if (!line.empty())
                lines.push_back(line);
        if (lines.size() >= count || GetTickCount64() > deadline)
            return lines;
    }
}

}  // namespace testsupport
