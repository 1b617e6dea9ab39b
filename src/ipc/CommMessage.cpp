#include "ipc/CommMessage.h"

#include <cstring>
#include <new>

#include "logging/RepeatedFailures.h"

namespace ipc {

namespace {

constexpr wchar_t kLogModule[] = L"CommMessage";

bool HasSyncAt(const uint8_t* p)
{
    return ReadU32(p) == kSyncSequence;
}

}  // namespace

CommMessage::~CommMessage() = default;

uint32_t CommMessage::DataSize() const
{
    return m_messageSize >= kHeaderSize ? m_messageSize - kHeaderSize : 0;
}

const uint8_t* CommMessage::Data() const
{
    return m_buffer ? m_buffer.get() + kHeaderSize : nullptr;
}

bool CommMessage::Create(uint32_t size)
{
    if (size > kMaxMessageSize)
    {
        VT_LOG(ERR) << "Message size deemed too large (" << size << " bytes) to allocate";
        return false;
    }
    if (size < kHeaderSize)
    {
        VT_LOG(ERR) << "Size should be bigger than header size (" << kHeaderSize << " bytes)";
        return false;
    }
    m_buffer.reset(new (std::nothrow) uint8_t[size]);
    if (!m_buffer)
    {
        VT_LOG(ERR) << "Failed to create message buffer";
        m_messageSize = 0;
        m_writePosition = kHeaderSize;
        return false;
    }
    m_messageSize = size;
    std::memset(m_buffer.get(), 0, kHeaderSize);
    WriteU32(m_buffer.get(), kSyncSequence);
    m_buffer[kVersionOffset] = kHeaderVersion;
    WriteU32(m_buffer.get() + kSizeOffset, size);
    m_writePosition = kHeaderSize;
    return true;
}

bool CommMessage::Append(const void* data, uint32_t length)
{
    const uint32_t room = m_messageSize > m_writePosition ? m_messageSize - m_writePosition : 0;
    if (m_buffer && length > room)
    {
        VT_LOG(ERR) << "Data buffer is too small";
        return false;
    }
    if (length == 0)
        return true;
    if (!m_buffer || data == nullptr)
    {
        VT_LOG(ERR) << "Failed to copy data buffer into message";
        return false;
    }
    std::memcpy(m_buffer.get() + m_writePosition, data, length);
    m_writePosition += length;
    return true;
}

void CommMessage::SetProtocol(uint16_t protocol)
{
    if (m_buffer && m_messageSize >= kHeaderSize)
        WriteU16(m_buffer.get() + kProtocolOffset, protocol);
}

void CommMessage::SetRequestId(uint32_t id)
{
    if (m_buffer && m_messageSize >= kRequestHeaderSize)
        WriteU32(m_buffer.get() + kHeaderSize, id);
}

uint16_t CommMessage::Protocol() const
{
    return m_buffer && m_messageSize >= kHeaderSize ? ReadU16(m_buffer.get() + kProtocolOffset) : 0;
}

uint32_t CommMessage::RequestId() const
{
    return m_buffer && m_messageSize >= kRequestHeaderSize ? ReadU32(m_buffer.get() + kHeaderSize) : 0;
}

bool CommMessage::ValidateHeader(const uint8_t* header)
{
    if (header == nullptr)
        return false;
    const uint8_t version = header[kVersionOffset];
    if (version != kHeaderVersion)
    {
        VT_LOG(ERR) << "Incorrect header version. Got " << static_cast<unsigned>(version)
                        << ", expecting " << static_cast<unsigned>(kHeaderVersion);
        return false;
    }
    const uint32_t sync = ReadU32(header);
    if (sync != kSyncSequence)
    {
        VT_LOG(ERR) << "Incorrect header synchronisation sequence. Got " << sync << ", expecting "
                        << kSyncSequence;
        return false;
    }
    if (ReadU32(header + kSizeOffset) < kHeaderSize)
    {
        VT_LOG(ERR) << "Header message size is less than header size";
        return false;
    }
    return true;
}

bool CommMessage::CreateFromBuffer(const uint8_t* bytes, size_t length)
{
    if (bytes == nullptr || length < kHeaderSize)
    {
        VT_LOG(ERR) << "Failed to create and set message from buffer which was too small: " << length
                        << " bytes";
        return false;
    }
    if (!ValidateHeader(bytes))
        return false;
    const uint32_t size = ReadU32(bytes + kSizeOffset);
    if (length < size)
    {
        VT_LOG(ERR) << "Message buffer size (" << length << ") is less than size in message header ("
                        << size << ")";
        return false;
    }
    if (!Create(size))
        return false;
    SetProtocol(ReadU16(bytes + kProtocolOffset));
    // Exactly the frame: bytes after it belong to the next frame.
    return Append(bytes + kHeaderSize, size - kHeaderSize);
}

uint32_t RequestMessage::DataSize() const
{
    return MessageSize() >= kRequestHeaderSize ? MessageSize() - kRequestHeaderSize : 0;
}

const uint8_t* RequestMessage::Data() const
{
    return Buffer() != nullptr && MessageSize() >= kRequestHeaderSize ? Buffer() + kRequestHeaderSize
                                                                      : nullptr;
}

bool SubscriptionMessage::Build()
{
    // A frame size past 32 bits would wrap; Create judges every other size.
    if (m_eventName.size() > UINT32_MAX - kSubscriptionHeaderSize)
    {
        VT_LOG(ERR) << "Message size deemed too large (" << m_eventName.size() + kSubscriptionHeaderSize
                    << " bytes) to allocate";
        return false;
    }
    const uint32_t nameLength = static_cast<uint32_t>(m_eventName.size());
    const uint8_t marker = 1;
    if (!Create(kSubscriptionHeaderSize + nameLength))
        return false;
    SetProtocol(kProtocolSubscription);
    return Append(&marker, 1) && Append(m_eventName.data(), nameLength);
}

bool EventMessage::Parse() const
{
    if (m_parsed)
        return m_valid;
    m_parsed = true;
    m_valid = false;
    if (MessageSize() < kEventMinimumSize || Buffer() == nullptr || Protocol() != kProtocolEvent)
        return false;

    const uint8_t* p = Buffer() + kHeaderSize;
    uint32_t remaining = MessageSize() - kHeaderSize;
    std::string parts[2];
    for (std::string& part : parts)
    {
        if (remaining < 2)
            return false;
        const uint16_t length = ReadU16(p);
        if (remaining - 2 < length)
            return false;
        part.assign(reinterpret_cast<const char*>(p + 2), length);
        p += 2 + length;
        remaining -= 2 + length;
    }
    m_eventName = std::move(parts[0]);
    m_eventValue = std::move(parts[1]);
    m_dataOffset = static_cast<uint32_t>(p - Buffer());
    m_dataLength = remaining;
    m_valid = true;
    return true;
}

uint32_t EventMessage::DataSize() const
{
    return Parse() ? m_dataLength : 0;
}

const uint8_t* EventMessage::Data() const
{
    return Parse() ? Buffer() + m_dataOffset : nullptr;
}

bool FindFrame(const uint8_t* bytes, size_t length, const uint8_t** frame, uint32_t* frameSize,
               size_t* consumed)
{
    if (bytes == nullptr || frame == nullptr || frameSize == nullptr || consumed == nullptr)
        return false;
    *frame = nullptr;
    *frameSize = 0;
    *consumed = 0;
    if (length < kHeaderSize)
        return true;

    // Skip garbage up to the next synchronisation sequence that still has a
    // whole header behind it; a partial header at the end is kept.
    size_t skipped = 0;
    while (!HasSyncAt(bytes + skipped))
    {
        ++skipped;
        if (length - skipped < kHeaderSize)
        {
            *consumed = skipped;
            return true;
        }
    }

    const uint8_t* header = bytes + skipped;
    const uint8_t version = header[kVersionOffset];
    if (version != kHeaderVersion)
    {
        VT_LOG_REPEAT(ERR) << "Unexpected message header version " << static_cast<unsigned>(version);
        return false;
    }
    const uint32_t size = ReadU32(header + kSizeOffset);
    if (size > kMaxMessageSize)
    {
        VT_LOG_REPEAT(ERR) << "Message size is too big: " << size;
        return false;
    }
    // A frame shorter than its own header cannot be skipped safely.
    if (size < kHeaderSize)
    {
        VT_LOG_REPEAT(ERR) << "Message size is too small: " << size;
        return false;
    }
    if (size <= length - skipped)
    {
        *frame = header;
        *frameSize = size;
        *consumed = skipped + size;
        return true;
    }
    VT_LOG(DBG) << "Message is not recveived fully";
    *consumed = skipped;
    return true;
}

size_t ConsumeFrames(const uint8_t* bytes, size_t length, const FrameHandler& onFrame, bool* corrupt)
{
    if (corrupt != nullptr)
        *corrupt = false;
    size_t consumed = 0;
    while (consumed < length)
    {
        const uint8_t* frame = nullptr;
        uint32_t size = 0;
        size_t used = 0;
        if (!FindFrame(bytes + consumed, length - consumed, &frame, &size, &used))
        {
            if (corrupt != nullptr)
                *corrupt = true;
            return length;
        }
        consumed += used;
        if (frame == nullptr || size == 0)
            return consumed;
        if (onFrame && onFrame(frame, size) == FrameAction::kDiscardRest)
            return length;
    }
    return consumed;
}

ReplyStatus ParseReply(const uint8_t* frame, uint32_t size, uint32_t* id, const uint8_t** data,
                       uint32_t* dataLength)
{
    if (frame == nullptr || size < kRequestHeaderSize)
        return ReplyStatus::kTooShort;
    const uint32_t requestId = ReadU32(frame + kHeaderSize);
    if (requestId == 0)
        return ReplyStatus::kNoId;
    if (id != nullptr)
        *id = requestId;
    if (data != nullptr)
        *data = frame + kRequestHeaderSize;
    if (dataLength != nullptr)
        *dataLength = size - kRequestHeaderSize;
    return ReplyStatus::kOk;
}

}  // namespace ipc
