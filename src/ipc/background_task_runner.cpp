#include "ipc/background_task_runner.h"

#include <exception>

#include "logging/Logger.h"

namespace ipc {

namespace {
constexpr wchar_t kLogModule[] = L"background_task_runner";
}

background_task_runner::~background_task_runner()
{
    Stop();
}

bool background_task_runner::Start()
{
    if (m_worker.joinable())
    {
        VT_LOG(ERR) << "Background runner is already started";
        return false;
    }
    if (!CreateEventHandle(m_wakeEvent, false))
    {
        VT_LOG(ERR) << "Failed to create background wake event, error " << GetLastError();
        return false;
    }
    if (!CreateEventHandle(m_stopEvent, false))
    {
        VT_LOG(ERR) << "Failed to create background stop event, error " << GetLastError();
        return false;
    }
    ResetEvent(m_stopEvent.get());
    try
    {
        m_worker = std::thread(&background_task_runner::WorkerLoop, this);
    }
    catch (const std::exception& e)
    {
        VT_LOG(ERR) << "Failed to start background thread: " << e.what();
        return false;
    }
    return true;
}

void background_task_runner::Post(Task task)
{
    Groundwork::MutexLock lock(m_queueLock);
    m_tasks.push_back(std::move(task));
    if (m_wakeEvent.valid())
        SetEvent(m_wakeEvent.get());
}

bool background_task_runner::Stop()
{
    if (m_worker.joinable())
    {
        if (m_worker.get_id() == std::this_thread::get_id())
        {
            VT_LOG(ERR) << "Background runner cannot be stopped from its own thread";
            return false;
        }
        SetEvent(m_stopEvent.get());
        m_worker.join();
    }
    Task task;
    while (PopFront(task))
        RunTask(task);
    return true;
}

bool background_task_runner::PopFront(Task& task)
{
    Groundwork::MutexLock lock(m_queueLock);
    if (m_tasks.empty())
        return false;
    task = std::move(m_tasks.front());
    m_tasks.pop_front();
    return true;
}

void background_task_runner::RunTask(Task& task)
{
    try
    {
        if (task)
            task();
    }
    catch (const std::exception& e)
    {
        VT_LOG(ERR) << "Background task exception: " << e.what();
    }
    catch (...)
    {
        VT_LOG(ERR) << "Background task unknown exception";
    }
    task = nullptr;
}

void background_task_runner::WorkerLoop()
{
    const HANDLE events[2] = {m_wakeEvent.get(), m_stopEvent.get()};
    for (;;)
    {
        const DWORD result = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0 + 1)
            return;
        if (result != WAIT_OBJECT_0)
        {
            VT_LOG(ERR) << "Unexpected wait return " << result;
            Sleep(1);
            continue;
        }
        Task task;
        while (PopFront(task))
        {
            RunTask(task);
            if (WaitForSingleObject(m_stopEvent.get(), 0) == WAIT_OBJECT_0)
                return;
        }
    }
}

}  // namespace ipc
