// Single owners for CNG handles: algorithm providers, hash objects and keys.
#pragma once

#include <windows.h>

#include <bcrypt.h>

namespace ZnCryptoLib {

template <typename Handle, NTSTATUS(WINAPI* Release)(Handle)>
class CngHandle
{
public:
    CngHandle() = default;
    explicit CngHandle(Handle handle) : m_handle(handle) {}
    CngHandle(const CngHandle&) = delete;
    CngHandle& operator=(const CngHandle&) = delete;
    CngHandle(CngHandle&& other) noexcept : m_handle(other.Detach()) {}
    CngHandle& operator=(CngHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }
    ~CngHandle() { Reset(); }

    Handle Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

    // Takes `handle` first, then releases the one held before.
    void Reset(Handle handle = nullptr)
    {
        Handle old = m_handle;
        m_handle = handle;
        if (old != nullptr)
            Release(old);
    }

    Handle Detach()
    {
        Handle handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

    // For out-parameters of BCrypt* calls; the caller must hold no handle.
    Handle* Receive() { return &m_handle; }

private:
    Handle m_handle = nullptr;
};

inline NTSTATUS WINAPI CloseAlgorithmProvider(BCRYPT_ALG_HANDLE handle)
{
    return BCryptCloseAlgorithmProvider(handle, 0);
}

inline NTSTATUS WINAPI DestroyHash(BCRYPT_HASH_HANDLE handle)
{
    return BCryptDestroyHash(handle);
}

inline NTSTATUS WINAPI DestroyKey(BCRYPT_KEY_HANDLE handle)
{
    return BCryptDestroyKey(handle);
}

// The release functions are our own inline wrappers: the address of an
// imported function is not a constant every compiler accepts here.
using CngAlgorithm = CngHandle<BCRYPT_ALG_HANDLE, CloseAlgorithmProvider>;
using CngHash = CngHandle<BCRYPT_HASH_HANDLE, DestroyHash>;
using CngKey = CngHandle<BCRYPT_KEY_HANDLE, DestroyKey>;

}  // namespace ZnCryptoLib
