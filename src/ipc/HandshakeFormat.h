// Layout and verification of the handshake bodies, over an HMAC-SHA-256
// supplied by the caller. Plain C++ without Windows headers.
//
// Both ends derive a connection key = HMAC(master key, key seed | pid string)
// where the pid string is "%8.8X%8.8X" of the server and the client process
// identifiers of the pipe. A body is: data | 12-byte salt | 32-byte tag, the
// tag being HMAC(connection key, data | salt | pid string).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ipc {
namespace handshake {

constexpr size_t kKeySize = 32;
constexpr size_t kSaltSize = 12;
constexpr size_t kTagSize = 32;
constexpr size_t kProcessIdStringSize = 16;  // without the terminating NUL
constexpr size_t kKeyMaterialSize = kKeySize + kProcessIdStringSize;  // 48
constexpr size_t kClientDataSize = 4;
constexpr size_t kClientBodySize = kClientDataSize + kSaltSize + kTagSize;  // 48
constexpr size_t kTrailerSize = kSaltSize + kTagSize;                       // 44

// The master key, kept in read-only data.
extern const uint8_t kMasterKey[kKeySize];

// Writes the 32-byte key seed, assembled from its eight 32-bit words.
void WriteKeySeed(uint8_t* out);

// "%8.8X%8.8X" of the two identifiers, NUL-terminated (17 bytes).
bool FormatProcessIdString(uint32_t serverProcessId, uint32_t clientProcessId, char* out);

// Key seed at offset 0, the 16 characters of the pid string at offset 32.
void BuildKeyMaterial(const char* processIdString, uint8_t* out);

// HMAC-SHA-256 with a 32-byte key: true and 32 bytes in `out` on success.
using HmacFunction =
    std::function<bool(const uint8_t* key, const uint8_t* message, size_t length, uint8_t* out)>;

// Connection key from the key material, then the tag over the message.
bool ComputeTag(const HmacFunction& hmac, const char* processIdString, const uint8_t* message,
                size_t length, uint8_t* tag);

// The tag of a message on one particular connection.
using TagFunction = std::function<bool(const uint8_t* message, size_t length, uint8_t* tag)>;

// data | salt | tag(data | salt | pid string).
bool BuildTaggedBody(const uint8_t* data, size_t dataLength, const uint8_t* salt,
                     const char* processIdString, const TagFunction& tag, std::vector<uint8_t>& body);

enum class VerifyStatus
{
    kOk,
    kTooShort,   // fewer than kTrailerSize bytes; no HMAC computed
    kNoTag,      // the tag could not be computed
    kMismatch,   // the tag differs
};

// Recomputes the tag over the first length - 32 bytes followed by the pid
// string and compares it with the last 32 bytes in constant time. The data
// part is the first length - 44 bytes.
VerifyStatus VerifyTaggedBody(const uint8_t* body, size_t length, const char* processIdString,
                              const TagFunction& tag);

// The client's check of a received body of `length` bytes: true, with the
// data length (length - 44), when the body is authentic.
using BodyVerifier = std::function<bool(const uint8_t* body, uint32_t length, uint32_t& dataLength)>;

enum class AnswerStatus
{
    kOk,
    kBadFrame,      // the frame could not be copied
    kNoData,        // the copy has no body
    kNotAuthentic,  // the verifier refused the body
    kReflected,     // the body carries the salt the client just sent
    kNotLocal,      // the transport path is not a pipe of this machine
};

// The server's answer on the first pipe, a whole frame of `size` bytes: the
// body is verified and its data part, (L - 44) / 2 UTF-16 little-endian
// characters, becomes the transport pipe path. The tag covers no direction,
// so a server without the key could send the client's own body back: an
// answer with the salt of the client's body (`sentSalt`, kSaltSize bytes;
// null: every answer) is refused, and so is a path that IsLocalPipePath
// refuses.
AnswerStatus ReadHandshakeAnswer(const uint8_t* frame, uint32_t size, const BodyVerifier& verify,
                                 const uint8_t* sentSalt, std::wstring& transportPath);

// Whether `path` is "\\.\pipe\" and a name of at most 256 characters with no
// backslash, slash or NUL that is not "." or "..": a pipe of this machine.
// Any other path could lead elsewhere, a remote name even making the
// system hand the user's network credentials to that host.
bool IsLocalPipePath(const std::wstring& path);

// Comparison whose time does not depend on where the inputs differ.
bool ConstantTimeEqual(const uint8_t* a, const uint8_t* b, size_t length);

// Overwrites secrets before their memory is released.
void SecureZero(void* p, size_t length);

}  // namespace handshake
}  // namespace ipc
