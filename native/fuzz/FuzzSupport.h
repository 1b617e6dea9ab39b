// Shared by the fuzz targets and the seed writer: the process pair the
// simulated pipe runs between, the client's check of a handshake body on it,
// and frame construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ipc/CommMessage.h"
#include "ipc/HandshakeFormat.h"
#include "support/Sha256.h"

namespace fuzzsupport {

// The pid string of the simulated pipe: server 0x1A2B, client 0x3C4D.
constexpr char kPids[] = "00001A2B00003C4D";

// A broken invariant: libFuzzer reports the abort as a finding.
inline void Require(bool condition)
{
    if (!condition)
        std::abort();
}

inline ipc::handshake::TagFunction Tag()
{
    return [](const uint8_t* message, size_t length, uint8_t* out) {
        return ipc::handshake::ComputeTag(testsupport::HandshakeHmac, kPids, message, length, out);
    };
}

// What Authenticator::VerifyAuthentication does on a pipe with kPids.
inline ipc::handshake::BodyVerifier Verifier()
{
    return [](const uint8_t* body, uint32_t length, uint32_t& dataLength) {
        dataLength = 0;
        if (body == nullptr || length < ipc::handshake::kTrailerSize)
            return false;
        if (ipc::handshake::VerifyTaggedBody(body, length, kPids, Tag()) != ipc::handshake::VerifyStatus::kOk)
            return false;
        dataLength = length - static_cast<uint32_t>(ipc::handshake::kTrailerSize);
        return true;
    };
}

inline std::vector<uint8_t> Frame(uint16_t protocol, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> frame(ipc::kHeaderSize);
    ipc::WriteU32(frame.data(), ipc::kSyncSequence);
    frame[ipc::kVersionOffset] = ipc::kHeaderVersion;
    ipc::WriteU32(frame.data() + ipc::kSizeOffset, static_cast<uint32_t>(ipc::kHeaderSize + body.size()));
    ipc::WriteU16(frame.data() + ipc::kProtocolOffset, protocol);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// The salt of the client's own handshake body, which an answer must not carry.
constexpr uint8_t kSentSalt[ipc::handshake::kSaltSize] = {0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C,
                                                          0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C};

// The server's answer naming `path` (ASCII), tagged for kPids.
inline std::vector<uint8_t> AnswerBody(const std::string& path, uint8_t saltByte)
{
    std::vector<uint8_t> data;
    for (char c : path)
    {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(0);
    }
    std::vector<uint8_t> salt(ipc::handshake::kSaltSize, saltByte);
    std::vector<uint8_t> body;
    ipc::handshake::BuildTaggedBody(data.data(), data.size(), salt.data(), kPids, Tag(), body);
    return body;
}

}  // namespace fuzzsupport
