// Registry key whose values are stored sealed (enciphered, digest-guarded
// REG_BINARY, see SealedValue.h). Every typed operation of CRegKey works on
// the sealed form because the implementation replaces the two raw slots.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/CRegKey.h"

namespace Groundwork {

class CObfuscatedRegKeyImpl : public internal::CRegKeyImpl
{
public:
    // Reads a sealed value and hands back the logical type and data: REG_SZ
    // and REG_MULTI_SZ as UTF-16, everything else as stored. Values that are
    // not sealed, or whose digest, length or magic do not match, give
    // ERROR_INVALID_DATA.
    LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* bytes) override;
    // Seals `bytes` of `data` under the logical `type` (strings as UTF-8).
    LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG bytes) override;
};

class CObfuscatedRegKey : public CRegKey
{
public:
    CObfuscatedRegKey();
    ~CObfuscatedRegKey() override;
};

// The cipher key every sealed value of the product is written with.
const uint8_t* SealingKey();
size_t SealingKeyLength();

}  // namespace Groundwork
