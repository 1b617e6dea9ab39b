// Logger start-up from the registry, the log folder and the rotating file sink.
#pragma once

#include <cstdint>
#include <string>

#include <windows.h>

#include "base/Lock.h"
#include "logging/Logger.h"
#include "platform/CrossProcessLock.h"
#include "platform/ScopedHandle.h"

// Folder descriptor: given to every directory the logger creates.
extern const wchar_t kLogFolderSddl[];
// File descriptor: put on a log file just before it is rotated.
extern const wchar_t kLogFileSddl[];

// StartLogger (declared in Logger.h) reads "LogRotationFileSize",
// "LogRotationCount" and "LogLevel" and installs a RotatingFileSink. It
// leaves the logger empty when the folder cannot be determined.

// <common app data>\Zelnor\Pathwarden\<file name of module>; creates the two
// product folders, not the last one.
bool LogFolder(HMODULE module, std::wstring& folder);

// Creates one directory level with the given security; an existing directory
// counts as success, a link in its place is removed first.
bool CreateSecuredDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* security);

// Puts the DACL of `sddl` on the open file (owner, group and SACL untouched).
bool ApplyFileDacl(HANDLE file, const wchar_t* sddl);

// Appends each line to "<folder>\<base>_<encoded user>.txt" and rotates it
// into "<file>.0" ... "<file>.<count - 1>" past the size.
//
// Every process that writes the file (other users' included) takes one
// cross-process lock around the size check, the rotation and the line; a
// lock that cannot be had is left alone for a while and lines are written
// without it meanwhile. The file is appended to by its path and checked
// through its handle (no link, the expected final path, for a file not seen
// before; the same file object afterwards); a file is created,
// and files are renamed, only in the folder opened for that, checked and
// held without delete sharing meanwhile, relative to that handle. A
// rotation moves the current file first and a backup only after the one
// above it has moved up, so a file held open elsewhere stops it rather than
// being overwritten; it is tried again after `rotationRetryMs`, not on
// every line.
class RotatingFileSink : public ILogSink
{
public:
    RotatingFileSink(uint32_t rotationCount, uint32_t rotationSize, const std::wstring& folder,
                     const std::wstring& baseName, DWORD rotationRetryMs = kDefaultRotationRetryMs);

    // Never throws: a line that cannot be written is lost.
    void Write(const std::wstring& line) noexcept override EXCLUDES(m_lock);
    // Moves the file to "<file>.0" and each existing older one up a number;
    // false when the file could not move (then no backup was replaced).
    bool Rotate() EXCLUDES(m_lock);

    const std::wstring& FilePath() const { return m_filePath; }

    static constexpr DWORD kDefaultRotationRetryMs = 60 * 1000;

private:
    Groundwork::ScopedHandle OpenFolder() const;
    bool CheckFolder(HANDLE folder) const;
    Groundwork::ScopedHandle OpenLogFile(HANDLE folder) const;
    // Whether the open file is the log file itself, no link; its size then.
    bool CheckFile(HANDLE file, uint64_t& size) REQUIRES(m_lock);
    bool RotateLocked(HANDLE folder) REQUIRES(m_lock);

    const uint32_t m_rotationCount;
    const uint32_t m_rotationSize;
    const DWORD m_rotationRetryMs;
    const std::wstring m_filePath;
    const std::wstring m_folderPath;
    const std::wstring m_fileName;  // within the folder
    Groundwork::CCrossProcessLock m_fileLock;
    Groundwork::Mutex m_lock;
    uint64_t m_fileIndex GUARDED_BY(m_lock) = 0;  // of the file that passed the full check last; 0: none
    uint64_t m_rotationRetryAt GUARDED_BY(m_lock) = 0;  // GetTickCount64 value, 0: none pending
};
