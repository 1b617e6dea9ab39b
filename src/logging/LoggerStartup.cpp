#include "logging/LoggerStartup.h"

#include <sddl.h>
#include <aclapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <filesystem>
#include <new>

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

bool ApplyFileDacl(const std::wstring& path, const wchar_t* sddl)
{
    const auto descriptor = DescriptorFromSddl(sddl);
    if (descriptor.get() == nullptr)
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return false;
    return SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

bool MoveLogFile(const std::wstring& source, const std::wstring& target)
{
    if (!PathFileExistsW(source.c_str()))
        return true;
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const std::wstring message = L"Error moving '" + source + L"' -> '" + target + L"'. Error: " +
                                 std::to_wstring(static_cast<unsigned long>(GetLastError()));
    OutputDebugStringW(message.c_str());
    return false;
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

    Groundwork::ScopedHandle file(CreateFileW(m_filePath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return;

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
    file.reset();
    ApplyFileDacl(m_filePath, kLogFileSddl);
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
