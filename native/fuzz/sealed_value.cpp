// A sealed registry value as read from the registry: checked, its type and
// length reported, its payload deciphered into buffers of several sizes.
//
// Input: one mode byte, then the raw value. Bit 0 writes the value's true
// digest and bit 1 its true payload length before it is opened, so that the
// checks after the digest are reached; bits 2-3 pick the payload buffer
// (exact, one byte short, larger, none).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/Md5.h"
#include "platform/SealedValue.h"
#include "vantu_config.h"

using namespace Groundwork;
using fuzzsupport::Require;

namespace {

const uint8_t* Key()
{
    return reinterpret_cast<const uint8_t*>(VANTU_SEALING_KEY);
}
constexpr size_t kKeyLength = sizeof(VANTU_SEALING_KEY) - 1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> raw(data + 1, data + size);
    if (raw.size() >= kSealedHeaderSize)
    {
        if (mode & 2)
            ipc::WriteU32(raw.data() + 8, static_cast<uint32_t>(raw.size() - kSealedHeaderSize));
        if (mode & 1)
        {
            std::memset(raw.data() + kSealedDigestOffset, 0, Md5::kDigestSize);
            uint8_t digest[Md5::kDigestSize];
            Md5Digest(raw.data(), raw.size(), digest);
            std::memcpy(raw.data() + kSealedDigestOffset, digest, sizeof(digest));
        }
    }

    uint32_t type = 0xDEADBEEF;
    uint32_t length = 0xDEADBEEF;
    const SealStatus probe = OpenSealedValue(Key(), kKeyLength, raw.data(), raw.size(), &type, &length, nullptr, 0);
    if (probe != SealStatus::Ok)
    {
        Require(probe == SealStatus::Malformed);
        return 0;
    }
    Require(length == raw.size() - kSealedHeaderSize);
    Require(type == ipc::ReadU32(raw.data() + 12));

    size_t capacity = length;
    switch ((mode >> 2) & 3)
    {
    case 1: capacity = length == 0 ? 0 : length - 1; break;
    case 2: capacity = length + 17; break;
    default: break;
    }
    // One spare byte keeps the buffer non-null when its capacity is zero.
    std::vector<uint8_t> payload(capacity + 1);
    const SealStatus opened = OpenSealedValue(Key(), kKeyLength, raw.data(), raw.size(), &type, &length,
                                              ((mode >> 2) & 3) == 3 ? nullptr : payload.data(), capacity);
    if (((mode >> 2) & 3) == 3)
    {
        Require(opened == SealStatus::Ok);
        return 0;
    }
    if (capacity < length)
    {
        Require(opened == SealStatus::BufferTooSmall);
        return 0;
    }
    Require(opened == SealStatus::Ok);

    // Sealing what was opened gives back the stored bytes (the version
    // field, which readers do not check, aside).
    std::vector<uint8_t> again(SealedSize(length));
    Require(SealValue(Key(), kKeyLength, type, payload.data(), length, again.data()) == SealStatus::Ok);
    std::vector<uint8_t> expected = raw;
    ipc::WriteU32(expected.data() + 4, kSealedVersion);
    if (ipc::ReadU32(raw.data() + 4) != kSealedVersion)
    {
        // The digest covers the version: compare everything else.
        std::memset(expected.data() + kSealedDigestOffset, 0, Md5::kDigestSize);
        std::memset(again.data() + kSealedDigestOffset, 0, Md5::kDigestSize);
    }
    Require(again == expected);
    return 0;
}
