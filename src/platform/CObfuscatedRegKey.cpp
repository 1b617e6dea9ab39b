#include "platform/CObfuscatedRegKey.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "platform/SealedValue.h"
#include "vantu_config.h"

namespace Groundwork {

namespace {

constexpr char kSealingKey[] = VANTU_SEALING_KEY;
static_assert(sizeof(kSealingKey) == 39, "the sealing key is a braced GUID of 38 characters");

// Raw values up to this size are read without a heap allocation.
constexpr DWORD kRawReadSize = 256;

// Plaintext buffers are wiped before they are freed: they hold what the
// seal protects.
struct PlainBuffer
{
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;

    PlainBuffer() = default;
    PlainBuffer(const PlainBuffer&) = delete;
    PlainBuffer& operator=(const PlainBuffer&) = delete;
    PlainBuffer(PlainBuffer&&) = delete;
    PlainBuffer& operator=(PlainBuffer&&) = delete;

    bool Allocate(size_t n)
    {
        bytes.reset(new (std::nothrow) uint8_t[n > 0 ? n : 1]);
        size = bytes ? n : 0;
        return static_cast<bool>(bytes);
    }
    ~PlainBuffer()
    {
        if (bytes)
            SecureZeroMemory(bytes.get(), size);
    }
};

LONG LastErrorOr(LONG fallback)
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? static_cast<LONG>(error) : fallback;
}

LONG ToWin32(SealStatus status)
{
    switch (status)
    {
    case SealStatus::Ok: return ERROR_SUCCESS;
    case SealStatus::InvalidArgument: return ERROR_INVALID_PARAMETER;
    case SealStatus::Malformed: return ERROR_INVALID_DATA;
    case SealStatus::BufferTooSmall: return ERROR_MORE_DATA;
    case SealStatus::CipherFailed: return ERROR_DECRYPTION_FAILED;
    }
    return ERROR_INVALID_DATA;
}

// Value names go to the ANSI registry functions in the thread's code page.
// A null name (the key's default value) stays null.
LONG ToAnsiName(LPCWSTR name, std::unique_ptr<char[]>& ansi)
{
    ansi.reset();
    if (name == nullptr)
        return ERROR_SUCCESS;
    const int size = WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    ansi.reset(new (std::nothrow) char[size]);
    if (!ansi)
        return ERROR_OUTOFMEMORY;
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, ansi.get(), size, nullptr, nullptr) != size)
        return LastErrorOr(ERROR_INVALID_PARAMETER);
    return ERROR_SUCCESS;
}

// Reads the stored value and checks its seal; with `payload`, deciphers the
// payload into it (`capacity` bytes).
LONG OpenRawValue(HKEY key, const char* name, uint32_t& type, uint32_t& length, uint8_t* payload,
                  size_t capacity)
{
    uint8_t local[kRawReadSize];
    std::unique_ptr<uint8_t[]> heap;
    uint8_t* raw = local;
    DWORD rawType = REG_NONE;
    DWORD size = sizeof(local);
    LONG result = RegQueryValueExA(key, name, nullptr, &rawType, raw, &size);
    if (result == ERROR_MORE_DATA)
    {
        heap.reset(new (std::nothrow) uint8_t[size]);
        if (!heap)
            return ERROR_OUTOFMEMORY;
        raw = heap.get();
        result = RegQueryValueExA(key, name, nullptr, &rawType, raw, &size);
    }
    if (result != ERROR_SUCCESS)
        return result;
    if (rawType != REG_BINARY)
        return ERROR_INVALID_DATA;
    return ToWin32(OpenSealedValue(SealingKey(), SealingKeyLength(), raw, size, &type, &length, payload,
                                   capacity));
}

// UTF-16 of `chars` characters of `text` as UTF-8, appended at `out` (null:
// only counted). Returns the byte count, or -1 with the error in `error`.
int Utf8Length(const wchar_t* text, size_t chars, char* out, int capacity, LONG& error)
{
    if (chars == 0)
        return 0;
    if (chars > INT_MAX)
    {
        error = ERROR_INVALID_DATA;
        return -1;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(chars), out, out ? capacity : 0,
                                          nullptr, nullptr);
    if (bytes <= 0)
    {
        error = LastErrorOr(ERROR_INVALID_DATA);
        return -1;
    }
    return bytes;
}

int Utf16Length(const uint8_t* text, size_t bytes, wchar_t* out, int capacity, LONG& error)
{
    if (bytes == 0)
        return 0;
    if (bytes > INT_MAX)
    {
        error = ERROR_INVALID_DATA;
        return -1;
    }
    const int chars = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(text),
                                          static_cast<int>(bytes), out, out ? capacity : 0);
    if (chars <= 0)
    {
        error = LastErrorOr(ERROR_INVALID_DATA);
        return -1;
    }
    return chars;
}

// Length of the string at `text`, at most `limit` characters.
template <typename Char>
size_t BoundedLength(const Char* text, size_t limit)
{
    size_t n = 0;
    while (n < limit && text[n] != 0)
        ++n;
    return n;
}

// REG_SZ payload: the text up to its terminator (within the caller's size)
// as UTF-8, with one zero byte.
LONG BuildStringPayload(const wchar_t* text, size_t chars, PlainBuffer& payload)
{
    const size_t length = BoundedLength(text, chars);
    LONG error = ERROR_SUCCESS;
    const int bytes = Utf8Length(text, length, nullptr, 0, error);
    if (bytes < 0)
        return error;
    if (!payload.Allocate(static_cast<size_t>(bytes) + 1))
        return ERROR_OUTOFMEMORY;
    char* out = reinterpret_cast<char*>(payload.bytes.get());
    if (Utf8Length(text, length, out, bytes, error) != bytes)
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA;
    out[bytes] = '\0';
    return ERROR_SUCCESS;
}

// REG_MULTI_SZ payload: each string up to the empty one (within the caller's
// size) as UTF-8 with its zero byte, then one more zero byte.
LONG BuildMultiStringPayload(const wchar_t* text, size_t chars, PlainBuffer& payload)
{
    size_t total = 1;
    LONG error = ERROR_SUCCESS;
    for (size_t pos = 0; pos < chars;)
    {
        const size_t length = BoundedLength(text + pos, chars - pos);
        if (length == 0)
            break;
        const int bytes = Utf8Length(text + pos, length, nullptr, 0, error);
        if (bytes < 0)
            return error;
        total += static_cast<size_t>(bytes) + 1;
        pos += length + 1;
    }
    if (total > UINT32_MAX - kSealedHeaderSize)
        return ERROR_INVALID_DATA;
    if (!payload.Allocate(total))
        return ERROR_OUTOFMEMORY;
    char* out = reinterpret_cast<char*>(payload.bytes.get());
    size_t used = 0;
    for (size_t pos = 0; pos < chars;)
    {
        const size_t length = BoundedLength(text + pos, chars - pos);
        if (length == 0)
            break;
        const int bytes = Utf8Length(text + pos, length, out + used, static_cast<int>(total - used), error);
        if (bytes < 0)
            return error;
        used += static_cast<size_t>(bytes);
        out[used++] = '\0';
        pos += length + 1;
    }
    out[used] = '\0';
    return ERROR_SUCCESS;
}

LONG DeliverString(const uint8_t* payload, uint32_t length, void* data, ULONG* bytes)
{
    LONG error = ERROR_SUCCESS;
    const int needed = Utf16Length(payload, length, nullptr, 0, error);
    if (needed < 0)
        return error;
    if (static_cast<size_t>(needed) > ULONG_MAX / sizeof(wchar_t))
        return ERROR_INVALID_DATA;
    const ULONG capacity = *bytes / sizeof(wchar_t);
    if (data == nullptr || capacity < static_cast<ULONG>(needed))
    {
        *bytes = static_cast<ULONG>(needed) * sizeof(wchar_t);
        return data == nullptr ? ERROR_SUCCESS : ERROR_MORE_DATA;
    }
    const int written = Utf16Length(payload, length, static_cast<wchar_t*>(data), static_cast<int>(capacity), error);
    if (written < 0)
        return error;
    *bytes = static_cast<ULONG>(written) * sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG DeliverMultiString(const uint8_t* payload, uint32_t length, void* data, ULONG* bytes)
{
    size_t total = 1;  // the final terminator
    LONG error = ERROR_SUCCESS;
    for (size_t pos = 0; pos < length;)
    {
        const size_t part = BoundedLength(payload + pos, length - pos);
        if (part == 0)
            break;
        const int chars = Utf16Length(payload + pos, part, nullptr, 0, error);
        if (chars < 0)
            return error;
        total += static_cast<size_t>(chars) + 1;
        pos += part + 1;
    }
    if (total > ULONG_MAX / sizeof(wchar_t))
        return ERROR_INVALID_DATA;
    const ULONG needed = static_cast<ULONG>(total * sizeof(wchar_t));
    if (data == nullptr)
    {
        *bytes = needed;
        return ERROR_SUCCESS;
    }
    if (*bytes < needed)
    {
        std::memset(data, 0, *bytes);
        *bytes = needed;
        return ERROR_MORE_DATA;
    }
    wchar_t* out = static_cast<wchar_t*>(data);
    size_t used = 0;
    for (size_t pos = 0; pos < length;)
    {
        const size_t part = BoundedLength(payload + pos, length - pos);
        if (part == 0)
            break;
        const int chars = Utf16Length(payload + pos, part, out + used, static_cast<int>(total - used), error);
        if (chars < 0)
            return error;
        used += static_cast<size_t>(chars);
        out[used++] = L'\0';
        pos += part + 1;
    }
    out[used] = L'\0';
    *bytes = needed;
    return ERROR_SUCCESS;
}

}  // namespace

const uint8_t* SealingKey()
{
    return reinterpret_cast<const uint8_t*>(kSealingKey);
}

size_t SealingKeyLength()
{
    return sizeof(kSealingKey) - 1;
}

LONG CObfuscatedRegKeyImpl::QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* bytes)
{
    if (type == nullptr && bytes == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::unique_ptr<char[]> ansiName;
    LONG result = ToAnsiName(name, ansiName);
    if (result != ERROR_SUCCESS)
    {
        if (type != nullptr)
            *type = REG_NONE;
        return result;
    }

    // First pass: the logical type and the payload length.
    uint32_t logicalType = REG_NONE;
    uint32_t length = 0;
    result = OpenRawValue(Handle(), ansiName.get(), logicalType, length, nullptr, 0);
    if (type != nullptr)
        *type = result == ERROR_SUCCESS ? logicalType : REG_NONE;
    if (result != ERROR_SUCCESS || bytes == nullptr)
        return result;

    // Second pass: the payload itself. The value is read again, so what is
    // delivered is what this pass verified.
    PlainBuffer payload;
    if (!payload.Allocate(length))
        return ERROR_OUTOFMEMORY;
    result = OpenRawValue(Handle(), ansiName.get(), logicalType, length, payload.bytes.get(), payload.size);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != nullptr)
        *type = logicalType;

    switch (logicalType)
    {
    case REG_SZ:
        return DeliverString(payload.bytes.get(), length, data, bytes);
    case REG_MULTI_SZ:
        return DeliverMultiString(payload.bytes.get(), length, data, bytes);
    default:
        break;
    }
    if (data != nullptr)
    {
        if (*bytes < length)
        {
            *bytes = length;
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, payload.bytes.get(), length);
    }
    *bytes = length;
    return ERROR_SUCCESS;
}

LONG CObfuscatedRegKeyImpl::SetValue(LPCWSTR name, DWORD type, const void* data, ULONG bytes)
{
    if (data == nullptr || bytes == 0)
        return ERROR_INVALID_PARAMETER;
    std::unique_ptr<char[]> ansiName;
    LONG result = ToAnsiName(name, ansiName);
    if (result != ERROR_SUCCESS)
        return result;

    PlainBuffer converted;
    const uint8_t* payload = static_cast<const uint8_t*>(data);
    size_t length = bytes;
    if (type == REG_SZ || type == REG_MULTI_SZ)
    {
        const wchar_t* text = static_cast<const wchar_t*>(data);
        const size_t chars = bytes / sizeof(wchar_t);
        result = type == REG_SZ ? BuildStringPayload(text, chars, converted)
                                : BuildMultiStringPayload(text, chars, converted);
        if (result != ERROR_SUCCESS)
            return result;
        payload = converted.bytes.get();
        length = converted.size;
    }
    if (length > UINT32_MAX - kSealedHeaderSize)
        return ERROR_INVALID_DATA;

    const size_t total = SealedSize(length);
    std::unique_ptr<uint8_t[]> sealed(new (std::nothrow) uint8_t[total]);
    if (!sealed)
        return ERROR_NOT_ENOUGH_MEMORY;
    const SealStatus status =
        SealValue(SealingKey(), SealingKeyLength(), type, payload, static_cast<uint32_t>(length), sealed.get());
    if (status != SealStatus::Ok)
        return status == SealStatus::CipherFailed ? ERROR_ENCRYPTION_FAILED : ToWin32(status);
    return RegSetValueExA(Handle(), ansiName.get(), 0, REG_BINARY, sealed.get(), static_cast<DWORD>(total));
}

CObfuscatedRegKey::CObfuscatedRegKey()
    : CRegKey(std::shared_ptr<internal::CRegKeyImpl>(new (std::nothrow) CObfuscatedRegKeyImpl()),
              ExactImplementation{})
{
}

CObfuscatedRegKey::~CObfuscatedRegKey() = default;

}  // namespace Groundwork
