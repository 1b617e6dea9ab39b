// The cross-process lock on real named mutexes. A Win32 mutex is owned by a
// thread, so a second thread of this process stands for a second process.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "platform/CrossProcessLock.h"
#include "platform/ScopedHandle.h"

using Groundwork::CCrossProcessLock;
using Result = Groundwork::CCrossProcessLock::Result;

namespace {

std::wstring UniqueName(const wchar_t* what)
{
    return CCrossProcessLock::NameFor(what, std::to_wstring(GetCurrentProcessId()) + L"\\" +
                                                std::to_wstring(GetTickCount64()));
}

Result AcquireOnOtherThread(CCrossProcessLock& lock, DWORD timeoutMs, bool releaseAfter)
{
    Result result = Result::Unavailable;
    std::thread([&] {
        result = lock.Acquire(timeoutMs);
        if (result == Result::Acquired && releaseAfter)
            lock.Release();
    }).join();
    return result;
}

}  // namespace

TEST(CrossProcessLock, OneNamePerPathWhateverItsCaseAndLength)
{
    const std::wstring longKey(4000, L'x');
    const std::wstring name = CCrossProcessLock::NameFor(L"VantuLog", L"C:\\ProgramData\\Zelnor\\log.txt");
    EXPECT_EQ(name, CCrossProcessLock::NameFor(L"VantuLog", L"c:\\programdata\\ZELNOR\\LOG.TXT"));
    EXPECT_NE(name, CCrossProcessLock::NameFor(L"VantuLog", L"C:\\ProgramData\\Zelnor\\log.txt.0"));
    EXPECT_EQ(0u, name.rfind(L"Global\\VantuLog-", 0));
    EXPECT_EQ(std::wstring::npos, name.find(L'\\', 7));
    EXPECT_LT(CCrossProcessLock::NameFor(L"VantuLog", longKey).size(), 64u);
}

// Exclusion between owners, a bounded wait, the hold-off that follows it,
// and the take-over of a mutex whose holder ended without releasing it.
TEST(CrossProcessLock, ExcludesBoundsTheWaitHoldsOffAndTakesOverAbandoned)
{
    CCrossProcessLock lock(UniqueName(L"VantuTest"), Groundwork::kCrossProcessLockSddl, 300);
    ASSERT_EQ(Result::Acquired, lock.Acquire(1000));

    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Result::Busy, AcquireOnOtherThread(lock, 50, true));
    // Held off: no second wait, whatever the timeout asked for.
    EXPECT_EQ(Result::HeldOff, AcquireOnOtherThread(lock, 60000, true));
    EXPECT_LT(GetTickCount64() - start, 30000u);
    lock.Release();

    while (lock.Acquire(0) == Result::HeldOff)
        Sleep(20);
    lock.Release();

    // A thread that ends holding the mutex abandons it; the next taker gets it.
    EXPECT_EQ(Result::Acquired, AcquireOnOtherThread(lock, 1000, false));
    EXPECT_EQ(Result::Acquired, AcquireOnOtherThread(lock, 5000, true));

    // A second object of the same name is the same mutex (another process's view).
    CCrossProcessLock other(lock.Name(), Groundwork::kCrossProcessLockSddl);
    ASSERT_EQ(Result::Acquired, lock.Acquire(1000));
    EXPECT_EQ(Result::Busy, AcquireOnOtherThread(other, 50, true));
    lock.Release();
}

TEST(CrossProcessLock, NameTakenByAnotherKindOfObjectIsUnavailableThenHeldOff)
{
    const std::wstring name = UniqueName(L"VantuTest");
    const Groundwork::ScopedHandle squatter(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(squatter.valid());

    CCrossProcessLock lock(name, Groundwork::kCrossProcessLockSddl, 60000);
    EXPECT_EQ(Result::Unavailable, lock.Acquire(1000));
    EXPECT_NE(0u, lock.LastError());
    EXPECT_EQ(Result::HeldOff, lock.Acquire(1000));
}
