// The background task runner: order, exactly once, and Stop running what is
// still queued.
#include <gtest/gtest.h>

#include <windows.h>

#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ipc/background_task_runner.h"
#include "ipc/ipc_common.h"

using ipc::background_task_runner;
using ipc::ScopedHandle;

namespace {

struct Record
{
    std::mutex lock;
    std::vector<int> order;
    std::vector<DWORD> threads;

    void Add(int index)
    {
        std::lock_guard<std::mutex> guard(lock);
        order.push_back(index);
        threads.push_back(GetCurrentThreadId());
    }
};

HANDLE ManualEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

}  // namespace

TEST(BackgroundTaskRunner, RunsTasksInPostingOrderExactlyOnceOffTheCallersThread)
{
    background_task_runner runner;
    ASSERT_TRUE(runner.Start());
    Record record;
    ScopedHandle done(ManualEvent());
    constexpr int kTasks = 200;
    for (int i = 0; i < kTasks; ++i)
        runner.Post([&record, &done, i] {
            record.Add(i);
            if (i == kTasks - 1)
                SetEvent(done.get());
        });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done.get(), 30000));
    EXPECT_TRUE(runner.Stop());
    ASSERT_EQ(static_cast<size_t>(kTasks), record.order.size());
    for (int i = 0; i < kTasks; ++i)
    {
        EXPECT_EQ(i, record.order[i]);
        EXPECT_NE(GetCurrentThreadId(), record.threads[i]);
        EXPECT_EQ(record.threads[0], record.threads[i]);  // one worker, one task at a time
    }

    // A runner can be started again, and a task that throws does not stop it.
    ASSERT_TRUE(runner.Start());
    ResetEvent(done.get());
    runner.Post([] { throw std::runtime_error("task failure"); });
    runner.Post([&done] { SetEvent(done.get()); });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done.get(), 30000));
    EXPECT_TRUE(runner.Stop());
}

TEST(BackgroundTaskRunner, StopAndDestructionRunWhatIsStillQueued)
{
    // Posted before the worker exists: Stop runs the queue on its own thread.
    Record record;
    {
        background_task_runner runner;
        for (int i = 0; i < 3; ++i)
            runner.Post([&record, i] { record.Add(i); });
        EXPECT_TRUE(runner.Stop());
        ASSERT_EQ((std::vector<int>{0, 1, 2}), record.order);
        EXPECT_EQ(std::vector<DWORD>(3, GetCurrentThreadId()), record.threads);
        EXPECT_TRUE(runner.Stop()) << "a second Stop does nothing";
    }

    // Stopped, or destroyed, while the worker is inside a task: the task is
    // waited for, and everything posted behind it has run once, in order.
    for (bool destroy : {false, true})
    {
        Record busy;
        ScopedHandle started(ManualEvent());
        ScopedHandle gate(ManualEvent());
        std::optional<background_task_runner> runner(std::in_place);
        ASSERT_TRUE(runner->Start());
        runner->Post([&] {
            SetEvent(started.get());
            WaitForSingleObject(gate.get(), 30000);
            busy.Add(0);
        });
        for (int i = 1; i <= 3; ++i)
            runner->Post([&busy, i] { busy.Add(i); });
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.get(), 30000));
        std::thread stopping([&] {
            if (destroy)
                runner.reset();
            else
                EXPECT_TRUE(runner->Stop());
            std::lock_guard<std::mutex> guard(busy.lock);
            EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), busy.order) << destroy;
        });
        SetEvent(gate.get());
        stopping.join();
        EXPECT_NE(GetCurrentThreadId(), busy.threads[0]);
    }
}
