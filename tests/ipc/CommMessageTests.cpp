// Frames: building, header checks, copies of received frames, event parsing
// and the receive-buffer scanner.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ipc/CommMessage.h"
#include "support/Frames.h"

using namespace ipc;

using testsupport::EventFrame;
using testsupport::FrameHeader;

namespace {

std::vector<uint8_t> FrameBytes(uint16_t protocol, const std::string& body)
{
    return testsupport::Frame(protocol, testsupport::Text(body));
}

}  // namespace

TEST(CommMessage, CreateFillsHeaderAndAppendStaysInsideTheFrame)
{
    CommMessage empty;
    EXPECT_EQ(0u, empty.MessageSize());
    EXPECT_EQ(kHeaderSize, empty.WritePosition());
    EXPECT_EQ(nullptr, empty.Data());
    EXPECT_EQ(0u, empty.DataSize());
    EXPECT_FALSE(empty.Append("x", 1));

    for (uint32_t size : {10u, 0xA00001u, 0xA00000u})
    {
        CommMessage m;
        EXPECT_EQ(size == 0xA00000u, m.Create(size)) << size;
        EXPECT_EQ(size == 0xA00000u ? size : 0u, m.MessageSize()) << size;
    }

    CommMessage headerOnly;
    ASSERT_TRUE(headerOnly.Create(11));
    EXPECT_EQ(0u, headerOnly.DataSize());
    EXPECT_TRUE(headerOnly.Append(nullptr, 0));
    EXPECT_FALSE(headerOnly.Append("x", 1));

    CommMessage m;
    ASSERT_TRUE(m.Create(20));
    m.SetProtocol(0x0201);
    ASSERT_TRUE(m.Append("abcd", 4));
    EXPECT_FALSE(m.Append("123456", 6));  // one byte more than is left
    EXPECT_EQ(15u, m.WritePosition());    // nothing copied by the refused append
    ASSERT_TRUE(m.Append("12345", 5));
    EXPECT_EQ(20u, m.WritePosition());
    m.SetRequestId(0xA1B2C3D4);
    const uint8_t expected[15] = {'D', 'A', 'C', 'M', 1, 20, 0, 0, 0, 0x01, 0x02, 0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(0, std::memcmp(expected, m.Buffer(), sizeof(expected)));
    EXPECT_EQ(0, std::memcmp("12345", m.Buffer() + 15, 5));
    EXPECT_EQ(0x0201, m.Protocol());
    EXPECT_EQ(0xA1B2C3D4u, m.RequestId());
    EXPECT_EQ(9u, m.DataSize());
}

TEST(CommMessage, CreateFromBufferCopiesExactlyOneValidFrame)
{
    // A receive buffer holding a frame and the start of the next one.
    std::vector<uint8_t> bytes = FrameBytes(kProtocolMessage, "hello");
    const std::vector<uint8_t> next = FrameBytes(kProtocolMessage, "next frame");
    bytes.insert(bytes.end(), next.begin(), next.end());

    CommMessage copy;
    ASSERT_TRUE(copy.CreateFromBuffer(bytes.data(), bytes.size()));
    EXPECT_EQ(16u, copy.MessageSize());
    EXPECT_EQ(16u, copy.WritePosition());
    EXPECT_EQ(kProtocolMessage, copy.Protocol());
    EXPECT_EQ(0, std::memcmp(bytes.data(), copy.Buffer(), 16));

    // Shorter than a header or than the frame, wrong version or sync bytes,
    // a size below the header's.
    std::vector<uint8_t> badVersion = FrameBytes(kProtocolMessage, "x");
    badVersion[4] = 2;
    std::vector<uint8_t> badSync = FrameBytes(kProtocolMessage, "x");
    badSync[0] = 'X';
    const std::pair<std::vector<uint8_t>, size_t> refusals[] = {
        {bytes, 10}, {bytes, 15}, {badVersion, badVersion.size()}, {badSync, badSync.size()},
        {FrameHeader(5, kProtocolMessage), 11}};
    for (const auto& [frame, size] : refusals)
    {
        CommMessage refused;
        EXPECT_FALSE(refused.CreateFromBuffer(frame.data(), size)) << size;
        EXPECT_EQ(0u, refused.MessageSize());
    }
}

TEST(CommMessage, EventMessageParsesNameValueAndDataBlock)
{
    const std::vector<uint8_t> frame = EventFrame("EVT", "value", std::string("\0data", 5));
    EventMessage event;
    ASSERT_TRUE(event.CreateFromBuffer(frame.data(), frame.size()));
    EXPECT_EQ(5u, event.DataSize());
    ASSERT_NE(nullptr, event.Data());
    EXPECT_EQ(0, std::memcmp("\0data", event.Data(), 5));
    EXPECT_EQ("EVT", event.EventName());
    EXPECT_EQ("value", event.EventValue());

    const std::vector<uint8_t> noData = EventFrame("", "", "");  // 15 bytes: two empty strings
    EventMessage empty;
    ASSERT_TRUE(empty.CreateFromBuffer(noData.data(), noData.size()));
    EXPECT_TRUE(empty.Parse());
    EXPECT_EQ(0u, empty.DataSize());
    EXPECT_EQ("", empty.EventName());

    // A length prefix beyond what follows (the first, or the second by one
    // byte), another protocol, or too short to hold both lengths.
    std::vector<uint8_t> badFirst = EventFrame("EVT", "value", "");
    WriteU16(badFirst.data() + 11, 200);
    std::vector<uint8_t> badSecond = EventFrame("EVT", "value", "");
    WriteU16(badSecond.data() + 11 + 2 + 3, 6);
    std::vector<uint8_t> wrongProtocol = EventFrame("E", "V", "");
    WriteU16(wrongProtocol.data() + 9, kProtocolMessage);
    for (const auto& bad : {badFirst, badSecond, wrongProtocol, FrameBytes(kProtocolEvent, std::string("\0\0\0", 3))})
    {
        EventMessage broken;
        ASSERT_TRUE(broken.CreateFromBuffer(bad.data(), bad.size()));
        EXPECT_FALSE(broken.Parse());
        EXPECT_EQ(nullptr, broken.Data());
        EXPECT_EQ(0u, broken.DataSize());
    }
}

TEST(FindFrame, WaitsForAWholeHeaderSkipsGarbageAndRefusesCorruptHeaders)
{
    const std::vector<uint8_t> frame = FrameBytes(kProtocolMessage, "payload");
    std::vector<uint8_t> garbageFirst = {0x01, 0x02, 0x03};
    garbageFirst.insert(garbageFirst.end(), frame.begin(), frame.end());
    std::vector<uint8_t> syncAtTheEnd(50, 0xEE);
    syncAtTheEnd.insert(syncAtTheEnd.end(), frame.begin(), frame.begin() + 6);
    struct Case
    {
        std::vector<uint8_t> bytes;
        bool ok;
        int frameAt;  // -1: no whole frame yet
        size_t consumed;
    };
    const Case cases[] = {
        {std::vector<uint8_t>(10, 'D'), true, -1, 0},             // not a whole header yet
        {garbageFirst, true, 3, 3 + frame.size()},                // garbage before a frame
        {std::vector<uint8_t>(100, 0xEE), true, -1, 90},          // garbage only: the last ten bytes stay
        {syncAtTheEnd, true, -1, 46},                             // a sync sequence at the end stays
        {FrameHeader(0xA00000, kProtocolMessage), true, -1, 0},   // the largest frame, not complete yet
        {FrameHeader(11, kProtocolMessage), true, 0, 11},         // header only
        {FrameHeader(11, 0, 2), false, -1, 0},                    // another version
        {FrameHeader(0xA00001, kProtocolMessage), false, -1, 0},  // one byte too large
        {FrameHeader(0, kProtocolMessage), false, -1, 0},         // shorter than its own header
        {FrameHeader(1, kProtocolMessage), false, -1, 0},
        {FrameHeader(10, kProtocolMessage), false, -1, 0},
    };
    for (const Case& c : cases)
    {
        const uint8_t* found = nullptr;
        uint32_t size = 0;
        size_t consumed = 0;
        EXPECT_EQ(c.ok, FindFrame(c.bytes.data(), c.bytes.size(), &found, &size, &consumed))
            << testing::PrintToString(c.bytes);
        if (!c.ok)
            continue;
        EXPECT_EQ(c.frameAt < 0 ? nullptr : c.bytes.data() + c.frameAt, found);
        EXPECT_EQ(c.consumed, consumed);
        if (c.frameAt >= 0)
        {
            EXPECT_EQ(c.bytes.size() - c.frameAt, size);
        }
    }
}

TEST(ConsumeFrames, AStreamCutAtEveryPointGivesTheSameFramesAfterTheGarbage)
{
    const std::vector<uint8_t> frames[] = {FrameBytes(kProtocolRequest, std::string("\x01\0\0\0{}", 6)),
                                           EventFrame("name", "", std::string(300, 'd')),
                                           FrameBytes(kProtocolMessage, "")};
    std::vector<uint8_t> stream = {'x', 'y'};  // garbage before the first frame
    for (const auto& f : frames)
        stream.insert(stream.end(), f.begin(), f.end());
    for (size_t cut = 0; cut <= stream.size(); ++cut)
    {
        std::vector<std::vector<uint8_t>> seen;
        std::vector<uint8_t> buffer;
        const FrameHandler collect = [&](const uint8_t* frame, uint32_t size) {
            seen.emplace_back(frame, frame + size);
            return FrameAction::kNext;
        };
        for (const auto& piece : {std::make_pair(size_t{0}, cut), std::make_pair(cut, stream.size())})
        {
            buffer.insert(buffer.end(), stream.begin() + piece.first, stream.begin() + piece.second);
            bool corrupt = true;
            const size_t used = ConsumeFrames(buffer.data(), buffer.size(), collect, &corrupt);
            ASSERT_LE(used, buffer.size());
            EXPECT_FALSE(corrupt);
            buffer.erase(buffer.begin(), buffer.begin() + used);
        }
        ASSERT_EQ(3u, seen.size()) << "cut at " << cut;
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(frames[i], seen[i]) << "cut at " << cut;
        EXPECT_TRUE(buffer.empty());
    }
}

TEST(ConsumeFrames, AHandlerDoneWithThePipeOrACorruptHeaderDropsTheRest)
{
    const std::vector<uint8_t> frame = FrameBytes(kProtocolRequest, std::string("\x07\0\0\0ab", 6));
    int handled = 0;
    FrameAction action = FrameAction::kDiscardRest;
    const FrameHandler handler = [&](const uint8_t*, uint32_t size) {
        EXPECT_EQ(frame.size(), size);
        ++handled;
        return action;
    };
    // The handler is done after the first of two frames.
    std::vector<uint8_t> bytes = frame;
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    bool corrupt = true;
    EXPECT_EQ(bytes.size(), ConsumeFrames(bytes.data(), bytes.size(), handler, &corrupt));
    EXPECT_EQ(1, handled);
    EXPECT_FALSE(corrupt);

    // A corrupt header after a good frame: the good one is handled, then the
    // whole buffer goes.
    const std::vector<uint8_t> oversize = FrameHeader(kMaxMessageSize + 1, kProtocolRequest);
    bytes.resize(frame.size());
    bytes.insert(bytes.end(), oversize.begin(), oversize.end());
    action = FrameAction::kNext;
    EXPECT_EQ(bytes.size(), ConsumeFrames(bytes.data(), bytes.size(), handler, &corrupt));
    EXPECT_EQ(2, handled);
    EXPECT_TRUE(corrupt);
}

TEST(ParseReply, IdentifierAndDataOrWhatIsMissing)
{
    const std::vector<uint8_t> reply = FrameBytes(kProtocolRequest, std::string("\x2A\0\0\0data", 8));
    uint32_t id = 0;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(ReplyStatus::kOk, ParseReply(reply.data(), static_cast<uint32_t>(reply.size()), &id, &data, &length));
    EXPECT_EQ(42u, id);
    EXPECT_EQ(4u, length);
    EXPECT_EQ(0, std::memcmp("data", data, 4));

    const std::vector<uint8_t> empty = FrameBytes(kProtocolRequest, std::string("\x01\0\0\0", 4));
    ASSERT_EQ(ReplyStatus::kOk, ParseReply(empty.data(), 15, &id, &data, &length));
    EXPECT_EQ(0u, length);

    const std::vector<uint8_t> noId = FrameBytes(kProtocolRequest, std::string("\0\0\0\0x", 5));
    EXPECT_EQ(ReplyStatus::kNoId, ParseReply(noId.data(), 16, &id, &data, &length));
    const std::vector<uint8_t> shortReply = FrameBytes(kProtocolRequest, "abc");
    EXPECT_EQ(ReplyStatus::kTooShort, ParseReply(shortReply.data(), 14, &id, &data, &length));
}
