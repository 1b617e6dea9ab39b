// Owner of one kernel handle.
#pragma once

#include <windows.h>

namespace Groundwork {

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
    // For out-parameters: closes what is held and hands out the slot.
    HANDLE* Put()
    {
        Reset();
        return &m_handle;
    }
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

}  // namespace Groundwork
