// The library's lock: std::mutex with the annotations clang's lock analysis
// (-Wthread-safety) reads. Under other compilers the annotations are empty.
//
//   Groundwork::Mutex m_mutex;
//   int m_count GUARDED_BY(m_mutex) = 0;
//   void AddLocked() REQUIRES(m_mutex);     // caller holds m_mutex
//   void Add() EXCLUDES(m_mutex)            // caller must not hold it
//   {
//       Groundwork::MutexLock lock(m_mutex);
//       AddLocked();
//   }
#pragma once

#include <mutex>

#if defined(__clang__)
#define VANTU_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VANTU_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) VANTU_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY VANTU_THREAD_ANNOTATION(scoped_lockable)
// Data that only a holder of the lock reads or writes.
#define GUARDED_BY(lock) VANTU_THREAD_ANNOTATION(guarded_by(lock))
// A pointer whose target only a holder of the lock reads or writes.
#define PT_GUARDED_BY(lock) VANTU_THREAD_ANNOTATION(pt_guarded_by(lock))
// Lock order: this lock is taken after (before) the ones named.
#define ACQUIRED_AFTER(...) VANTU_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) VANTU_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
// The caller holds the locks named, and still holds them on return.
#define REQUIRES(...) VANTU_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the locks named (the function takes them).
#define EXCLUDES(...) VANTU_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VANTU_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VANTU_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VANTU_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(lock) VANTU_THREAD_ANNOTATION(assert_capability(lock))
#define RETURN_CAPABILITY(lock) VANTU_THREAD_ANNOTATION(lock_returned(lock))
// For the rare function the analysis cannot follow; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS VANTU_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace Groundwork {

// A std::mutex the analysis knows as a lock. lock/unlock/try_lock keep the
// standard's names so that std::condition_variable_any and std::scoped_lock
// accept it.
class CAPABILITY("mutex") Mutex
{
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    Mutex(Mutex&&) = delete;
    Mutex& operator=(Mutex&&) = delete;
    ~Mutex() = default;

    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

    // Tells the analysis that the caller holds this lock where it cannot see
    // it (a callback the holder runs, for example). Checks nothing at run time.
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

private:
    friend class MutexLock;
    std::mutex m_mutex;
};

// Holds a Mutex for its scope. Unlock and Lock drop and take it again inside
// the scope (around a call that must not run under it); a condition variable
// waits on Native().
class SCOPED_CAPABILITY MutexLock
{
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
    ~MutexLock() RELEASE() = default;
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    MutexLock(MutexLock&&) = delete;
    MutexLock& operator=(MutexLock&&) = delete;

    void Unlock() RELEASE() { m_lock.unlock(); }
    void Lock() ACQUIRE() { m_lock.lock(); }

    // For std::condition_variable::wait and its kin, which release and
    // retake the lock themselves: the lock is held again when they return.
    std::unique_lock<std::mutex>& Native() { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
};

}  // namespace Groundwork
