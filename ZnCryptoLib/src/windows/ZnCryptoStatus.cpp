#include "ZnCryptoLib/src/windows/ZnCryptoStatus.h"

namespace ZnCryptoLib {

namespace {

struct StatusEntry
{
    ZnStatus code;
    uint32_t osStatus;
    const wchar_t* name;
};

// The operating-system statuses are the NTSTATUS values CNG returns.
constexpr StatusEntry kStatusTable[] = {
    {ZN_STATUS_SUCCESS, 0x00000000u, L"STATUS_SUCCESS"},
    {ZN_STATUS_NOT_SUPPORTED, 0xC00000BBu, L"STATUS_NOT_SUPPORTED"},
    {ZN_STATUS_UNSUCCESSFUL, 0xC0000001u, L"STATUS_UNSUCCESSFUL"},
    {ZN_STATUS_HMAC_NOT_SUPPORTED, 0xC000A001u, L"STATUS_HMAC_NOT_SUPPORTED"},
    {ZN_STATUS_BUFFER_TOO_SMALL, 0xC0000023u, L"STATUS_BUFFER_TOO_SMALL"},
    {ZN_STATUS_NOT_IMPLEMENTED, 0xC0000002u, L"STATUS_NOT_IMPLEMENTED"},
    {ZN_STATUS_INVALID_BUFFER_SIZE, 0xC0000206u, L"STATUS_INVALID_BUFFER_SIZE"},
    {ZN_STATUS_AUTH_TAG_MISMATCH, 0xC000A002u, L"STATUS_AUTH_TAG_MISMATCH"},
    {ZN_STATUS_DATA_ERROR, 0xC000003Eu, L"STATUS_DATA_ERROR"},
    {ZN_STATUS_INVALID_HANDLE, 0xC0000008u, L"STATUS_INVALID_HANDLE"},
    {ZN_STATUS_INVALID_PARAMETER, 0xC000000Du, L"STATUS_INVALID_PARAMETER"},
    {ZN_STATUS_NO_MEMORY, 0xC0000017u, L"STATUS_NO_MEMORY"},
    {ZN_STATUS_NOT_FOUND, 0xC0000225u, L"STATUS_NOT_FOUND"},
    // Its operating-system value is never looked up: every status missing
    // from the rows above maps here.
    {ZN_STATUS_INVALID_STATE, 0xFFFFFFFFu, L"STATUS_INVALID_STATE"},
};

}  // namespace

ZnStatus StatusFromOsStatus(uint32_t osStatus)
{
    for (const StatusEntry& entry : kStatusTable)
    {
        if (entry.code != ZN_STATUS_INVALID_STATE && entry.osStatus == osStatus)
            return entry.code;
    }
    return ZN_STATUS_INVALID_STATE;
}

const wchar_t* StatusName(ZnStatus status)
{
    for (const StatusEntry& entry : kStatusTable)
    {
        if (entry.code == status)
            return entry.name;
    }
    return L"STATUS_UNKNOWN";
}

}  // namespace ZnCryptoLib
