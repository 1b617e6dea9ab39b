#include "base/Lock.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// Whether another thread can take the mutex now (a thread never tries a
// std::mutex it holds itself).
bool FreeForOtherThreads(Groundwork::Mutex& mutex)
{
    bool taken = false;
    std::thread([&] {
        if (mutex.try_lock())
        {
            taken = true;
            mutex.unlock();
        }
    }).join();
    return taken;
}

TEST(MutexLock, HoldsTheMutexForItsScopeAndAcrossUnlockAndLock)
{
    Groundwork::Mutex mutex;
    ASSERT_TRUE(FreeForOtherThreads(mutex));
    {
        Groundwork::MutexLock lock(mutex);
        EXPECT_FALSE(FreeForOtherThreads(mutex));
        lock.Unlock();
        EXPECT_TRUE(FreeForOtherThreads(mutex));
        lock.Lock();
        EXPECT_FALSE(FreeForOtherThreads(mutex));
    }
    EXPECT_TRUE(FreeForOtherThreads(mutex));
    {
        Groundwork::MutexLock lock(mutex);
        lock.Unlock();  // left unlocked at the end of its scope: the guard must not unlock twice
    }
    EXPECT_TRUE(FreeForOtherThreads(mutex));
}

}  // namespace
