// Status codes of ZnCryptoLib and the translation of operating-system status
// values into them. Plain C++, no Windows headers.
#pragma once

#include <cstdint>

namespace ZnCryptoLib {

// The only result type of the library's operations: 0 is success, every
// failure is one of the codes below. StatusName gives each code's name, the
// constant's name without "ZN_" (the prefix keeps them apart from the
// NTSTATUS macros of the Windows headers).
using ZnStatus = uint32_t;

constexpr ZnStatus ZN_STATUS_SUCCESS = 0x00000000;
constexpr ZnStatus ZN_STATUS_NOT_SUPPORTED = 0x80000001;
constexpr ZnStatus ZN_STATUS_UNSUCCESSFUL = 0x80000002;
constexpr ZnStatus ZN_STATUS_HMAC_NOT_SUPPORTED = 0x80000003;
constexpr ZnStatus ZN_STATUS_BUFFER_TOO_SMALL = 0x80000004;
constexpr ZnStatus ZN_STATUS_NOT_IMPLEMENTED = 0x80000005;
constexpr ZnStatus ZN_STATUS_INVALID_BUFFER_SIZE = 0x80000006;
constexpr ZnStatus ZN_STATUS_AUTH_TAG_MISMATCH = 0x80000007;
constexpr ZnStatus ZN_STATUS_DATA_ERROR = 0x80000008;
constexpr ZnStatus ZN_STATUS_INVALID_HANDLE = 0x80000009;
constexpr ZnStatus ZN_STATUS_INVALID_PARAMETER = 0x8000000A;
constexpr ZnStatus ZN_STATUS_NO_MEMORY = 0x8000000B;
constexpr ZnStatus ZN_STATUS_NOT_FOUND = 0x8000000C;
constexpr ZnStatus ZN_STATUS_INVALID_STATE = 0x8000000D;

// Library code for a status returned by the operating system's cryptography
// API (an NTSTATUS, passed as its 32-bit pattern). Statuses the library does
// not distinguish become ZN_STATUS_INVALID_STATE.
ZnStatus StatusFromOsStatus(uint32_t osStatus);

// "ZN_STATUS_SUCCESS", "ZN_STATUS_NOT_SUPPORTED", ...; "STATUS_UNKNOWN" for any
// value that is not a library code.
const wchar_t* StatusName(ZnStatus status);

}  // namespace ZnCryptoLib
