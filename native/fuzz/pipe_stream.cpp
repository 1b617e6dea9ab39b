// The client's receive path on a pipe: the bytes a peer sends arrive in reads
// cut where the input says, are gathered in the receive buffer and scanned
// for frames, and each frame is handled as the client handles it (the
// server's handshake answer, replies matched to waiting requests, event
// notifications parsed and dispatched, other protocols ignored).
//
// Input: one mode byte (bit 0: the first frame is the handshake answer),
// then reads, each a length byte (0 means 256) and that many bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "ipc/CommMessage.h"
#include "ipc/HandshakeFormat.h"

using namespace ipc;
using fuzzsupport::Require;

namespace {

class Client
{
public:
    explicit Client(bool handshakeFirst) : m_handshakeFirst(handshakeFirst) { Reset(); }

    void Reset()
    {
        m_state = m_handshakeFirst ? kHandshakeSent : kReady;
        m_pending = {{1, {}}, {2, {}}, {0x7FFFFFFF, {}}};
    }

    void OnRead(const uint8_t* bytes, size_t length)
    {
        m_receive.insert(m_receive.end(), bytes, bytes + length);
        const uint8_t* const begin = m_receive.data();
        const size_t available = m_receive.size();
        bool corrupt = false;
        const size_t used = ConsumeFrames(
            begin, available,
            [&](const uint8_t* frame, uint32_t size) {
                // Every frame lies inside the buffer and is what its header says.
                Require(frame >= begin && size >= kHeaderSize && frame + size <= begin + available);
                Require(ReadU32(frame + kSizeOffset) == size && ReadU32(frame) == kSyncSequence);
                OnMessage(frame, size);
                return m_state == kDropped ? FrameAction::kDiscardRest : FrameAction::kNext;
            },
            &corrupt);
        Require(used <= m_receive.size());
        m_receive.erase(m_receive.begin(), m_receive.begin() + static_cast<std::ptrdiff_t>(used));
        // A kept remainder is the start of a frame: never longer than the
        // largest frame.
        Require(m_receive.size() <= kMaxMessageSize);
        if (corrupt || m_state == kDropped)
        {
            m_receive.clear();
            Reset();
        }
        else if (m_state == kAuthenticated)
        {
            // The client moves to the transport pipe: a fresh buffer.
            m_receive.clear();
            m_state = kReady;
        }
    }

private:
    enum State
    {
        kHandshakeSent,
        kAuthenticated,
        kReady,
        kDropped,
    };

    void OnMessage(const uint8_t* frame, uint32_t size)
    {
        if (m_state == kHandshakeSent)
        {
            std::wstring path;
            const handshake::AnswerStatus status =
                handshake::ReadHandshakeAnswer(frame, size, fuzzsupport::Verifier(), fuzzsupport::kSentSalt.data(), path);
            if (status != handshake::AnswerStatus::kOk)
            {
                m_state = kDropped;
                return;
            }
            Require(path.size() == (size - kHeaderSize - handshake::kTrailerSize) / 2);
            m_state = kAuthenticated;
            return;
        }
        if (m_state == kAuthenticated)
        {
            // Nothing may follow the answer on the handshake pipe.
            m_state = kDropped;
            return;
        }
        switch (ReadU16(frame + kProtocolOffset))
        {
        case kProtocolRequest:
            OnReply(frame, size);
            break;
        case kProtocolEvent:
            OnEvent(frame, size);
            break;
        default:
            break;
        }
    }

    void OnReply(const uint8_t* frame, uint32_t size)
    {
        uint32_t id = 0;
        const uint8_t* data = nullptr;
        uint32_t length = 0;
        if (ParseReply(frame, size, &id, &data, &length) != ReplyStatus::kOk)
        {
            m_state = kDropped;
            return;
        }
        Require(data == frame + kRequestHeaderSize && length == size - kRequestHeaderSize);
        const auto it = m_pending.find(id);
        if (it == m_pending.end())
            return;
        it->second.assign(data, data + length);
    }

    void OnEvent(const uint8_t* frame, uint32_t size)
    {
        EventMessage message;
        if (!message.CreateFromBuffer(frame, size))
            return;
        Require(std::memcmp(message.Buffer(), frame, size) == 0);
        if (!message.Parse())
            return;
        const uint32_t dataSize = message.DataSize();
        const uint8_t* data = message.Data();
        Require(data != nullptr && data >= message.Buffer() && data + dataSize == message.Buffer() + size);
        Require(kHeaderSize + 4 + message.EventName().size() + message.EventValue().size() + dataSize == size);
        if (message.EventName() == "ToastResult")
        {
            std::vector<uint8_t> copy(data, data + dataSize);
            m_lastEvent = message.EventValue() + std::string(copy.begin(), copy.end());
        }
    }

    const bool m_handshakeFirst;
    State m_state = kReady;
    std::vector<uint8_t> m_receive;
    std::map<uint32_t, std::vector<uint8_t>> m_pending;
    std::string m_lastEvent;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    Client client((data[0] & 1) != 0);
    size_t at = 1;
    while (at < size)
    {
        size_t read = data[at] == 0 ? 256 : data[at];
        ++at;
        if (read > size - at)
            read = size - at;
        client.OnRead(data + at, read);
        at += read;
    }
    return 0;
}
