// Second process for the ipc tests.
//   stats <count> <name>  sets "<name>-ready", waits for the named event
//                         "<name>", then adds `count` to "totals" one flush
//                         at a time.
//   pipe <path>           opens the pipe as its client and holds it until the
//                         server end closes.
#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "ipc/ipc_stats_collector.h"

namespace {

int Stats(int count, const std::string& name)
{
    HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, (name + "-ready").c_str());
    if (ready == nullptr || !SetEvent(ready) || start == nullptr || WaitForSingleObject(start, 60000) != WAIT_OBJECT_0)
        return 3;
    ipc::ipc_stats_collector stats;
    for (int i = 0; i < count; ++i)
    {
        Groundwork::MutexLock lock(stats.Lock());
        stats.Increment(ipc::ipc_stats_collector::kTotalsKey);
        stats.Flush(INFINITE);
    }
    Groundwork::MutexLock lock(stats.Lock());
    return stats.PendingCount(ipc::ipc_stats_collector::kTotalsKey) == 0 ? 0 : 4;
}

int HoldPipe(const char* path)
{
    HANDLE pipe = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    char byte = 0;
    DWORD read = 0;
    while (pipe != INVALID_HANDLE_VALUE && ReadFile(pipe, &byte, 1, &read, nullptr))
    {
    }
    return pipe == INVALID_HANDLE_VALUE ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "stats")
        return Stats(std::atoi(argv[2]), argv[3]);
    if (argc == 3 && std::string(argv[1]) == "pipe")
        return HoldPipe(argv[2]);
    return 2;
}
