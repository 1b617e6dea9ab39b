// Second writer of IPC statistics for the tests: sets "<name>-ready", waits
// for the named event "<name>", then adds `count` to "totals" one flush at a
// time.
#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "ipc/ipc_stats_collector.h"

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const int count = std::atoi(argv[1]);
    HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, (std::string(argv[2]) + "-ready").c_str());
    if (ready == nullptr || !SetEvent(ready))
        return 3;
    CloseHandle(ready);
    if (start == nullptr || WaitForSingleObject(start, 60000) != WAIT_OBJECT_0)
        return 3;
    CloseHandle(start);
    ipc::ipc_stats_collector stats;
    for (int i = 0; i < count; ++i)
    {
        std::lock_guard<std::mutex> lock(stats.Lock());
        stats.Increment(ipc::ipc_stats_collector::kTotalsKey);
        stats.Flush(INFINITE);
    }
    return stats.PendingCount(ipc::ipc_stats_collector::kTotalsKey) == 0 ? 0 : 4;
}
