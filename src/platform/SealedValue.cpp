#include "platform/SealedValue.h"

#include <cstring>

#include "platform/Md5.h"

namespace Groundwork {

namespace {

uint32_t ReadU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void WriteU32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// MD5 over the whole value with the digest field taken as zero.
void SealedDigest(const uint8_t* raw, size_t rawLength, uint8_t digest[Md5::kDigestSize])
{
    static const uint8_t kZeroDigest[Md5::kDigestSize] = {};
    Md5 md5;
    md5.Update(raw, kSealedDigestOffset);
    md5.Update(kZeroDigest, sizeof(kZeroDigest));
    md5.Update(raw + kSealedHeaderSize, rawLength - kSealedHeaderSize);
    md5.Final(digest);
}

}  // namespace

ValueCipher::ValueCipher(const uint8_t* key, size_t keyLength)
{
    if (key == nullptr || keyLength == 0)
    {
        std::memset(m_state, 0, sizeof(m_state));
        return;
    }
    for (int i = 0; i < 256; ++i)
        m_state[i] = static_cast<uint8_t>(i);
    uint8_t j = 0;
    for (int i = 0; i < 256; ++i)
    {
        j = static_cast<uint8_t>(j + m_state[i] + key[static_cast<size_t>(i) % keyLength]);
        const uint8_t t = m_state[i];
        m_state[i] = m_state[j];
        m_state[j] = t;
    }
    m_ready = true;
    m_feedback = NextKeystreamByte();
}

ValueCipher::~ValueCipher()
{
    // The state reveals the keystream: do not leave it on the stack.
    volatile uint8_t* p = m_state;
    for (size_t i = 0; i < sizeof(m_state); ++i)
        p[i] = 0;
    m_feedback = 0;
}

uint8_t ValueCipher::NextKeystreamByte()
{
    m_i = static_cast<uint8_t>(m_i + 1);
    m_j = static_cast<uint8_t>(m_j + m_state[m_i]);
    const uint8_t t = m_state[m_i];
    m_state[m_i] = m_state[m_j];
    m_state[m_j] = t;
    return m_state[static_cast<uint8_t>(m_state[m_i] + m_state[m_j])];
}

bool ValueCipher::Encipher(const uint8_t* in, uint8_t* out, size_t length)
{
    if (!m_ready || ((in == nullptr || out == nullptr) && length > 0))
        return false;
    for (size_t n = 0; n < length; ++n)
    {
        m_feedback ^= in[n];
        const uint8_t k1 = NextKeystreamByte();
        const uint8_t k2 = NextKeystreamByte();
        out[n] = static_cast<uint8_t>((k1 ^ m_feedback) + k2);
    }
    return true;
}

bool ValueCipher::Decipher(const uint8_t* in, uint8_t* out, size_t length)
{
    if (!m_ready || ((in == nullptr || out == nullptr) && length > 0))
        return false;
    for (size_t n = 0; n < length; ++n)
    {
        const uint8_t k1 = NextKeystreamByte();
        const uint8_t k2 = NextKeystreamByte();
        const uint8_t plain = static_cast<uint8_t>(static_cast<uint8_t>(in[n] - k2) ^ k1 ^ m_feedback);
        m_feedback ^= plain;
        out[n] = plain;
    }
    return true;
}

SealStatus SealValue(const uint8_t* key, size_t keyLength, uint32_t type, const uint8_t* payload,
                     uint32_t payloadLength, uint8_t* out)
{
    if (out == nullptr || (payload == nullptr && payloadLength > 0) ||
        payloadLength > UINT32_MAX - kSealedHeaderSize)
        return SealStatus::InvalidArgument;
    ValueCipher cipher(key, keyLength);
    if (!cipher.Encipher(payload, out + kSealedHeaderSize, payloadLength))
        return SealStatus::CipherFailed;
    std::memcpy(out, kSealedMagic, sizeof(kSealedMagic));
    WriteU32(out + 4, kSealedVersion);
    WriteU32(out + 8, payloadLength);
    WriteU32(out + 12, type);
    std::memset(out + kSealedDigestOffset, 0, Md5::kDigestSize);
    const size_t total = SealedSize(payloadLength);
    uint8_t digest[Md5::kDigestSize];
    Md5Digest(out, total, digest);
    std::memcpy(out + kSealedDigestOffset, digest, sizeof(digest));
    return SealStatus::Ok;
}

SealStatus OpenSealedValue(const uint8_t* key, size_t keyLength, const uint8_t* raw, size_t rawLength,
                           uint32_t* type, uint32_t* payloadLength, uint8_t* payload,
                           size_t payloadCapacity)
{
    if (raw == nullptr || rawLength < kSealedHeaderSize)
        return SealStatus::Malformed;
    uint8_t digest[Md5::kDigestSize];
    SealedDigest(raw, rawLength, digest);
    if (std::memcmp(digest, raw + kSealedDigestOffset, sizeof(digest)) != 0)
        return SealStatus::Malformed;
    const uint32_t length = ReadU32(raw + 8);
    if (rawLength - kSealedHeaderSize != length || std::memcmp(raw, kSealedMagic, sizeof(kSealedMagic)) != 0)
        return SealStatus::Malformed;

    if (type != nullptr)
        *type = ReadU32(raw + 12);
    if (payloadLength != nullptr)
        *payloadLength = length;
    if (payload == nullptr)
        return SealStatus::Ok;
    if (payloadCapacity < length)
        return SealStatus::BufferTooSmall;
    ValueCipher cipher(key, keyLength);
    if (!cipher.Decipher(raw + kSealedHeaderSize, payload, length))
        return SealStatus::CipherFailed;
    return SealStatus::Ok;
}

}  // namespace Groundwork

