#include "ZnCryptoLib/src/windows/CZnCryptoHMACWin.h"

#include <cstring>
#include <new>

#include "ZnCryptoLib/src/windows/CWinError.h"
#include "ZnCryptoLib/src/windows/ZnCryptoLog.h"

namespace ZnCryptoLib {

namespace {

// Data and length must agree: bytes need a pointer, a pointer needs bytes.
// No data and no length is a valid empty message.
bool DataIsConsistent(const uint8_t* data, uint32_t length)
{
    return (data == nullptr) == (length == 0);
}

}  // namespace

CZnCryptoHMACWin::~CZnCryptoHMACWin()
{
    WipeKey();
}

void CZnCryptoHMACWin::WipeKey()
{
    if (m_key)
        SecureZeroMemory(m_key.get(), kKeyLength);
}

ZnStatus CZnCryptoHMACWin::Initialize(const uint8_t* key)
{
    if (key == nullptr)
        return ZN_STATUS_INVALID_PARAMETER;

    m_traits.reset(new (std::nothrow) ZnCryptoHmacWinTraits_sha256());
    if (!m_traits)
    {
        ZN_LOG("ZnCryptoLib::CZnCryptoHMACWin::Initialize", L"Failed to create HMAC traits.", L"");
        return ZN_STATUS_NO_MEMORY;
    }

    if (!m_key)
    {
        m_key.reset(new (std::nothrow) uint8_t[kKeyLength]);
        if (!m_key)
            return ZN_STATUS_NO_MEMORY;
    }
    WipeKey();
    std::memcpy(m_key.get(), key, kKeyLength);

    CngAlgorithm provider;
    const NTSTATUS status = BCryptOpenAlgorithmProvider(provider.put(), m_traits->GetAlgorithmName(),
                                                        nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    const ZnStatus code = ToStatus(status);
    if (code != ZN_STATUS_SUCCESS)
    {
        ZN_LOG("ZnCryptoLib::CZnCryptoHMACWin::Initialize",
               L"Error trying to BCryptOpenAlgorithmProvider: ", StatusName(code));
        // A hash object keyed with an earlier key must not outlive a failed
        // re-initialisation.
        m_hash.reset();
        m_dataAdded = false;
        return code;
    }
    // A hash object of an earlier provider goes before that provider does.
    m_hash.reset();
    m_dataAdded = false;
    m_provider = std::move(provider);
    return CreateHashHandle(m_key.get(), kKeyLength);
}

ZnStatus CZnCryptoHMACWin::GetHashLength(uint32_t& length) const
{
    if (!m_traits)
        return ZN_STATUS_NO_MEMORY;
    length = m_traits->GetHashLength();
    return ZN_STATUS_SUCCESS;
}

ZnStatus CZnCryptoHMACWin::ComputeHash(const uint8_t* data, uint32_t length, uint8_t* out)
{
    if (!m_provider || !m_hash)
        return ZN_STATUS_INVALID_STATE;
    if (!DataIsConsistent(data, length) || out == nullptr)
        return ZN_STATUS_INVALID_PARAMETER;
    if (m_dataAdded && !Reset())
        return ZN_STATUS_NO_MEMORY;
    const ZnStatus code = AddToHash(data, length);
    if (code != ZN_STATUS_SUCCESS)
        return code;
    return GetFinalHash(out);
}

ZnStatus CZnCryptoHMACWin::AddToHash(const uint8_t* data, uint32_t length)
{
    if (!m_provider || !m_hash)
        return ZN_STATUS_INVALID_STATE;
    if (!DataIsConsistent(data, length))
        return ZN_STATUS_INVALID_PARAMETER;
    if (length > 0)
    {
        const NTSTATUS status = BCryptHashData(m_hash.get(), const_cast<PUCHAR>(data), length, 0);
        const ZnStatus code = ToStatus(status);
        if (code != ZN_STATUS_SUCCESS)
        {
            ZN_LOG("ZnCryptoLib::CZnCryptoHMACWin::AddToHash", StatusName(code),
                   L": Error trying to encrypt data");
            return code;
        }
    }
    m_dataAdded = true;
    return ZN_STATUS_SUCCESS;
}

ZnStatus CZnCryptoHMACWin::GetFinalHash(uint8_t* out)
{
    if (!m_dataAdded)
    {
        ZN_LOG("ZnCryptoLib::CZnCryptoHMACWin::GetFinalHash", StatusName(ZN_STATUS_INVALID_STATE),
               L": No data was added to hash");
        return ZN_STATUS_INVALID_STATE;
    }
    if (out == nullptr)
        return ZN_STATUS_INVALID_PARAMETER;
    uint32_t hashLength = 0;
    ZnStatus code = GetHashLength(hashLength);
    if (code == ZN_STATUS_SUCCESS)
    {
        const NTSTATUS status = BCryptFinishHash(m_hash.get(), out, hashLength, 0);
        code = ToStatus(status);
        if (code != ZN_STATUS_SUCCESS)
        {
            ZN_LOG("ZnCryptoLib::CZnCryptoHMACWin::GetFinalHash", StatusName(code),
                   L": Error trying to BCryptFinishHash");
        }
    }
    // A finished (or failed) hash object cannot take more data: start afresh
    // with the same key either way.
    Reset();
    return code;
}

bool CZnCryptoHMACWin::Reset()
{
    m_hash.reset();
    m_dataAdded = false;
    if (!m_key)
        return false;
    return CreateHashHandle(m_key.get(), kKeyLength) == ZN_STATUS_SUCCESS;
}

CRYPTO_HMAC_ALG_ID CZnCryptoHMACWin::GetAlgorithmId() const
{
    return m_traits ? m_traits->GetAlgorithmId() : CRYPTO_HMAC_ALG_NONE;
}

const wchar_t* CZnCryptoHMACWin::GetAlgorithmName() const
{
    return m_traits ? m_traits->GetAlgorithmName() : L"";
}

}  // namespace ZnCryptoLib
