// The client's proof for the handshake and the check of the service's
// answer, both bound to the two process identifiers of the pipe.
#pragma once

#include <cstdint>
#include <memory>

#include <windows.h>

namespace ipc {

class Authenticator
{
public:
    // 48-byte authenticated buffer for 4 bytes of data: data, fresh salt,
    // tag. `length` receives 48.
    static std::unique_ptr<uint8_t[]> Authenticate(HANDLE pipe, const uint8_t* data, uint32_t& length);
    // Checks the tag of a received body of `length` bytes (at least 44);
    // `dataLength` receives length - 44.
    static bool VerifyAuthentication(HANDLE pipe, const uint8_t* buffer, uint32_t length,
                                     uint32_t& dataLength);
    // 32-byte tag of a message on this pipe connection.
    static std::unique_ptr<uint8_t[]> GenerateHmac(const uint8_t* message, uint32_t length, HANDLE pipe);
    // "%8.8X%8.8X" of the server and client process identifiers, NUL-terminated.
    static std::unique_ptr<char[]> ProcessIdString(HANDLE pipe);
    // 12 random bytes.
    static std::unique_ptr<uint8_t[]> GenerateSalt();
};

// HMAC-SHA-256 with a 32-byte key through ZnCryptoLib.
bool HmacSha256(const uint8_t* key, const uint8_t* message, size_t length, uint8_t* out);

}  // namespace ipc
