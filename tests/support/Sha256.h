// SHA-256 and HMAC-SHA-256 (FIPS 180-4, RFC 2104) in plain C++, for tests
// and fuzzers that need the handshake's MAC where no Windows crypto exists.
// Independent of the library's own crypto code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace testsupport {

class Sha256
{
public:
    static constexpr size_t kDigestSize = 32;

    void Update(const uint8_t* data, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
        {
            m_block[m_used++] = data[i];
            if (m_used == 64)
                Transform();
        }
        m_bits += static_cast<uint64_t>(length) * 8;
    }

    void Final(uint8_t* digest)
    {
        uint8_t tail[9] = {0x80};
        for (int i = 0; i < 8; ++i)
            tail[1 + i] = static_cast<uint8_t>(m_bits >> (56 - 8 * i));
        Update(tail, 1);
        const uint8_t zero = 0;
        while (m_used != 56)
            Update(&zero, 1);
        Update(tail + 1, 8);
        for (int i = 0; i < 32; ++i)
            digest[i] = static_cast<uint8_t>(m_h[i / 4] >> (24 - 8 * (i % 4)));
    }

private:
    static uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void Transform()
    {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = static_cast<uint32_t>(m_block[4 * i]) << 24 | static_cast<uint32_t>(m_block[4 * i + 1]) << 16 |
                   static_cast<uint32_t>(m_block[4 * i + 2]) << 8 | m_block[4 * i + 3];
        for (int i = 16; i < 64; ++i)
            w[i] = w[i - 16] + (Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
                   (Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10));
        uint32_t s[8];  // a..h
        std::memcpy(s, m_h, sizeof(s));
        for (int i = 0; i < 64; ++i)
        {
            const uint32_t e = s[4], a = s[0];
            const uint32_t t1 =
                s[7] + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & s[5]) ^ (~e & s[6])) + k[i] + w[i];
            const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & s[1]) ^ (a & s[2]) ^ (s[1] & s[2]));
            std::memmove(s + 1, s, 7 * sizeof(uint32_t));
            s[4] += t1;
            s[0] = t1 + t2;
        }
        for (int i = 0; i < 8; ++i)
            m_h[i] += s[i];
        m_used = 0;
    }

    uint32_t m_h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t m_block[64] = {};
    size_t m_used = 0;
    uint64_t m_bits = 0;
};

// HMAC-SHA-256 with a key of at most one block (the handshake's are 32 bytes).
inline void HmacSha256(const uint8_t* key, size_t keyLength, const uint8_t* message, size_t length, uint8_t* out)
{
    uint8_t inner[Sha256::kDigestSize];
    uint8_t pad[64] = {};
    std::memcpy(pad, key, keyLength < 64 ? keyLength : 64);
    for (uint8_t& b : pad)
        b ^= 0x36;
    Sha256 first;
    first.Update(pad, 64);
    first.Update(message, length);
    first.Final(inner);
    for (uint8_t& b : pad)
        b ^= 0x36 ^ 0x5c;
    Sha256 second;
    second.Update(pad, 64);
    second.Update(inner, sizeof(inner));
    second.Final(out);
}

// The handshake's HMAC: a 32-byte key.
inline bool HandshakeHmac(const uint8_t* key, const uint8_t* message, size_t length, uint8_t* out)
{
    HmacSha256(key, 32, message, length, out);
    return true;
}

}  // namespace testsupport
