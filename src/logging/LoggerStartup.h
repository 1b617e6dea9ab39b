// Logger start-up from the registry, the log folder and the rotating file sink.
#pragma once

#include <cstdint>
#include <string>

#include <windows.h>

#include "base/Lock.h"
#include "logging/Logger.h"

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

// Renames `source` to `target`, replacing it. A missing source counts as
// moved; a source that is a link, or has another hard link, is refused and
// left where it is.
bool MoveLogFile(const std::wstring& source, const std::wstring& target);

class RotatingFileSink : public ILogSink
{
public:
    RotatingFileSink(uint32_t rotationCount, uint32_t rotationSize, const std::wstring& folder,
                     const std::wstring& baseName);

    void Write(const std::wstring& line) override EXCLUDES(m_lock);
    // Moves the file to "<file>.0" and each older one up a number.
    bool Rotate() EXCLUDES(m_lock);

    const std::wstring& FilePath() const { return m_filePath; }

private:
    bool EnsureFolder() REQUIRES(m_lock);
    bool RotateLocked() REQUIRES(m_lock);

    uint32_t m_rotationCount;
    uint32_t m_rotationSize;
    Groundwork::Mutex m_lock;
    std::wstring m_filePath;    // set by the constructor only
    std::wstring m_folderPath;  // set by the constructor only
    bool m_folderReady GUARDED_BY(m_lock) = false;
};
