// Runs posted tasks one at a time, in posting order, on a thread of its own,
// so that work started on a connection thread never blocks pipe I/O.
#pragma once

#include <deque>
#include <functional>
#include <thread>

#include "base/Lock.h"
#include "ipc/ipc_common.h"

namespace ipc {

class background_task_runner
{
public:
    using Task = std::function<void()>;

    background_task_runner() = default;
    background_task_runner(const background_task_runner&) = delete;
    background_task_runner& operator=(const background_task_runner&) = delete;
    ~background_task_runner();

    bool Start();
    // Never waits for a task to run.
    void Post(Task task) EXCLUDES(m_queueLock);
    // Ends the worker and runs whatever is still queued on the calling
    // thread, so every posted task runs exactly once.
    bool Stop() EXCLUDES(m_queueLock);

    bool IsRunning() const { return m_worker.joinable(); }

private:
    // Tasks run without the queue lock: they may post again.
    void WorkerLoop() EXCLUDES(m_queueLock);
    bool PopFront(Task& task) EXCLUDES(m_queueLock);
    static void RunTask(Task& task);

    EventHolder m_wakeEvent;
    EventHolder m_stopEvent;
    Groundwork::Mutex m_queueLock;
    std::deque<Task> m_tasks GUARDED_BY(m_queueLock);
    std::thread m_worker;
};

}  // namespace ipc
