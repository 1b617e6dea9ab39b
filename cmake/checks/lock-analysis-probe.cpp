// Compiled by "./run.sh check" twice with clang -Wthread-safety -Werror:
// as it stands it must compile, and with VANTU_PROBE_MISTAKE defined it must
// not. Shows that the annotations of base/Lock.h reach the analysis.
#include "base/Lock.h"

class Counter
{
public:
    void Add() EXCLUDES(m_mutex)
    {
        Groundwork::MutexLock lock(m_mutex);
        AddLocked();
        lock.Unlock();
        Report();
        lock.Lock();
        ++m_count;
    }

    int Read() EXCLUDES(m_mutex)
    {
        Groundwork::MutexLock lock(m_mutex);
        return m_count;
    }

#ifdef VANTU_PROBE_MISTAKE
    int ReadUnlocked() { return m_count; }             // reads without the lock
    void AddUnlocked() { AddLocked(); }                 // calls without the lock
    void AddTwice() EXCLUDES(m_mutex)
    {
        Groundwork::MutexLock lock(m_mutex);
        Add();                                          // takes the lock again
    }
#endif

private:
    void AddLocked() REQUIRES(m_mutex) { ++m_count; }
    void Report() EXCLUDES(m_mutex) {}

    Groundwork::Mutex m_mutex;
    int m_count GUARDED_BY(m_mutex) = 0;
};

int main()
{
    Counter counter;
    counter.Add();
    return counter.Read() == 2 ? 0 : 1;
}
