#include "logging/LoggerStartup.h"

#include <sddl.h>
#include <aclapi.h>
#include <shlobj.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

#include "platform/CRegKey.h"
#include "platform/JoinPath.h"
#include "platform/ProductRegistry.h"
#include "platform/ScopedHandle.h"
#include "platform/SessionUtils.h"
#include "vantu_config.h"

const wchar_t kLogFolderSddl[] =
    L"D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGWGX;;;AU)(A;OICI;GA;;;BA)";
const wchar_t kLogFileSddl[] =
    L"D:(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGWGX;;;AU)(A;OICI;FA;;;CO)(A;OICI;GA;;;BA)";

namespace {

constexpr uint32_t kDefaultRotationSize = 0x100000;
constexpr uint32_t kDefaultRotationCount = 5;
constexpr uint32_t kDefaultLevel = 1;

// A security descriptor converted from SDDL; empty when the text is refused.
Groundwork::LocalMemory<PSECURITY_DESCRIPTOR> DescriptorFromSddl(const wchar_t* sddl)
{
    Groundwork::LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    // On failure the slot holds nothing of ours to free.
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.put(), nullptr))
        (void)descriptor.release();
    return descriptor;
}

SECURITY_ATTRIBUTES AttributesOf(const Groundwork::LocalMemory<PSECURITY_DESCRIPTOR>& descriptor)
{
    return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
}

void ReadDword(const wchar_t* name, uint32_t& value)
{
    Groundwork::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, Groundwork::kProductKeyRead) != ERROR_SUCCESS)
        return;
    DWORD stored = 0;
    if (key.QueryDWORDValue(name, stored) == ERROR_SUCCESS)
        value = stored;
}

}  // namespace

void StartLogger(Logger& logger, void* module)
{
    std::wstring folder;
    if (!LogFolder(static_cast<HMODULE>(module), folder))
        return;

    uint32_t rotationSize = kDefaultRotationSize;
    uint32_t rotationCount = kDefaultRotationCount;
    uint32_t level = kDefaultLevel;
    ReadDword(L"LogRotationFileSize", rotationSize);
    ReadDword(L"LogRotationCount", rotationCount);

    std::shared_ptr<ILogSink> sink;
    if (auto* raw = new (std::nothrow) RotatingFileSink(rotationCount, rotationSize, folder, L"log"))
        sink.reset(raw);

    ReadDword(L"LogLevel", level);
    logger.Configure(std::move(sink), level);
}

bool LogFolder(HMODULE module, std::wstring& folder)
{
    const auto descriptor = DescriptorFromSddl(kLogFolderSddl);
    if (descriptor.get() == nullptr)
        return false;
    SECURITY_ATTRIBUTES attributes = AttributesOf(descriptor);

    wchar_t common[MAX_PATH] = L"";
    if (!SHGetSpecialFolderPathW(nullptr, common, CSIDL_COMMON_APPDATA, TRUE))
        return false;

    std::wstring path = JoinPath(common, L"Zelnor");
    if (!CreateSecuredDirectory(path, &attributes))
        return false;
    path = JoinPath(path, L"Pathwarden");
    if (!CreateSecuredDirectory(path, &attributes))
        return false;

    wchar_t modulePath[MAX_PATH] = L"";
    if (GetModuleFileNameW(module, modulePath, MAX_PATH) == 0)
        return false;
    const wchar_t* slash = wcsrchr(modulePath, L'\\');
    if (slash == nullptr)
        return false;
    folder = JoinPath(path, slash + 1);
    return true;
}

bool CreateSecuredDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* security)
{
    try
    {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        {
            // Removes the link itself, never what it points to.
            std::error_code error;
            std::filesystem::remove(std::filesystem::path(path), error);
            if (error && error != std::errc::no_such_file_or_directory)
                return false;
        }
        if (CreateDirectoryW(path.c_str(), security))
            return true;
        return GetLastError() == ERROR_ALREADY_EXISTS;
    }
    catch (...)
    {
        return false;
    }
}

namespace {

// A name in the shared log folder may be a link that another user planted
// to make this process write to, move or re-permission a file of theirs.
// Every file is therefore opened without following a reparse point and then
// checked through its handle: no reparse point, one hard link only, and a
// final path (which any link on the way, a folder's included, changes) equal
// to the path asked for. Null when the file is the one expected.
const wchar_t* ForeignFileReason(HANDLE file, const std::wstring& expectedPath)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return L"its information cannot be read";
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return L"it is a reparse point";
    if (info.nNumberOfLinks != 1)
        return L"it has more than one hard link";

    std::wstring finalPath(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD length = GetFinalPathNameByHandleW(file, &finalPath[0], static_cast<DWORD>(finalPath.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return L"its final path cannot be read";
        if (length < finalPath.size())
        {
            finalPath.resize(length);
            break;
        }
        finalPath.resize(length);  // the size needed, terminator included
    }
    const auto plain = [](const std::wstring& path) {
        static const std::wstring kUnc = L"\\\\?\\UNC\\";
        static const std::wstring kLocal = L"\\\\?\\";
        if (path.compare(0, kUnc.size(), kUnc) == 0)
            return L"\\\\" + path.substr(kUnc.size());
        if (path.compare(0, kLocal.size(), kLocal) == 0)
            return path.substr(kLocal.size());
        return path;
    };
    const std::wstring actual = plain(finalPath);
    const std::wstring expected = plain(expectedPath);
    if (CompareStringOrdinal(actual.c_str(), static_cast<int>(actual.size()), expected.c_str(),
                             static_cast<int>(expected.size()), TRUE) != CSTR_EQUAL)
        return L"it resolves to another path";
    return nullptr;
}

void ReportForeignFile(const std::wstring& path, const wchar_t* reason)
{
    const std::wstring message = L"Log file '" + path + L"' refused: " + reason;
    OutputDebugStringW(message.c_str());
}

// Opens the current log file for appending, creating it when the name is
// free; creation never goes through a link (a dangling one makes it fail).
Groundwork::ScopedHandle OpenLogFile(const std::wstring& path)
{
    constexpr DWORD kAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    // Two rounds: another process may create the file between our two calls.
    for (int round = 0; round < 2; ++round)
    {
        Groundwork::ScopedHandle file(CreateFileW(path.c_str(), kAccess, kShare, nullptr, OPEN_EXISTING, kFlags, nullptr));
        if (file.valid() || GetLastError() != ERROR_FILE_NOT_FOUND)
            return file;
        file.reset(CreateFileW(path.c_str(), kAccess, kShare, nullptr, CREATE_NEW, kFlags, nullptr));
        if (file.valid() || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return Groundwork::ScopedHandle();
}

}  // namespace

bool ApplyFileDacl(HANDLE file, const wchar_t* sddl)
{
    const auto descriptor = DescriptorFromSddl(sddl);
    if (descriptor.get() == nullptr)
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return false;
    // The same file object, opened again for the one right this needs.
    const Groundwork::ScopedHandle writable(
        ReOpenFile(file, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OPEN_REPARSE_POINT));
    if (!writable.valid())
        return false;
    return SetSecurityInfo(writable.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                           nullptr) == ERROR_SUCCESS;
}

bool MoveLogFile(const std::wstring& source, const std::wstring& target)
{
    const auto report = [&](DWORD error) {
        const std::wstring message = L"Error moving '" + source + L"' -> '" + target + L"'. Error: " +
                                     std::to_wstring(static_cast<unsigned long>(error));
        OutputDebugStringW(message.c_str());
        return false;
    };
    // Moved through the handle that was checked, so that the name cannot
    // be swapped for a link in between.
    const Groundwork::ScopedHandle file(CreateFileW(source.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid())
    {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? true : report(error);
    }
    if (const wchar_t* reason = ForeignFileReason(file.get(), source))
    {
        ReportForeignFile(source, reason);
        return false;
    }
    const size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<uint64_t> storage((sizeof(FILE_RENAME_INFO) + nameBytes) / sizeof(uint64_t) + 1);
    auto* renameInfo = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    renameInfo->ReplaceIfExists = TRUE;
    renameInfo->RootDirectory = nullptr;
    renameInfo->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(renameInfo->FileName, target.c_str(), nameBytes);
    if (!SetFileInformationByHandle(file.get(), FileRenameInfo, renameInfo,
                                    static_cast<DWORD>(storage.size() * sizeof(uint64_t))))
        return report(GetLastError());
    return true;
}

RotatingFileSink::RotatingFileSink(uint32_t rotationCount, uint32_t rotationSize, const std::wstring& folder,
                                   const std::wstring& baseName)
    : m_rotationCount(rotationCount),
      m_rotationSize(rotationSize),
      m_filePath(JoinPath(folder, baseName + L"_" +
                                      EncodeUserNameForFileName(Groundwork::GetConsoleUserName(), VANTU_LOG_NAME_KEY) +
                                      L".txt")),
      m_folderPath(folder)
{
}

bool RotatingFileSink::EnsureFolder()
{
    if (m_folderReady)
        return true;
    const auto descriptor = DescriptorFromSddl(kLogFolderSddl);
    if (descriptor.get() == nullptr)
        return false;
    SECURITY_ATTRIBUTES attributes = AttributesOf(descriptor);
    m_folderReady = CreateSecuredDirectory(m_folderPath, &attributes);
    return m_folderReady;
}

void RotatingFileSink::Write(const std::wstring& line)
{
    Groundwork::MutexLock guard(m_lock);
    if (!EnsureFolder())
        return;

    Groundwork::ScopedHandle file = OpenLogFile(m_filePath);
    if (!file.valid())
        return;
    if (const wchar_t* reason = ForeignFileReason(file.get(), m_filePath))
    {
        ReportForeignFile(m_filePath, reason);
        return;
    }

    // One write hands the whole line to the system, which keeps it when the
    // process ends; the line is not forced to disk, so that no logging
    // thread waits on the disk under the lock.
    const std::string bytes = EncodeLogLine(line);
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        return;

    if (m_rotationCount == 0)
        return;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= static_cast<LONGLONG>(m_rotationSize))
        return;
    ApplyFileDacl(file.get(), kLogFileSddl);
    file.reset();
    RotateLocked();
}

bool RotatingFileSink::Rotate()
{
    // Under the lock, so that no line is written while the files move.
    Groundwork::MutexLock guard(m_lock);
    return RotateLocked();
}

bool RotatingFileSink::RotateLocked()
{
    if (m_rotationCount == 0)
        return true;
    for (uint32_t i = m_rotationCount - 1; i >= 1; --i)
        MoveLogFile(m_filePath + L"." + std::to_wstring(i - 1), m_filePath + L"." + std::to_wstring(i));
    return MoveLogFile(m_filePath, m_filePath + L".0");
}
