#include "ZnCryptoLib/src/windows/CZnCryptoHashBaseWin.h"

#include "ZnCryptoLib/src/windows/CWinError.h"
#include "ZnCryptoLib/src/windows/ZnCryptoLog.h"

namespace ZnCryptoLib {

ZnStatus CZnCryptoHashBaseWin::GetBlockLength(uint32_t& length) const
{
    if (!m_provider)
        return ZN_STATUS_INVALID_STATE;
    DWORD value = 0;
    ULONG written = 0;
    const NTSTATUS status =
        BCryptGetProperty(m_provider.get(), BCRYPT_HASH_BLOCK_LENGTH, reinterpret_cast<PUCHAR>(&value),
                          sizeof(value), &written, 0);
    if (!BCRYPT_SUCCESS(status))
        return ToStatus(status);
    length = value;
    return ZN_STATUS_SUCCESS;
}

ZnStatus CZnCryptoHashBaseWin::CreateHashHandle(const uint8_t* key, uint32_t keyLength)
{
    if (!m_provider)
        return ZN_STATUS_INVALID_STATE;
    CngHash hash;
    const NTSTATUS status = BCryptCreateHash(m_provider.get(), hash.put(), nullptr, 0,
                                             const_cast<PUCHAR>(key), keyLength, 0);
    const ZnStatus code = ToStatus(status);
    if (code != ZN_STATUS_SUCCESS)
    {
        ZN_LOG("ZnCryptoLib::CZnCryptoHashBaseWin::CreateHashHandle", StatusName(code),
               L": Error trying to BCryptCreateHash");
        return code;
    }
    m_hash = std::move(hash);
    return ZN_STATUS_SUCCESS;
}

}  // namespace ZnCryptoLib
