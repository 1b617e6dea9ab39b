#include "platform/CRegKey.h"

#include <aclapi.h>
#include <objbase.h>
#include <shlwapi.h>

#include <new>
#include <vector>

#include "platform/ScopedHandle.h"

namespace Groundwork {
namespace internal {

namespace {

constexpr REGSAM kViewMask = KEY_WOW64_32KEY | KEY_WOW64_64KEY;

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// RegDeleteKeyExW is looked up once per process; racing threads compute the
// same value.
RegDeleteKeyExWFn LookupRegDeleteKeyEx()
{
    static RegDeleteKeyExWFn fn = [] {
        HMODULE advapi = GetModuleHandleW(L"Advapi32.dll");
        return advapi ? reinterpret_cast<RegDeleteKeyExWFn>(
                            reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExW")))
                      : nullptr;
    }();
    return fn;
}

}  // namespace

CRegKeyImpl::~CRegKeyImpl()
{
    Close();
}

LONG CRegKeyImpl::QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* bytes)
{
    return RegQueryValueExW(m_key, name, nullptr, type, static_cast<BYTE*>(data), bytes);
}

LONG CRegKeyImpl::SetValue(LPCWSTR name, DWORD type, const void* data, ULONG bytes)
{
    if (data == nullptr || bytes == 0)
        return ERROR_INVALID_PARAMETER;
    return RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), bytes);
}

LONG CRegKeyImpl::SetGUIDValue(LPCWSTR name, REFGUID value)
{
    wchar_t text[64] = L"";
    if (StringFromGUID2(value, text, 64) == 0)
        return ERROR_INVALID_DATA;
    return SetStringValue(name, text, REG_SZ);
}

LONG CRegKeyImpl::SetBinaryValue(LPCWSTR name, const void* data, ULONG bytes)
{
    return SetValue(name, REG_BINARY, data, bytes);
}

LONG CRegKeyImpl::SetDWORDValue(LPCWSTR name, DWORD value)
{
    return SetValue(name, REG_DWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::SetQWORDValue(LPCWSTR name, ULONGLONG value)
{
    return SetValue(name, REG_QWORD, &value, sizeof(value));
}

LONG CRegKeyImpl::SetStringValue(LPCWSTR name, LPCWSTR value, DWORD type)
{
    if (value == nullptr)
        return ERROR_INVALID_DATA;
    const ULONG bytes = static_cast<ULONG>((wcslen(value) + 1) * sizeof(wchar_t));
    return SetValue(name, type, value, bytes);
}

LONG CRegKeyImpl::SetMultiStringValue(LPCWSTR name, LPCWSTR value)
{
    if (value == nullptr)
        return ERROR_INVALID_DATA;
    size_t chars = 0;
    for (LPCWSTR p = value;;)
    {
        const size_t len = wcslen(p);
        chars += len + 1;
        if (len == 0)
            break;
        p += len + 1;
    }
    return SetValue(name, REG_MULTI_SZ, value, static_cast<ULONG>(chars * sizeof(wchar_t)));
}

LONG CRegKeyImpl::QueryGUIDValue(LPCWSTR name, GUID& value)
{
    value = GUID{};
    wchar_t text[64] = L"";
    ULONG chars = 64;
    const LONG result = QueryStringValue(name, text, &chars);
    if (result != ERROR_SUCCESS)
        return result;
    if (text[0] != L'{' || FAILED(CLSIDFromString(text, &value)))
        return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryBinaryValue(LPCWSTR name, void* data, ULONG* bytes)
{
    if (m_key == nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    const LONG result = QueryValue(name, &type, data, bytes);
    if (result != ERROR_SUCCESS)
        return result;
    return type == REG_BINARY ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKeyImpl::QueryDWORDValue(LPCWSTR name, DWORD& value)
{
    if (m_key == nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    ULONG bytes = sizeof(DWORD);
    const LONG result = QueryValue(name, &type, &value, &bytes);
    if (result != ERROR_SUCCESS)
        return result;
    return type == REG_DWORD ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKeyImpl::QueryQWORDValue(LPCWSTR name, ULONGLONG& value)
{
    if (m_key == nullptr)
        return ERROR_INVALID_PARAMETER;
    DWORD type = 0;
    ULONG bytes = sizeof(ULONGLONG);
    const LONG result = QueryValue(name, &type, &value, &bytes);
    if (result != ERROR_SUCCESS)
        return result;
    return type == REG_QWORD ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKeyImpl::QueryStringValue(LPCWSTR name, std::wstring& value)
{
    ULONG chars = 0;
    LONG result = QueryStringValue(name, nullptr, &chars);
    if (result != ERROR_SUCCESS)
        return result;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[chars + 1]);
    if (!buffer)
        return ERROR_OUTOFMEMORY;
    buffer[0] = L'\0';
    buffer[chars] = L'\0';
    result = QueryStringValue(name, buffer.get(), &chars);
    if (result != ERROR_SUCCESS)
        return result;
    value.assign(buffer.get());
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryStringValue(LPCWSTR name, LPWSTR value, ULONG* chars)
{
    if (m_key == nullptr || chars == nullptr)
        return ERROR_INVALID_PARAMETER;
    ULONG bytes = *chars * sizeof(wchar_t);
    *chars = 0;
    DWORD type = 0;
    const LONG result = QueryValue(name, &type, value, &bytes);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (value != nullptr)
    {
        if (bytes == 0)
            value[0] = L'\0';
        else if ((bytes % sizeof(wchar_t)) != 0 || value[bytes / sizeof(wchar_t) - 1] != L'\0')
            return ERROR_INVALID_DATA;
    }
    *chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryMultiStringValue(LPCWSTR name, LPWSTR value, ULONG* chars)
{
    if (chars == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (value != nullptr && *chars < 2)
        return ERROR_INSUFFICIENT_BUFFER;
    ULONG bytes = *chars * sizeof(wchar_t);
    DWORD type = 0;
    const LONG result = QueryValue(name, &type, value, &bytes);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_MULTI_SZ)
        return ERROR_INVALID_DATA;
    if (value != nullptr)
    {
        const ULONG count = bytes / sizeof(wchar_t);
        if ((bytes % sizeof(wchar_t)) != 0 || count < 1 || value[count - 1] != L'\0' ||
            (count >= 2 && value[count - 2] != L'\0'))
            return ERROR_INVALID_DATA;
    }
    *chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd, LPDWORD bytes)
{
    if (m_key == nullptr || bytes == nullptr)
        return ERROR_INVALID_PARAMETER;
    return RegGetKeySecurity(m_key, info, sd, bytes);
}

LONG CRegKeyImpl::SetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd)
{
    if (m_key == nullptr || sd == nullptr)
        return ERROR_INVALID_PARAMETER;
    return RegSetKeySecurity(m_key, info, sd);
}

LONG CRegKeyImpl::Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass, DWORD options, REGSAM access,
                         LPSECURITY_ATTRIBUTES security, LPDWORD disposition)
{
    DWORD localDisposition = 0;
    HKEY key = nullptr;
    const LONG result = RegCreateKeyExW(parent, subKey, 0, keyClass, options, access, security, &key,
                                        &localDisposition);
    if (disposition != nullptr)
        *disposition = localDisposition;
    if (result != ERROR_SUCCESS)
        return result;
    const LONG closeResult = Close();
    m_key = key;
    m_viewFlags = access & kViewMask;
    m_deleteContentsOnClose = false;
    return closeResult;
}

LONG CRegKeyImpl::Open(HKEY parent, LPCWSTR subKey, REGSAM access)
{
    HKEY key = nullptr;
    const LONG result = RegOpenKeyExW(parent, subKey, 0, access, &key);
    if (result != ERROR_SUCCESS)
        return result;
    const LONG closeResult = Close();
    m_key = key;
    m_viewFlags = access & kViewMask;
    m_deleteContentsOnClose = false;
    return closeResult;
}

LONG CRegKeyImpl::Close()
{
    if (m_key == nullptr)
    {
        m_viewFlags = 0;
        return ERROR_SUCCESS;
    }
    if (m_deleteContentsOnClose)
    {
        SHDeleteKeyW(m_key, L"");
        m_deleteContentsOnClose = false;
    }
    const LONG result = RegCloseKey(m_key);
    m_key = nullptr;
    m_viewFlags = 0;
    return result;
}

LONG CRegKeyImpl::Flush()
{
    if (m_key == nullptr)
        return ERROR_INVALID_PARAMETER;
    return RegFlushKey(m_key);
}

HKEY CRegKeyImpl::Detach()
{
    HKEY key = m_key;
    m_key = nullptr;
    m_viewFlags = 0;
    m_deleteContentsOnClose = false;
    return key;
}

void CRegKeyImpl::Attach(HKEY key)
{
    m_key = key;
    m_viewFlags = 0;
    m_deleteContentsOnClose = false;
}

LONG CRegKeyImpl::EnumKey(DWORD index, LPWSTR name, LPDWORD nameChars, FILETIME* lastWrite)
{
    if (m_key == nullptr)
        return ERROR_INVALID_PARAMETER;
    FILETIME localTime{};
    return RegEnumKeyExW(m_key, index, name, nameChars, nullptr, nullptr, nullptr,
                         lastWrite ? lastWrite : &localTime);
}

LONG CRegKeyImpl::NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL async)
{
    if (m_key == nullptr)
        return ERROR_INVALID_PARAMETER;
    return RegNotifyChangeKeyValue(m_key, watchSubtree, filter, event, async);
}

LONG CRegKeyImpl::DeleteSubKey(LPCWSTR subKey)
{
    if (m_key == nullptr || subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (RegDeleteKeyExWFn deleteEx = LookupRegDeleteKeyEx())
        return deleteEx(m_key, subKey, m_viewFlags, 0);
    return RegDeleteKeyW(m_key, subKey);
}

LONG CRegKeyImpl::RecurseDeleteKey(LPCWSTR subKey)
{
    if (m_key == nullptr)
        return ERROR_INVALID_PARAMETER;
    {
        CRegKeyImpl child;
        LONG result = child.Open(m_key, subKey, KEY_READ | KEY_WRITE | m_viewFlags);
        if (result != ERROR_SUCCESS)
            return result;
        wchar_t name[256];
        for (;;)
        {
            DWORD chars = 256;
            if (child.EnumKey(0, name, &chars, nullptr) != ERROR_SUCCESS)
                break;
            result = child.RecurseDeleteKey(name);
            if (result != ERROR_SUCCESS)
                return result;
        }
    }
    return DeleteSubKey(subKey);
}

LONG CRegKeyImpl::DeleteValue(LPCWSTR name)
{
    if (m_key == nullptr || name == nullptr)
        return ERROR_INVALID_PARAMETER;
    return RegDeleteValueW(m_key, name);
}

LONG CRegKeyImpl::GrantEveryoneFullAccess(bool recursive)
{
    if (m_key == nullptr)
        return ERROR_INVALID_PARAMETER;
    // The security functions are linked statically: every supported system
    // is of the NT family and has them.
    const HKEY key = m_key;
    DWORD size = 0;
    LONG result = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (result != ERROR_INSUFFICIENT_BUFFER)
        return result;
    if (size == 0)
        return ERROR_BAD_LENGTH;

    const Groundwork::LocalMemory<PSECURITY_DESCRIPTOR> oldDescriptor(LocalAlloc(LPTR, size));
    if (!oldDescriptor)
        return ERROR_OUTOFMEMORY;
    result = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, oldDescriptor.get(), &size);
    if (result != ERROR_SUCCESS)
        return result;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL oldDacl = nullptr;
    if (!GetSecurityDescriptorDacl(oldDescriptor.get(), &present, &oldDacl, &defaulted))
        return static_cast<LONG>(GetLastError());

    Groundwork::Sid everyone;
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                  everyone.put()))
        return static_cast<LONG>(GetLastError());

    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone.get());

    Groundwork::LocalMemory<PACL> newDacl;
    result = static_cast<LONG>(SetEntriesInAclW(1, &access, oldDacl, newDacl.put()));
    if (result != ERROR_SUCCESS)
        return result;

    SECURITY_DESCRIPTOR newDescriptor{};
    if (!InitializeSecurityDescriptor(&newDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&newDescriptor, TRUE, newDacl.get(), FALSE))
        return static_cast<LONG>(GetLastError());

    result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &newDescriptor);
    if (result != ERROR_SUCCESS || !recursive)
        return result;
    // The whole tree gets this key's new descriptor, whatever each subkey
    // held before.
    return SetSubtreeSecurity(key, &newDescriptor);
}

LONG CRegKeyImpl::SetSubtreeSecurity(HKEY key, PSECURITY_DESCRIPTOR descriptor)
{
    wchar_t name[256];
    for (DWORD index = 0;; ++index)
    {
        DWORD chars = 256;
        const LONG enumerated = RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (enumerated == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (enumerated != ERROR_SUCCESS)
            return enumerated;
        Groundwork::RegistryKey child;
        if (RegOpenKeyExW(key, name, 0, KEY_ALL_ACCESS | m_viewFlags, child.put()) != ERROR_SUCCESS)
            continue;
        LONG result = RegSetKeySecurity(child.get(), DACL_SECURITY_INFORMATION, descriptor);
        if (result == ERROR_SUCCESS)
            result = SetSubtreeSecurity(child.get(), descriptor);
        if (result != ERROR_SUCCESS)
            return result;
    }
}

void CRegKeyImpl::SetDeleteContentsOnClose(bool value)
{
    m_deleteContentsOnClose = value;
}

bool CRegKeyImpl::GetDeleteContentsOnClose() const
{
    return m_deleteContentsOnClose;
}

}  // namespace internal

// ---------------------------------------------------------------------------

namespace {

std::shared_ptr<internal::CRegKeyImpl> FreshImpl()
{
    return std::shared_ptr<internal::CRegKeyImpl>(new (std::nothrow) internal::CRegKeyImpl());
}

}  // namespace

CRegKey::CRegKey() : m_impl(FreshImpl()) {}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl)
    : m_impl(impl ? std::move(impl) : FreshImpl())
{
}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl, ExactImplementation) : m_impl(std::move(impl)) {}

CRegKey::~CRegKey()
{
    if (m_impl)
        m_impl->Close();
}

// A wrapper whose implementation could not be allocated reports exhaustion
// instead of dereferencing null.
#define FORWARD(call)             \
    if (!m_impl)                  \
        return ERROR_OUTOFMEMORY; \
    return m_impl->call

LONG CRegKey::QueryValue(LPCWSTR n, DWORD* t, void* d, ULONG* b) { FORWARD(QueryValue(n, t, d, b)); }
LONG CRegKey::SetValue(LPCWSTR n, DWORD t, const void* d, ULONG b) { FORWARD(SetValue(n, t, d, b)); }
LONG CRegKey::SetGUIDValue(LPCWSTR n, REFGUID v) { FORWARD(SetGUIDValue(n, v)); }
LONG CRegKey::SetBinaryValue(LPCWSTR n, const void* d, ULONG b) { FORWARD(SetBinaryValue(n, d, b)); }
LONG CRegKey::SetDWORDValue(LPCWSTR n, DWORD v) { FORWARD(SetDWORDValue(n, v)); }
LONG CRegKey::SetQWORDValue(LPCWSTR n, ULONGLONG v) { FORWARD(SetQWORDValue(n, v)); }
LONG CRegKey::SetStringValue(LPCWSTR n, LPCWSTR v, DWORD t) { FORWARD(SetStringValue(n, v, t)); }
LONG CRegKey::SetMultiStringValue(LPCWSTR n, LPCWSTR v) { FORWARD(SetMultiStringValue(n, v)); }
LONG CRegKey::QueryGUIDValue(LPCWSTR n, GUID& v) { FORWARD(QueryGUIDValue(n, v)); }
LONG CRegKey::QueryBinaryValue(LPCWSTR n, void* d, ULONG* b) { FORWARD(QueryBinaryValue(n, d, b)); }
LONG CRegKey::QueryDWORDValue(LPCWSTR n, DWORD& v) { FORWARD(QueryDWORDValue(n, v)); }
LONG CRegKey::QueryQWORDValue(LPCWSTR n, ULONGLONG& v) { FORWARD(QueryQWORDValue(n, v)); }
LONG CRegKey::QueryStringValue(LPCWSTR n, std::wstring& v) { FORWARD(QueryStringValue(n, v)); }
LONG CRegKey::QueryStringValue(LPCWSTR n, LPWSTR v, ULONG* c) { FORWARD(QueryStringValue(n, v, c)); }
LONG CRegKey::QueryMultiStringValue(LPCWSTR n, LPWSTR v, ULONG* c) { FORWARD(QueryMultiStringValue(n, v, c)); }
LONG CRegKey::GetKeySecurity(SECURITY_INFORMATION i, PSECURITY_DESCRIPTOR s, LPDWORD b) { FORWARD(GetKeySecurity(i, s, b)); }
LONG CRegKey::SetKeySecurity(SECURITY_INFORMATION i, PSECURITY_DESCRIPTOR s) { FORWARD(SetKeySecurity(i, s)); }
LONG CRegKey::Create(HKEY p, LPCWSTR s, LPWSTR c, DWORD o, REGSAM a, LPSECURITY_ATTRIBUTES sa, LPDWORD d)
{
    FORWARD(Create(p, s, c, o, a, sa, d));
}
LONG CRegKey::Open(HKEY p, LPCWSTR s, REGSAM a) { FORWARD(Open(p, s, a)); }
LONG CRegKey::Flush() { FORWARD(Flush()); }
LONG CRegKey::EnumKey(DWORD i, LPWSTR n, LPDWORD c, FILETIME* t) { FORWARD(EnumKey(i, n, c, t)); }
LONG CRegKey::NotifyChangeKeyValue(BOOL w, DWORD f, HANDLE e, BOOL a) { FORWARD(NotifyChangeKeyValue(w, f, e, a)); }
LONG CRegKey::DeleteSubKey(LPCWSTR s) { FORWARD(DeleteSubKey(s)); }
LONG CRegKey::RecurseDeleteKey(LPCWSTR s) { FORWARD(RecurseDeleteKey(s)); }
LONG CRegKey::DeleteValue(LPCWSTR n) { FORWARD(DeleteValue(n)); }
LONG CRegKey::GrantEveryoneFullAccess(bool r) { FORWARD(GrantEveryoneFullAccess(r)); }

#undef FORWARD

}  // namespace Groundwork
