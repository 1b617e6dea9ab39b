// Error holders: a status returned by the operating system's cryptography API
// and its library code.
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include "ZnCryptoLib/src/windows/ZnCryptoStatus.h"

namespace ZnCryptoLib {

class CErrorBase
{
public:
    virtual ~CErrorBase() = default;           // 0
    virtual ZnStatus GetCode() const = 0;      // 1
};

class CWinError : public CErrorBase
{
public:
    explicit CWinError(NTSTATUS status) : m_status(status) {}
    ~CWinError() override = default;

    // The library code for the held status (ZN_STATUS_INVALID_STATE for any
    // status the library does not distinguish).
    ZnStatus GetCode() const override;

    NTSTATUS Status() const { return m_status; }

private:
    NTSTATUS m_status;
};

// Shorthand for CWinError(status).GetCode().
inline ZnStatus ToStatus(NTSTATUS status)
{
    return CWinError(status).GetCode();
}

}  // namespace ZnCryptoLib
