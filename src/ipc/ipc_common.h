// Kernel handle owners shared by the transport.
#pragma once

#include <windows.h>

namespace ipc {

// Owns one kernel handle (null or INVALID_HANDLE_VALUE when empty) and closes
// it when replaced or destroyed.
class ScopedHandle
{
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE handle) : m_handle(handle) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : m_handle(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    bool Valid() const { return IsValid(m_handle); }
    HANDLE Get() const { return m_handle; }
    HANDLE Release()
    {
        HANDLE handle = m_handle;
        m_handle = nullptr;
        return handle;
    }
    void Reset(HANDLE handle = nullptr)
    {
        HANDLE old = m_handle;
        m_handle = handle;
        if (IsValid(old) && old != handle)
            CloseHandle(old);
    }

private:
    HANDLE m_handle = nullptr;
};

// The holder of one event of the transport.
using EventHolder = ScopedHandle;

// Creates an unnamed, non-signalled event in `holder` unless it already holds
// one. Logs and fails when the system refuses.
bool CreateEventHandle(EventHolder& holder, bool manualReset);

}  // namespace ipc
