// Benchmark of the rotating file sink: lines per second through the sink
// (its own lock, the lock shared with other processes, the folder and link
// checks, the size check) against the least a line can cost when the file is
// opened and closed for each line: a loop that opens the file for append,
// writes the same bytes and closes it, in the same folder. The two alternate
// in blocks so that load on the machine falls on both alike. Rotation is at
// the default size and count, so its cost is in the sink's figure.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "logging/LogFormat.h"
#include "logging/LoggerStartup.h"
#include "platform/ScopedHandle.h"

namespace {

constexpr int kBlocks = 20;
constexpr int kLinesPerBlock = 500;
constexpr uint32_t kRotationSize = 0x100000;  // the defaults of the product key
constexpr uint32_t kRotationCount = 5;
constexpr double kTargetRatio = 2.0;

double NowSeconds()
{
    static const double tick = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return 1.0 / static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * tick;
}

// Opens for append, writes, closes: what the sink cannot do without.
void AppendOnce(const std::wstring& path, const std::string& bytes)
{
    const Groundwork::ScopedHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file.valid())
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found{};
    const Groundwork::FindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (search.valid())
    {
        do
        {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                DeleteFileW((folder + L"\\" + name).c_str());
        } while (FindNextFileW(search.get(), &found));
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

int main()
{
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"log-bench-" + std::to_wstring(GetCurrentProcessId());
    if (!CreateDirectoryW(folder.c_str(), nullptr))
    {
        std::printf("log-bench: cannot create %ls\n", folder.c_str());
        return 1;
    }
    // A line as the library writes it: tag, time stamp, location, about 100 bytes in all.
    const std::wstring line =
        L"[ERR][20240131 14:05:09.007][ClientPipeCommunications@412]: Handshake refused by the peer: 5\n";
    const std::string bytes = EncodeLogLine(line);
    const std::wstring loopFile = folder + L"\\loop.txt";

    RotatingFileSink sink(kRotationCount, kRotationSize, folder, L"log");
    sink.Write(line);  // creates and checks the folder once, as the first line of a process does
    AppendOnce(loopFile, bytes);

    double sinkSeconds = 0;
    double loopSeconds = 0;
    size_t loopBytes = bytes.size();
    for (int block = 0; block < kBlocks; ++block)
    {
        double start = NowSeconds();
        for (int i = 0; i < kLinesPerBlock; ++i)
            sink.Write(line);
        sinkSeconds += NowSeconds() - start;
        start = NowSeconds();
        for (int i = 0; i < kLinesPerBlock; ++i)
            AppendOnce(loopFile, bytes);
        loopSeconds += NowSeconds() - start;
        // The loop's file starts again where the sink's would rotate, so
        // that neither pays for a larger file.
        loopBytes += kLinesPerBlock * bytes.size();
        if (loopBytes > kRotationSize)
        {
            DeleteFileW(loopFile.c_str());
            loopBytes = 0;
        }
    }
    RemoveTree(folder);

    const double lines = static_cast<double>(kBlocks) * kLinesPerBlock;
    const double sinkRate = lines / sinkSeconds;
    const double loopRate = lines / loopSeconds;
    const double ratio = loopRate / sinkRate;
    std::printf("log lines (%zu bytes, %d lines each, rotation at %u bytes, %u backups)\n", bytes.size(),
                kBlocks * kLinesPerBlock, kRotationSize, kRotationCount);
    std::printf("  sink                    %8.0f lines/s  %6.1f us/line\n", sinkRate, 1e6 / sinkRate);
    std::printf("  open-append-close loop  %8.0f lines/s  %6.1f us/line\n", loopRate, 1e6 / loopRate);
    std::printf("  sink cost / loop cost   %8.2f  (target at most %.1f: %s)\n", ratio, kTargetRatio,
                ratio <= kTargetRatio ? "met" : "NOT met");
    return 0;
}
