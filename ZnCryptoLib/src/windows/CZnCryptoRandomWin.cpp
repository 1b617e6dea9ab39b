#include "ZnCryptoLib/src/windows/CZnCryptoRandomWin.h"

#include "ZnCryptoLib/src/windows/CWinError.h"
#include "ZnCryptoLib/src/windows/ZnCryptoLog.h"

namespace ZnCryptoLib {

ZnStatus CZnCryptoRandomWin::Initialize()
{
    CngAlgorithm provider;
    const ZnStatus code =
        ToStatus(BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_RNG_ALGORITHM, nullptr, 0));
    if (code != ZN_STATUS_SUCCESS)
    {
        ZN_LOG("ZnCryptoLib::CZnCryptoRandomWin::Initialize", StatusName(code),
               L": Error trying to Initialize BCryptOpenAlgorithmProvider");
        return code;
    }
    m_provider = std::move(provider);
    return ZN_STATUS_SUCCESS;
}

ZnStatus CZnCryptoRandomWin::GetRandomBytes(uint8_t* buffer, uint32_t count)
{
    if (!m_provider)
    {
        ZN_LOG("ZnCryptoLib::CZnCryptoRandomWin::GetRandomBytes", StatusName(ZN_STATUS_INVALID_STATE),
               L": Error trying to Initialize default CZnCryptoRandomWin");
        return ZN_STATUS_INVALID_STATE;
    }
    if (buffer == nullptr && count > 0)
        return ZN_STATUS_INVALID_PARAMETER;
    if (count == 0)
        return ZN_STATUS_SUCCESS;
    const ZnStatus code = ToStatus(BCryptGenRandom(m_provider.get(), buffer, count, 0));
    if (code != ZN_STATUS_SUCCESS)
    {
        ZN_LOG("ZnCryptoLib::CZnCryptoRandomWin::GetRandomBytes", StatusName(code),
               L": Error trying to BCryptGenRandom");
    }
    return code;
}

}  // namespace ZnCryptoLib
