// MD5 message digest (RFC 1321). Plain C++, no Windows headers: it guards
// sealed registry values, which are also checked where no Windows API exists.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Groundwork {

class Md5
{
public:
    static constexpr size_t kDigestSize = 16;

    Md5();
    void Update(const void* data, size_t length);
    // Writes the digest of everything added; the object must not be updated
    // afterwards.
    void Final(uint8_t digest[kDigestSize]);

private:
    void Transform(const uint8_t block[64]);

    uint32_t m_state[4];
    uint64_t m_length = 0;  // bytes added so far
    uint8_t m_buffer[64];
};

void Md5Digest(const void* data, size_t length, uint8_t digest[Md5::kDigestSize]);

}  // namespace Groundwork
