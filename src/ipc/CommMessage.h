// Frames of the pipe transport: an 11-byte header ("DACM", version 1,
// little-endian 32-bit frame size, 16-bit protocol) followed by a body laid
// out by protocol. Plain C++ without Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ipc {

constexpr uint32_t kSyncSequence = 0x4D434144;  // "DACM" read little-endian
constexpr uint8_t kHeaderVersion = 1;
constexpr uint32_t kHeaderSize = 11;
constexpr uint32_t kMaxMessageSize = 0xA00000;  // 10 MiB, header included
constexpr uint32_t kRequestIdSize = 4;
constexpr uint32_t kRequestHeaderSize = kHeaderSize + kRequestIdSize;  // 15
constexpr uint32_t kSubscriptionHeaderSize = kHeaderSize + 1;          // 12
constexpr uint32_t kEventMinimumSize = kHeaderSize + 4;                // 15

// Offsets inside the header.
constexpr size_t kVersionOffset = 4;
constexpr size_t kSizeOffset = 5;
constexpr size_t kProtocolOffset = 9;

enum Protocol : uint16_t
{
    kProtocolHandshake = 0,  // ignored on receipt; the sender writes 0
    kProtocolRequest = 1,    // request/reply, correlated by a 32-bit identifier
    kProtocolMessage = 2,    // one-way
    kProtocolSubscription = 3,
    kProtocolEvent = 4,      // event notification, server to client
};

// Little-endian field access on raw frame bytes.
inline uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void WriteU16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void WriteU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

class CommMessage
{
public:
    CommMessage() = default;
    CommMessage(const CommMessage&) = delete;
    CommMessage& operator=(const CommMessage&) = delete;
    virtual ~CommMessage();

    // Body bytes after the protocol's fixed fields.
    virtual uint32_t DataSize() const;
    virtual const uint8_t* Data() const;

    // Allocates a frame of exactly `size` bytes and fills its header (protocol 0).
    bool Create(uint32_t size);
    // Copies `length` bytes at the write position.
    bool Append(const void* data, uint32_t length);
    void SetProtocol(uint16_t protocol);
    void SetRequestId(uint32_t id);

    // Checks version, synchronisation sequence and size of a received header
    // (at least kHeaderSize bytes).
    static bool ValidateHeader(const uint8_t* header);
    // Builds this message as a copy of the frame at the start of `bytes`.
    bool CreateFromBuffer(const uint8_t* bytes, size_t length);

    uint32_t MessageSize() const { return m_messageSize; }
    uint32_t WritePosition() const { return m_writePosition; }
    const uint8_t* Buffer() const { return m_buffer.get(); }
    uint16_t Protocol() const;
    uint32_t RequestId() const;

private:
    uint32_t m_messageSize = 0;
    uint32_t m_writePosition = kHeaderSize;
    std::unique_ptr<uint8_t[]> m_buffer;
};

// Protocol 1: the data follows the 4-byte request identifier.
class RequestMessage : public CommMessage
{
public:
    uint32_t DataSize() const override;
    const uint8_t* Data() const override;
};

// Protocol 3: one byte of value 1, then the event name's bytes.
class SubscriptionMessage : public CommMessage
{
public:
    explicit SubscriptionMessage(std::string eventName) : m_eventName(std::move(eventName)) {}
    // Create, protocol 3, the marker byte and the name.
    bool Build();
    const std::string& EventName() const { return m_eventName; }

private:
    std::string m_eventName;
};

// Protocol 4: 16-bit length and event name, 16-bit length and event value,
// then the event's data block up to the end of the frame. Parsed on first use.
class EventMessage : public CommMessage
{
public:
    uint32_t DataSize() const override;
    const uint8_t* Data() const override;

    bool Parse() const;
    const std::string& EventName() const { return m_eventName; }
    const std::string& EventValue() const { return m_eventValue; }

private:
    mutable bool m_parsed = false;
    mutable bool m_valid = false;
    mutable std::string m_eventName;
    mutable std::string m_eventValue;
    mutable uint32_t m_dataOffset = 0;
    mutable uint32_t m_dataLength = 0;
};

// Scans a receive buffer for the next whole frame. False: the stream is
// corrupt (bad version, size below the header or above the limit). True
// with *frame null: keep the unconsumed bytes and read more. `consumed`
// counts skipped garbage plus the frame, if one was found.
bool FindFrame(const uint8_t* bytes, size_t length, const uint8_t** frame, uint32_t* frameSize,
               size_t* consumed);

// What the receiver wants after handling one frame.
enum class FrameAction
{
    kNext,         // go on with the next frame in the buffer
    kDiscardRest,  // nothing more in this buffer is meant for the receiver
};

using FrameHandler = std::function<FrameAction(const uint8_t* frame, uint32_t size)>;

// The client's pass over its receive buffer: hands each whole frame, in
// order, to `onFrame` and returns how many bytes to drop from the front of
// the buffer (the rest is an incomplete frame to be completed by the next
// read). A corrupt stream sets *corrupt and consumes everything, as does a
// handler that discards the rest.
size_t ConsumeFrames(const uint8_t* bytes, size_t length, const FrameHandler& onFrame, bool* corrupt);

enum class ReplyStatus
{
    kOk,
    kTooShort,  // no room for the request identifier
    kNoId,      // identifier 0, which no request carries
};

// A protocol-1 reply frame of `size` bytes: its identifier and the data after it.
ReplyStatus ParseReply(const uint8_t* frame, uint32_t size, uint32_t* id, const uint8_t** data,
                       uint32_t* dataLength);

}  // namespace ipc
