// Registry key wrapper: every operation forwards to an implementation object
// so that a derived key type can replace how raw values are stored while
// keeping all typed operations. Results are Win32 error codes.
#pragma once

#include <memory>
#include <string>

#include <windows.h>

namespace Groundwork {
namespace internal {

class CRegKeyImpl
{
public:
    CRegKeyImpl() = default;
    CRegKeyImpl(const CRegKeyImpl&) = delete;
    CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;

    virtual ~CRegKeyImpl();                                                        // 0
    // Raw access: the only two slots through which typed values reach the key.
    virtual LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* bytes);  // 1
    virtual LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG bytes);  // 2

    virtual LONG SetGUIDValue(LPCWSTR name, REFGUID value);                        // 3
    virtual LONG SetBinaryValue(LPCWSTR name, const void* data, ULONG bytes);      // 4
    virtual LONG SetDWORDValue(LPCWSTR name, DWORD value);                         // 5
    virtual LONG SetQWORDValue(LPCWSTR name, ULONGLONG value);                     // 6
    virtual LONG SetStringValue(LPCWSTR name, LPCWSTR value, DWORD type);          // 7
    virtual LONG SetMultiStringValue(LPCWSTR name, LPCWSTR value);                 // 8
    virtual LONG QueryGUIDValue(LPCWSTR name, GUID& value);                        // 9
    virtual LONG QueryBinaryValue(LPCWSTR name, void* data, ULONG* bytes);         // 10
    virtual LONG QueryDWORDValue(LPCWSTR name, DWORD& value);                      // 11
    virtual LONG QueryQWORDValue(LPCWSTR name, ULONGLONG& value);                  // 12
    virtual LONG QueryStringValue(LPCWSTR name, std::wstring& value);              // 13
    virtual LONG QueryStringValue(LPCWSTR name, LPWSTR value, ULONG* chars);       // 14
    virtual LONG QueryMultiStringValue(LPCWSTR name, LPWSTR value, ULONG* chars);  // 15
    virtual LONG GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd,
                                LPDWORD bytes);                                    // 16
    virtual LONG SetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd);  // 17
    virtual LONG Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass, DWORD options,
                        REGSAM access, LPSECURITY_ATTRIBUTES security,
                        LPDWORD disposition);                                      // 18
    virtual LONG Open(HKEY parent, LPCWSTR subKey, REGSAM access);                 // 19
    virtual LONG Close();                                                          // 20
    virtual LONG Flush();                                                          // 21
    virtual HKEY Detach();                                                         // 22
    virtual void Attach(HKEY key);                                                 // 23
    virtual LONG EnumKey(DWORD index, LPWSTR name, LPDWORD nameChars,
                         FILETIME* lastWrite);                                     // 24
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event,
                                      BOOL async);                                 // 25
    virtual LONG DeleteSubKey(LPCWSTR subKey);                                     // 26
    virtual LONG RecurseDeleteKey(LPCWSTR subKey);                                 // 27
    virtual LONG DeleteValue(LPCWSTR name);                                        // 28
    virtual LONG GrantEveryoneFullAccess(bool recursive);                          // 29
    virtual void SetDeleteContentsOnClose(bool value);                             // 30
    virtual bool GetDeleteContentsOnClose() const;                                 // 31

    HKEY Handle() const { return m_key; }

private:
    // Puts `descriptor` on every key below `key`.
    LONG SetSubtreeSecurity(HKEY key, PSECURITY_DESCRIPTOR descriptor);

    HKEY m_key = nullptr;
    REGSAM m_viewFlags = 0;
    bool m_deleteContentsOnClose = false;
};

}  // namespace internal

class CRegKey
{
public:
    CRegKey();
    explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl);
    CRegKey(const CRegKey&) = default;
    CRegKey& operator=(const CRegKey&) = default;
    CRegKey(CRegKey&&) = default;
    CRegKey& operator=(CRegKey&&) = default;

    virtual ~CRegKey();                                                            // 0
    virtual LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* bytes);  // 1
    virtual LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG bytes);  // 2
    virtual LONG SetGUIDValue(LPCWSTR name, REFGUID value);                        // 3
    virtual LONG SetBinaryValue(LPCWSTR name, const void* data, ULONG bytes);      // 4
    virtual LONG SetDWORDValue(LPCWSTR name, DWORD value);                         // 5
    virtual LONG SetQWORDValue(LPCWSTR name, ULONGLONG value);                     // 6
    virtual LONG SetStringValue(LPCWSTR name, LPCWSTR value, DWORD type = REG_SZ);  // 7
    virtual LONG SetMultiStringValue(LPCWSTR name, LPCWSTR value);                 // 8
    virtual LONG QueryGUIDValue(LPCWSTR name, GUID& value);                        // 9
    virtual LONG QueryBinaryValue(LPCWSTR name, void* data, ULONG* bytes);         // 10
    virtual LONG QueryDWORDValue(LPCWSTR name, DWORD& value);                      // 11
    virtual LONG QueryQWORDValue(LPCWSTR name, ULONGLONG& value);                  // 12
    virtual LONG QueryStringValue(LPCWSTR name, std::wstring& value);              // 13
    virtual LONG QueryStringValue(LPCWSTR name, LPWSTR value, ULONG* chars);       // 14
    virtual LONG QueryMultiStringValue(LPCWSTR name, LPWSTR value, ULONG* chars);  // 15
    virtual LONG GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd,
                                LPDWORD bytes);                                    // 16
    virtual LONG SetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd);  // 17
    virtual LONG Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass = nullptr,
                        DWORD options = REG_OPTION_NON_VOLATILE,
                        REGSAM access = KEY_READ | KEY_WRITE,
                        LPSECURITY_ATTRIBUTES security = nullptr,
                        LPDWORD disposition = nullptr);                            // 18
    virtual LONG Open(HKEY parent, LPCWSTR subKey, REGSAM access = KEY_READ | KEY_WRITE);  // 19
    virtual LONG Flush();                                                          // 20
    virtual LONG EnumKey(DWORD index, LPWSTR name, LPDWORD nameChars,
                         FILETIME* lastWrite = nullptr);                           // 21
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event,
                                      BOOL async = TRUE);                          // 22
    virtual LONG DeleteSubKey(LPCWSTR subKey);                                     // 23
    virtual LONG RecurseDeleteKey(LPCWSTR subKey);                                 // 24
    virtual LONG DeleteValue(LPCWSTR name);                                        // 25
    virtual LONG GrantEveryoneFullAccess(bool recursive);                          // 26

    // Non-virtual helpers over the shared implementation.
    LONG Close() { return m_impl ? m_impl->Close() : ERROR_SUCCESS; }
    HKEY Handle() const { return m_impl ? m_impl->Handle() : nullptr; }
    const std::shared_ptr<internal::CRegKeyImpl>& Impl() const { return m_impl; }

protected:
    // Uses `impl` exactly as given: a derived key whose own implementation
    // could not be allocated must not fall back to plain registry access.
    // Every operation on an empty implementation returns ERROR_OUTOFMEMORY.
    struct ExactImplementation
    {
    };
    CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl, ExactImplementation);

private:
    std::shared_ptr<internal::CRegKeyImpl> m_impl;
};

}  // namespace Groundwork
