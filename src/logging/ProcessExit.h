// At process-exit detach every other thread is already gone, possibly in the
// middle of one of our locks, a pending pipe call or the heap's own lock.
// Process-wide objects that other threads use are then abandoned instead of
// destroyed: the process is ending, and destroying them could wait for ever.
#pragma once

#include <atomic>
#include <new>
#include <utility>

namespace ProcessExit {

inline std::atomic<bool> g_exiting{false};

// Called by DllMain on a process-exit detach, before static destructors run.
inline void Begin()
{
    g_exiting.store(true);
}

inline bool InProgress()
{
    return g_exiting.load();
}

}  // namespace ProcessExit

// Holds a T in place. Destroys it with the other static objects when the
// library is unloaded, and leaves it alone when the process is exiting.
template <typename T>
class ExitSafe
{
public:
    template <typename... Args>
    explicit ExitSafe(Args&&... args)
    {
        new (m_storage) T(std::forward<Args>(args)...);
    }
    ~ExitSafe()
    {
        if (!ProcessExit::InProgress())
            Get().~T();
    }
    ExitSafe(const ExitSafe&) = delete;
    ExitSafe& operator=(const ExitSafe&) = delete;

    T& Get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)]{};
};
