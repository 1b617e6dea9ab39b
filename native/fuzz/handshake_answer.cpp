// The server's handshake answer as the client reads it: the frame is copied,
// its body verified over HMAC-SHA-256 for this pipe's process pair, and the
// data part decoded into the transport pipe path.
//
// Input: one mode byte, then the body (or, with bit 1, the whole frame as
// received). With bit 0 the body is first tagged as an honest server would
// tag it (data and salt from the input), so that decoding is reached too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"

using namespace ipc;
using namespace ipc::handshake;
using fuzzsupport::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 65536)
        return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> body(data + 1, data + size);
    const bool retag = (mode & 1) != 0;
    const bool rawFrame = (mode & 2) != 0;

    if (retag && !rawFrame)
    {
        // Data is everything but the last 44 bytes; the salt follows it.
        std::vector<uint8_t> salt(kSaltSize, 0);
        size_t dataLength = body.size() > kTrailerSize ? body.size() - kTrailerSize : 0;
        for (size_t i = 0; i < kSaltSize && dataLength + i < body.size(); ++i)
            salt[i] = body[dataLength + i];
        std::vector<uint8_t> tagged;
        Require(BuildTaggedBody(body.data(), dataLength, salt.data(), fuzzsupport::kPids, fuzzsupport::Tag(), tagged));
        Require(tagged.size() == dataLength + kTrailerSize);
        Require(VerifyTaggedBody(tagged.data(), tagged.size(), fuzzsupport::kPids, fuzzsupport::Tag()) ==
                VerifyStatus::kOk);
        body.swap(tagged);
    }

    const std::vector<uint8_t> frame = rawFrame ? body : fuzzsupport::Frame(kProtocolHandshake, body);
    std::wstring path = L"before";
    const AnswerStatus status =
        ReadHandshakeAnswer(frame.data(), static_cast<uint32_t>(frame.size()), fuzzsupport::Verifier(),
                            fuzzsupport::kSentSalt.data(), path);
    if (status == AnswerStatus::kOk)
    {
        Require(IsLocalPipePath(path));
        const uint32_t frameSize = ReadU32(frame.data() + kSizeOffset);
        Require(frameSize >= kHeaderSize + kTrailerSize);
        Require(path.size() == (frameSize - kHeaderSize - kTrailerSize) / 2);
        for (size_t i = 0; i < path.size(); ++i)
            Require(static_cast<uint32_t>(path[i]) == ReadU16(frame.data() + kHeaderSize + 2 * i));
    }
    else
    {
        Require(path == L"before");
        // An honestly tagged body in a well-formed frame always verifies;
        // then only the client's own salt or a path elsewhere refuses it.
        Require(!retag || rawFrame || status == AnswerStatus::kReflected || status == AnswerStatus::kNotLocal);
    }
    return 0;
}
