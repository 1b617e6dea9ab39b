// The handshake layout and its verification over an HMAC given by the test,
// and the client's reading of the server's answer frame. No Windows API:
// these run in the Windows suite and in the native sanitizer build.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ipc/CommMessage.h"
#include "ipc/HandshakeFormat.h"
#include "support/Frames.h"
#include "support/Hex.h"
#include "vantu_config.h"

using namespace ipc;
using namespace ipc::handshake;

using testsupport::kPids;
using testsupport::Tag;
using testsupport::Utf16;
using testsupport::Verifier;

namespace {

std::vector<uint8_t> Body(const std::vector<uint8_t>& data)
{
    return testsupport::TaggedBody(data, 1);
}

std::vector<uint8_t> Frame(const std::vector<uint8_t>& body)
{
    return testsupport::Frame(kProtocolHandshake, body);
}

}  // namespace

TEST(HandshakeFormat, ProcessIdStringKeysAndTagFollowTheConfiguration)
{
    // Server 0x1A2B first, client 0x3C4D second.
    char pids[17] = {};
    ASSERT_TRUE(FormatProcessIdString(0x1A2B, 0x3C4D, pids));
    EXPECT_STREQ(kPids, pids);
    ASSERT_TRUE(FormatProcessIdString(0xFFFFFFFF, 0, pids));
    EXPECT_STREQ("FFFFFFFF00000000", pids);

    EXPECT_EQ(testsupport::FromHex(VANTU_HANDSHAKE_MASTER_KEY_HEX), std::vector<uint8_t>(kMasterKey, kMasterKey + 32));
    // The key material: the configured seed, then the pid string.
    std::vector<uint8_t> material = testsupport::FromHex(VANTU_HANDSHAKE_KEY_SEED_HEX);
    material.insert(material.end(), kPids, kPids + 16);
    uint8_t built[kKeyMaterialSize];
    BuildKeyMaterial(kPids, built);
    EXPECT_EQ(material, std::vector<uint8_t>(built, built + kKeyMaterialSize));

    // The connection key and the tag, computed independently (Python's hmac)
    // for the development keys: this also checks the test's own HMAC.
    const std::string message = "any message";
    uint8_t tag[32];
    EXPECT_FALSE(ComputeTag(testsupport::HandshakeHmac, kPids, nullptr, 4, tag));
    EXPECT_FALSE(ComputeTag(testsupport::HandshakeHmac, kPids, tag, 0, tag));
    EXPECT_FALSE(ComputeTag(nullptr, kPids, tag, 4, tag));
    ASSERT_TRUE(Tag(kPids)(reinterpret_cast<const uint8_t*>(message.data()), message.size(), tag));
    if (std::string(VANTU_HANDSHAKE_MASTER_KEY_HEX) !=
            "01f98e9193f71d5742d4cca2b9dac8c319421c68f74337a012ded1151f695f88" ||
        std::string(VANTU_HANDSHAKE_KEY_SEED_HEX) != "66767530f3efb9851c5b888971450e4545b287efa112e31706ad7bdd84acb9ba")
        GTEST_SKIP() << "the build does not use the development handshake keys";
    EXPECT_EQ("8b9f55db2a28f0299eb1b82b1f64c5915398d9b372685f00f5c25c20df779625", testsupport::ToHex(tag, 32));
}

TEST(HandshakeFormat, BodyVerifiesOnlyUnchangedAndForItsProcessPair)
{
    const std::vector<uint8_t> body = Body(Utf16(u"\\\\.\\pipe\\transport"));
    ASSERT_EQ(Utf16(u"\\\\.\\pipe\\transport").size() + kTrailerSize, body.size());
    EXPECT_EQ(VerifyStatus::kOk, VerifyTaggedBody(body.data(), body.size(), kPids, Tag(kPids)));

    for (size_t i = 0; i < body.size(); ++i)
    {
        std::vector<uint8_t> changed = body;
        changed[i] ^= 0x01;
        EXPECT_EQ(VerifyStatus::kMismatch, VerifyTaggedBody(changed.data(), changed.size(), kPids, Tag(kPids)))
            << "byte " << i;
    }
    const char other[] = "00001A2B00003C4E";
    EXPECT_EQ(VerifyStatus::kMismatch, VerifyTaggedBody(body.data(), body.size(), other, Tag(other)));

    // 44 bytes: an empty data part. 43: refused before any HMAC.
    const std::vector<uint8_t> bare = Body({});
    ASSERT_EQ(44u, bare.size());
    int calls = 0;
    EXPECT_EQ(VerifyStatus::kOk, VerifyTaggedBody(bare.data(), 44, kPids, Tag(kPids, &calls)));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(VerifyStatus::kTooShort, VerifyTaggedBody(bare.data() + 1, 43, kPids, Tag(kPids, &calls)));
    EXPECT_EQ(VerifyStatus::kTooShort, VerifyTaggedBody(nullptr, 44, kPids, Tag(kPids, &calls)));
    EXPECT_EQ(1, calls);
    const TagFunction failing = [](const uint8_t*, size_t, uint8_t*) { return false; };
    EXPECT_EQ(VerifyStatus::kNoTag, VerifyTaggedBody(bare.data(), 44, kPids, failing));
    EXPECT_EQ(VerifyStatus::kNoTag, VerifyTaggedBody(bare.data(), 44, nullptr, Tag(kPids)));
}

// The salt of the client's own body in these tests.
const uint8_t kSentSalt[kSaltSize] = {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC};

TEST(HandshakeAnswer, OnlyAnAuthenticFrameGivesTheTransportPath)
{
    std::wstring path;
    const auto read = [&](const std::vector<uint8_t>& frame, const BodyVerifier& verifier, uint32_t cut = 0) {
        return ReadHandshakeAnswer(frame.data(), static_cast<uint32_t>(frame.size()) - cut, verifier, kSentSalt,
                                   path);
    };
    // An odd data length loses its last byte.
    std::vector<uint8_t> odd = Utf16(u"\\\\.\\pipe\\odd");
    odd.push_back('x');
    const std::pair<std::vector<uint8_t>, const wchar_t*> good[] = {
        {Utf16(u"\\\\.\\pipe\\t-\u00e9\u4e2d"), L"\\\\.\\pipe\\t-\u00e9\u4e2d"}, {odd, L"\\\\.\\pipe\\odd"}};
    for (const auto& [data, expected] : good)
    {
        ASSERT_EQ(AnswerStatus::kOk, read(Frame(Body(data)), Verifier(kPids)));
        EXPECT_EQ(expected, path);
    }

    // Refused, the path left alone: a body that does not verify for this
    // pipe's pair, no verifier, a verifier that claims more data than the
    // body holds, a header-only frame (an empty body), and a frame whose
    // header disagrees with the bytes given.
    path = L"unchanged";
    const std::vector<uint8_t> frame = Frame(Body(Utf16(u"pipe")));
    const BodyVerifier overclaiming = [](const uint8_t*, uint32_t length, uint32_t& dataLength) {
        dataLength = length + 2;
        return true;
    };
    EXPECT_EQ(AnswerStatus::kNotAuthentic, read(frame, Verifier("FFFFFFFF00003C4D")));
    EXPECT_EQ(AnswerStatus::kNotAuthentic, read(frame, nullptr));
    EXPECT_EQ(AnswerStatus::kNotAuthentic, read(frame, overclaiming));
    EXPECT_EQ(AnswerStatus::kNotAuthentic, read(Frame({}), Verifier(kPids)));
    EXPECT_EQ(AnswerStatus::kBadFrame, read(frame, Verifier(kPids), 1));
    EXPECT_EQ(AnswerStatus::kBadFrame, ReadHandshakeAnswer(frame.data(), 10, Verifier(kPids), kSentSalt, path));
    EXPECT_EQ(L"unchanged", path);
}

// The tag covers no direction: the client's own body, sent back, verifies.
// It is refused by its salt, and so is an answer when no salt is known.
TEST(HandshakeAnswer, TheClientsOwnBodySentBackIsRefused)
{
    const uint8_t session[kClientDataSize] = {'\\', 0, 'x', 0};
    std::vector<uint8_t> own;
    ASSERT_TRUE(BuildTaggedBody(session, sizeof(session), kSentSalt, kPids, Tag(kPids), own));
    const std::vector<uint8_t> reflected = Frame(own);
    ASSERT_EQ(VerifyStatus::kOk, VerifyTaggedBody(own.data(), own.size(), kPids, Tag(kPids)));

    std::wstring path = L"unchanged";
    EXPECT_EQ(AnswerStatus::kReflected, ReadHandshakeAnswer(reflected.data(), static_cast<uint32_t>(reflected.size()),
                                                            Verifier(kPids), kSentSalt, path));
    // An answer with the sent salt is refused whatever path it names.
    std::vector<uint8_t> data = Utf16(u"\\\\.\\pipe\\t");
    std::vector<uint8_t> sameSalt;
    ASSERT_TRUE(BuildTaggedBody(data.data(), data.size(), kSentSalt, kPids, Tag(kPids), sameSalt));
    const std::vector<uint8_t> frame = Frame(sameSalt);
    EXPECT_EQ(AnswerStatus::kReflected,
              ReadHandshakeAnswer(frame.data(), static_cast<uint32_t>(frame.size()), Verifier(kPids), kSentSalt, path));
    EXPECT_EQ(AnswerStatus::kReflected,
              ReadHandshakeAnswer(frame.data(), static_cast<uint32_t>(frame.size()), Verifier(kPids), nullptr, path));
    // One salt byte different is another salt.
    uint8_t nearly[kSaltSize];
    std::memcpy(nearly, kSentSalt, kSaltSize);
    nearly[kSaltSize - 1] ^= 0x80;
    EXPECT_EQ(AnswerStatus::kOk,
              ReadHandshakeAnswer(frame.data(), static_cast<uint32_t>(frame.size()), Verifier(kPids), nearly, path));
    EXPECT_EQ(L"\\\\.\\pipe\\t", path);
}

// Only "\\.\pipe\" and one name: a remote host, another device, a path that
// climbs out of the pipe folder or that the system would cut are refused,
// authentic or not.
TEST(HandshakeAnswer, OnlyALocalPipeIsAccepted)
{
    const std::pair<std::u16string, bool> cases[] = {
        {u"\\\\.\\pipe\\Zelnor.Pathwarden.12.SettingManager.3", true},
        {u"\\\\.\\PIPE\\x", true},
        {u"\\\\.\\pipe\\" + std::u16string(256, u'n'), true},
        {u"\\\\.\\pipe\\" + std::u16string(257, u'n'), false},
        {u"\\\\host\\pipe\\x", false},
        {u"\\\\127.0.0.1\\pipe\\x", false},
        {u"\\\\?\\pipe\\x", false},
        {u"\\\\.\\pipe\\", false},
        {u"\\\\.\\pipe\\a\\b", false},
        {u"\\\\.\\pipe\\a/../../C:/x", false},
        {u"\\\\.\\pipe\\..", false},
        {u"\\\\.\\pipe\\.", false},
        {std::u16string(u"\\\\.\\pipe\\a\0b", 12), false},
        {u"\\\\.\\pipes\\x", false},
        {u"\\\\.\\C:\\x", false},
        {u"C:\\x", false},
        {u"", false},
    };
    for (const auto& [text, local] : cases)
    {
        const std::wstring wide(text.begin(), text.end());
        EXPECT_EQ(local, IsLocalPipePath(wide)) << testing::PrintToString(wide);
        std::wstring path = L"unchanged";
        const std::vector<uint8_t> frame = Frame(Body(Utf16(text)));
        EXPECT_EQ(local ? AnswerStatus::kOk : AnswerStatus::kNotLocal,
                  ReadHandshakeAnswer(frame.data(), static_cast<uint32_t>(frame.size()), Verifier(kPids), kSentSalt,
                                      path));
        EXPECT_EQ(local ? wide : L"unchanged", path);
    }
}
