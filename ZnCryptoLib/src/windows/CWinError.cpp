#include "ZnCryptoLib/src/windows/CWinError.h"

namespace ZnCryptoLib {

ZnStatus CWinError::GetCode() const
{
    return StatusFromOsStatus(static_cast<uint32_t>(m_status));
}

}  // namespace ZnCryptoLib
