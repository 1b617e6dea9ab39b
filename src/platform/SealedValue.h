// Sealed registry values: the stored layout and its cipher. Plain C++, no
// Windows headers; CObfuscatedRegKey adds the registry and the text
// conversions.
//
// Layout (little-endian, n + 32 bytes, stored as REG_BINARY):
//   0  4  magic "ZNRG"
//   4  4  format version (written as 1, not checked)
//   8  4  payload length n
//  12  4  logical registry type the caller wrote
//  16 16  MD5 of all n + 32 bytes with these 16 bytes zero
//  32  n  payload enciphered with ValueCipher
#pragma once

#include <cstddef>
#include <cstdint>

namespace Groundwork {

constexpr size_t kSealedHeaderSize = 32;
constexpr uint8_t kSealedMagic[4] = {'Z', 'N', 'R', 'G'};
constexpr uint32_t kSealedVersion = 1;
constexpr size_t kSealedDigestOffset = 16;

// RC4 with plaintext feedback. One object seals or opens one value: the key
// schedule and the first keystream byte (the initial feedback) are set up by
// the constructor.
class ValueCipher
{
public:
    ValueCipher(const uint8_t* key, size_t keyLength);
    ValueCipher(const ValueCipher&) = delete;
    ValueCipher& operator=(const ValueCipher&) = delete;
    ~ValueCipher();

    // False when the object has no usable key (empty) or the buffers are
    // missing. `in` and `out` may be the same buffer.
    bool Encipher(const uint8_t* in, uint8_t* out, size_t length);
    bool Decipher(const uint8_t* in, uint8_t* out, size_t length);

private:
    uint8_t NextKeystreamByte();

    bool m_ready = false;
    uint8_t m_state[256] = {};
    uint8_t m_i = 0;
    uint8_t m_j = 0;
    uint8_t m_feedback = 0;
};

enum class SealStatus
{
    Ok,
    InvalidArgument,  // missing buffers or a payload too large for the layout
    Malformed,        // too short, digest, length or magic mismatch
    BufferTooSmall,   // the payload does not fit the caller's buffer
    CipherFailed,
};

// Total stored size for a payload of `payloadLength` bytes.
constexpr size_t SealedSize(size_t payloadLength)
{
    return payloadLength + kSealedHeaderSize;
}

// Writes the sealed form of `payload` into `out`, which holds
// SealedSize(payloadLength) bytes.
SealStatus SealValue(const uint8_t* key, size_t keyLength, uint32_t type, const uint8_t* payload,
                     uint32_t payloadLength, uint8_t* out);

// Checks a stored value and reports its logical type and payload length.
// With `payload` non-null, deciphers the payload into it when it holds at
// least the payload length (else BufferTooSmall). `type` and `payloadLength`
// are set whenever the value is well formed.
SealStatus OpenSealedValue(const uint8_t* key, size_t keyLength, const uint8_t* raw, size_t rawLength,
                           uint32_t* type, uint32_t* payloadLength, uint8_t* payload,
                           size_t payloadCapacity);

}  // namespace Groundwork
