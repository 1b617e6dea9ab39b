#include "logging/LoggerStartup.h"

#include <aclapi.h>
#include <shlobj.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

#include "platform/CRegKey.h"
#include "platform/JoinPath.h"
#include "platform/ProductRegistry.h"
#include "platform/ScopedHandle.h"
#include "platform/SecurityDescriptor.h"
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
    const auto descriptor = Groundwork::DescriptorFromSddl(kLogFolderSddl);
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

// Long enough for another process's rotation, short enough that a hostile
// holder costs a logging thread one such wait per hold-off period.
constexpr DWORD kFileLockWaitMs = 1000;

constexpr DWORD kAllShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kAppendAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

bool IsNotFound(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Opens `name` in the folder of the handle `folder`, resolved from that
// handle: whatever is done to the path above it, the file is in that folder.
// A link at the name is opened as the link (Windows) or followed (Wine); the
// checks below tell either apart. Sets the thread's last error on failure.
Groundwork::ScopedHandle OpenInFolder(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share,
                                      ULONG disposition)
{
    UNICODE_STRING objectName{static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                              static_cast<USHORT>(name.size() * sizeof(wchar_t)), const_cast<PWSTR>(name.c_str())};
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof(attributes);
    attributes.RootDirectory = folder;
    attributes.ObjectName = &objectName;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io{};
    HANDLE file = nullptr;
    const NTSTATUS status =
        NtCreateFile(&file, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                     FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (!NT_SUCCESS(status))
    {
        SetLastError(RtlNtStatusToDosError(status));
        return Groundwork::ScopedHandle();
    }
    return Groundwork::ScopedHandle(file);
}

std::wstring WithoutWin32Prefix(const std::wstring& path)
{
    static const std::wstring kUnc = L"\\\\?\\UNC\\";
    static const std::wstring kLocal = L"\\\\?\\";
    if (path.compare(0, kUnc.size(), kUnc) == 0)
        return L"\\\\" + path.substr(kUnc.size());
    if (path.compare(0, kLocal.size(), kLocal) == 0)
        return path.substr(kLocal.size());
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// A name in the shared log folder may be a link that another user planted
// to make this process write to, move or re-permission a file of theirs.
// Every file is therefore opened without following a reparse point and then
// checked through its handle: no reparse point, one hard link only (a folder
// has none to count), and a final path (which any link on the way, a
// folder's included, changes) equal to the path asked for. Null when the
// file is the one expected. Each line makes these checks, so they use only
// queries that cost about a file system call (GetFileInformationByHandle
// also reads the volume's serial number, which under Wine costs several
// times the whole line).
const wchar_t* ShapeReason(HANDLE file, bool folder, FILE_STANDARD_INFO& standard)
{
    FILE_ATTRIBUTE_TAG_INFO attributes{};
    if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) ||
        !GetFileInformationByHandleEx(file, FileAttributeTagInfo, &attributes, sizeof(attributes)))
        return L"its information cannot be read";
    if ((attributes.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return L"it is a reparse point";
    if (folder != (standard.Directory != FALSE))
        return L"it is of the other kind";
    if (!folder && standard.NumberOfLinks != 1)
        return L"it has more than one hard link";
    return nullptr;
}

const wchar_t* PathReason(HANDLE file, const std::wstring& expectedPath)
{
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
    if (!SamePath(WithoutWin32Prefix(finalPath), WithoutWin32Prefix(expectedPath)))
        return L"it resolves to another path";
    return nullptr;
}

const wchar_t* ForeignFileReason(HANDLE file, const std::wstring& expectedPath, bool folder)
{
    FILE_STANDARD_INFO standard{};
    if (const wchar_t* reason = ShapeReason(file, folder, standard))
        return reason;
    return PathReason(file, expectedPath);
}

// The file's index on its volume, which tells one file object from another
// between lines. (FileIdInfo would add the volume's serial number, and the
// final path costs about as much as the whole line under Wine on a new
// handle; the full check of a new file includes both.)
bool FileIndexOf(HANDLE file, uint64_t& index)
{
    FILE_INTERNAL_INFORMATION info{};
    IO_STATUS_BLOCK io{};
    if (!NT_SUCCESS(NtQueryInformationFile(file, &io, &info, sizeof(info), FileInternalInformation)))
        return false;
    index = static_cast<uint64_t>(info.IndexNumber.QuadPart);
    return true;
}

void ReportForeignFile(const wchar_t* what, const std::wstring& path, const wchar_t* reason)
{
    const std::wstring message = std::wstring(what) + L" '" + path + L"' refused: " + reason;
    OutputDebugStringW(message.c_str());
}

// Renames the open file to `name` in the folder of `folder`, replacing a
// file of that name.
bool RenameInFolder(HANDLE file, HANDLE folder, const std::wstring& name)
{
    const size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<uint64_t> storage((sizeof(FILE_RENAME_INFO) + nameBytes) / sizeof(uint64_t) + 1);
    auto* renameInfo = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    renameInfo->ReplaceIfExists = TRUE;
    renameInfo->RootDirectory = folder;
    renameInfo->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(renameInfo->FileName, name.c_str(), nameBytes);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtSetInformationFile(file, &io, renameInfo, static_cast<ULONG>(storage.size() * sizeof(uint64_t)),
                                                 static_cast<FILE_INFORMATION_CLASS>(FileRenameInformation));
    if (!NT_SUCCESS(status))
        SetLastError(RtlNtStatusToDosError(status));
    return NT_SUCCESS(status);
}

// The indices of the backups of `name` in the folder: names of the form
// "<name>.<decimal>" below `count`; descending.
std::vector<uint32_t> ExistingBackups(HANDLE folder, const std::wstring& name, uint32_t count)
{
    std::vector<uint32_t> indices;
    std::vector<uint64_t> storage(size_t{64} * 1024 / sizeof(uint64_t));
    const std::wstring prefix = name + L".";
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
         GetFileInformationByHandleEx(folder, kind, storage.data(), static_cast<DWORD>(storage.size() * sizeof(uint64_t)));
         kind = FileIdBothDirectoryInfo)
    {
        const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(storage.data());
        for (;;)
        {
            const size_t length = entry->FileNameLength / sizeof(wchar_t);
            if (length > prefix.size() && length - prefix.size() <= 10 &&
                SamePath(std::wstring(entry->FileName, prefix.size()), prefix))
            {
                const wchar_t* digits = entry->FileName + prefix.size();
                uint64_t index = 0;
                bool number = true;
                for (size_t i = 0; number && i < length - prefix.size(); ++i)
                {
                    number = digits[i] >= L'0' && digits[i] <= L'9';
                    index = index * 10 + static_cast<uint64_t>(digits[i] - L'0');
                }
                if (number && index < count)
                    indices.push_back(static_cast<uint32_t>(index));
            }
            if (entry->NextEntryOffset == 0)
                break;
            entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<const char*>(entry) +
                                                                  entry->NextEntryOffset);
        }
    }
    // Moves are made by the canonical names, so "x.02" only counts as "x.2".
    std::sort(indices.begin(), indices.end(), [](uint32_t a, uint32_t b) { return a > b; });
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    return indices;
}

}  // namespace

bool ApplyFileDacl(HANDLE file, const wchar_t* sddl)
{
    const auto descriptor = Groundwork::DescriptorFromSddl(sddl);
    if (descriptor.get() == nullptr)
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return false;
    // The same file object, opened again for the one right this needs.
    const Groundwork::ScopedHandle writable(ReOpenFile(file, WRITE_DAC, kAllShare, FILE_FLAG_OPEN_REPARSE_POINT));
    if (!writable.valid())
        return false;
    return SetSecurityInfo(writable.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                           nullptr) == ERROR_SUCCESS;
}

namespace {

std::wstring FullPath(const std::wstring& path)
{
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed)
        return path;
    full.resize(length);
    return full;
}

}  // namespace

RotatingFileSink::RotatingFileSink(uint32_t rotationCount, uint32_t rotationSize, const std::wstring& folder,
                                   const std::wstring& baseName, DWORD rotationRetryMs)
    : m_rotationCount(rotationCount),
      m_rotationSize(rotationSize),
      m_rotationRetryMs(rotationRetryMs),
      m_filePath(JoinPath(folder, baseName + L"_" +
                                      EncodeUserNameForFileName(Groundwork::GetConsoleUserName(), VANTU_LOG_NAME_KEY) +
                                      L".txt")),
      m_folderPath(folder),
      m_fileName(m_filePath.substr(m_filePath.find_last_of(L'\\') + 1)),
      m_fileLock(Groundwork::CCrossProcessLock::NameFor(L"VantuToastLog", FullPath(m_filePath)),
                 Groundwork::kCrossProcessLockSddl)
{
}

Groundwork::ScopedHandle RotatingFileSink::OpenFolder() const
{
    // Held without delete sharing while the file is opened and rotated: the
    // folder cannot be moved away or replaced under that work.
    constexpr DWORD kAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    constexpr DWORD kFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    const auto open = [this] {
        return Groundwork::ScopedHandle(CreateFileW(m_folderPath.c_str(), kAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    nullptr, OPEN_EXISTING, kFlags, nullptr));
    };
    Groundwork::ScopedHandle folder = open();
    if (folder.valid() || !IsNotFound(GetLastError()))
        return folder;
    const auto descriptor = Groundwork::DescriptorFromSddl(kLogFolderSddl);
    if (descriptor.get() == nullptr)
        return folder;
    SECURITY_ATTRIBUTES attributes = AttributesOf(descriptor);
    if (!CreateSecuredDirectory(m_folderPath, &attributes))
        return folder;
    return open();
}

Groundwork::ScopedHandle RotatingFileSink::OpenLogFile(HANDLE folder) const
{
    // Two rounds: another process may create the file between our two calls.
    for (int round = 0; round < 2; ++round)
    {
        Groundwork::ScopedHandle file = OpenInFolder(folder, m_fileName, kAppendAccess, kAllShare, FILE_OPEN);
        if (file.valid() || GetLastError() != ERROR_FILE_NOT_FOUND)
            return file;
        // Created in the checked folder only, and never through a link (a
        // dangling one makes the creation fail).
        if (!CheckFolder(folder))
            return Groundwork::ScopedHandle();
        file = OpenInFolder(folder, m_fileName, kAppendAccess, kAllShare, FILE_CREATE);
        if (file.valid() || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return Groundwork::ScopedHandle();
}

bool RotatingFileSink::CheckFolder(HANDLE folder) const
{
    if (const wchar_t* reason = ForeignFileReason(folder, m_folderPath, true))
    {
        ReportForeignFile(L"Log folder", m_folderPath, reason);
        return false;
    }
    return true;
}

bool RotatingFileSink::CheckFile(HANDLE file, uint64_t& size)
{
    // Each line: no reparse point and one hard link. The final path only
    // when the file is not the one that passed it last (a new file, or one
    // planted since): that one has no other name than ours.
    FILE_STANDARD_INFO standard{};
    uint64_t index = 0;
    const wchar_t* reason = ShapeReason(file, false, standard);
    if (reason == nullptr && !FileIndexOf(file, index))
        reason = L"its information cannot be read";
    if (reason == nullptr && index != m_fileIndex)
        reason = PathReason(file, m_filePath);
    if (reason != nullptr)
    {
        ReportForeignFile(L"Log file", m_filePath, reason);
        return false;
    }
    m_fileIndex = index;
    size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
    return true;
}

void RotatingFileSink::Write(const std::wstring& line) noexcept
{
    try
    {
        const std::string bytes = EncodeLogLine(line);
        // Taken before the sink's own lock, so that no lock of ours is held
        // while waiting; the mutex belongs to a thread, so it orders this
        // process's threads as well. Without it (held off), the sink's lock
        // still orders them.
        const Groundwork::CrossProcessHold shared(m_fileLock, kFileLockWaitMs);
        Groundwork::MutexLock guard(m_lock);
        // An existing file is appended to by its path, then checked: nothing
        // is created or moved through it. A file is created only in the
        // folder held and checked.
        Groundwork::ScopedHandle folder;
        Groundwork::ScopedHandle file(CreateFileW(m_filePath.c_str(), kAppendAccess, kAllShare, nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.valid())
        {
            if (!IsNotFound(GetLastError()))
                return;
            folder = OpenFolder();
            if (!folder.valid())
                return;
            file = OpenLogFile(folder.get());
        }
        uint64_t size = 0;
        if (!file.valid() || !CheckFile(file.get(), size))
            return;

        // One write hands the whole line to the system, which keeps it when
        // the process ends; the line is not forced to disk, so that no
        // logging thread waits on the disk under the lock.
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            return;
        file.reset();

        if (m_rotationCount == 0 || size + written <= m_rotationSize)
            return;
        if (m_rotationRetryAt != 0 && GetTickCount64() < m_rotationRetryAt)
            return;
        if (!folder.valid())
            folder = OpenFolder();
        const bool rotated = folder.valid() && RotateLocked(folder.get());
        m_rotationRetryAt = rotated ? 0 : GetTickCount64() + m_rotationRetryMs;
    }
    catch (...)  // NOLINT(bugprone-empty-catch): the line is lost, logging never reports to its caller
    {
    }
}

bool RotatingFileSink::Rotate()
{
    const Groundwork::CrossProcessHold shared(m_fileLock, kFileLockWaitMs);
    Groundwork::MutexLock guard(m_lock);
    const Groundwork::ScopedHandle folder = OpenFolder();
    return folder.valid() && RotateLocked(folder.get());
}

bool RotatingFileSink::RotateLocked(HANDLE folder)
{
    if (m_rotationCount == 0)
        return true;
    if (!CheckFolder(folder))
        return false;
    const auto report = [&](const std::wstring& source, const std::wstring& target) {
        const std::wstring message = L"Error moving '" + m_folderPath + L"\\" + source + L"' -> '" + m_folderPath +
                                     L"\\" + target + L"'. Error: " +
                                     std::to_wstring(static_cast<unsigned long>(GetLastError()));
        OutputDebugStringW(message.c_str());
        return false;
    };
    const auto backupName = [this](uint32_t index) { return m_fileName + L"." + std::to_wstring(index); };

    // The current file first: while a reader holds it without delete
    // sharing it cannot move, and then no backup moves either.
    const Groundwork::ScopedHandle current =
        OpenInFolder(folder, m_fileName, DELETE | FILE_READ_ATTRIBUTES, kAllShare, FILE_OPEN);
    if (!current.valid())
        return IsNotFound(GetLastError()) ? true : report(m_fileName, backupName(0));
    if (const wchar_t* reason = ForeignFileReason(current.get(), m_filePath, false))
    {
        ReportForeignFile(L"Log file", m_filePath, reason);
        return false;
    }
    ApplyFileDacl(current.get(), kLogFileSddl);

    // Then each existing backup up a number, the oldest first: a backup is
    // replaced only after it has moved up itself, or when it is the oldest.
    // One that cannot move stops the shift, and the current file stays.
    for (uint32_t index : ExistingBackups(folder, m_fileName, m_rotationCount))
    {
        if (index + 1 >= m_rotationCount)
            continue;  // the oldest ages out when the next one replaces it
        const Groundwork::ScopedHandle backup =
            OpenInFolder(folder, backupName(index), DELETE | FILE_READ_ATTRIBUTES, kAllShare, FILE_OPEN);
        if (!backup.valid())
        {
            if (IsNotFound(GetLastError()))
                continue;
            return report(backupName(index), backupName(index + 1));
        }
        if (const wchar_t* reason = ForeignFileReason(backup.get(), m_filePath + L"." + std::to_wstring(index), false))
        {
            // Not ours: left where it is, and its name is free to be replaced
            // (only the name goes, never what a link leads to).
            ReportForeignFile(L"Log file", m_filePath + L"." + std::to_wstring(index), reason);
            continue;
        }
        if (!RenameInFolder(backup.get(), folder, backupName(index + 1)))
            return report(backupName(index), backupName(index + 1));
    }
    if (!RenameInFolder(current.get(), folder, backupName(0)))
        return report(m_fileName, backupName(0));
    m_fileIndex = 0;
    return true;
}
