// Frames and handshake bodies as a peer writes them, shared by the format
// tests and the fuzz targets' seeds. The header is written from its bytes on
// the wire, not from the library's constants, so that a wrong constant shows.
// No Windows API: used by the native sanitizer build too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ipc/CommMessage.h"
#include "ipc/HandshakeFormat.h"
#include "support/Sha256.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// The pid string of a simulated pipe: server 0x1A2B, client 0x3C4D.
constexpr char kPids[] = "00001A2B00003C4D";

// The salt of the client's own handshake body, which an answer must not carry.
constexpr uint8_t kSentSaltByte = 0x5C;
inline const Bytes kSentSalt(ipc::handshake::kSaltSize, kSentSaltByte);

inline Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// "DACM", the version, the frame's size and its protocol, little-endian.
inline Bytes FrameHeader(uint32_t size, uint16_t protocol, uint8_t version = 1)
{
    return {'D',
            'A',
            'C',
            'M',
            version,
            static_cast<uint8_t>(size),
            static_cast<uint8_t>(size >> 8),
            static_cast<uint8_t>(size >> 16),
            static_cast<uint8_t>(size >> 24),
            static_cast<uint8_t>(protocol),
            static_cast<uint8_t>(protocol >> 8)};
}

inline Bytes Frame(uint16_t protocol, const Bytes& body)
{
    Bytes frame = FrameHeader(static_cast<uint32_t>(11 + body.size()), protocol);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// An event: name and value, each after its 16-bit length, then the data.
inline Bytes EventFrame(const std::string& name, const std::string& value, const std::string& data)
{
    Bytes body;
    for (const std::string* part : {&name, &value})
    {
        body.insert(body.end(), {static_cast<uint8_t>(part->size()), static_cast<uint8_t>(part->size() >> 8)});
        body.insert(body.end(), part->begin(), part->end());
    }
    body.insert(body.end(), data.begin(), data.end());
    return Frame(ipc::kProtocolEvent, body);
}

// A reply: the request's 32-bit identifier, then its data.
inline Bytes ReplyFrame(uint32_t id, const std::string& data)
{
    Bytes body = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16),
                  static_cast<uint8_t>(id >> 24)};
    body.insert(body.end(), data.begin(), data.end());
    return Frame(ipc::kProtocolRequest, body);
}

inline Bytes Utf16(const std::u16string& text)
{
    Bytes bytes;
    for (char16_t c : text)
        bytes.insert(bytes.end(), {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)});
    return bytes;
}

// The handshake tag for a pipe whose pid string is `pids`; `calls` counts its uses.
inline ipc::handshake::TagFunction Tag(const char* pids = kPids, int* calls = nullptr)
{
    return [pids, calls](const uint8_t* message, size_t length, uint8_t* out) {
        if (calls != nullptr)
            ++*calls;
        return ipc::handshake::ComputeTag(HandshakeHmac, pids, message, length, out);
    };
}

// The client's check, as Authenticator::VerifyAuthentication makes it.
inline ipc::handshake::BodyVerifier Verifier(const char* pids = kPids)
{
    return [pids](const uint8_t* body, uint32_t length, uint32_t& dataLength) {
        dataLength = 0;
        if (ipc::handshake::VerifyTaggedBody(body, length, pids, Tag(pids)) != ipc::handshake::VerifyStatus::kOk)
            return false;
        dataLength = length - static_cast<uint32_t>(ipc::handshake::kTrailerSize);
        return true;
    };
}

// `data` tagged for `pids` under a salt of twelve `saltByte`s, or empty.
inline Bytes TaggedBody(const Bytes& data, uint8_t saltByte, const char* pids = kPids)
{
    const Bytes salt(ipc::handshake::kSaltSize, saltByte);
    Bytes body;
    if (!ipc::handshake::BuildTaggedBody(data.data(), data.size(), salt.data(), pids, Tag(pids), body))
        body.clear();
    return body;
}

}  // namespace testsupport
