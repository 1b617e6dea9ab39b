// The handshake layout and its verification over an HMAC given by the test,
// and the client's reading of the server's answer frame. No Windows API:
// these run in the Windows suite and in the native sanitizer build.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
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
using testsupport::kSentSalt;
using testsupport::kSentSaltByte;
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

// The answer as the client reads it, knowing the salt it sent.
AnswerStatus ReadAnswer(const std::vector<uint8_t>& frame, std::wstring& path,
                        const BodyVerifier& verifier = Verifier(kPids), const uint8_t* sentSalt = kSentSalt.data(),
                        size_t given = 0)
{
    return ReadHandshakeAnswer(frame.data(), static_cast<uint32_t>(given != 0 ? given : frame.size()), verifier,
                               sentSalt, path);
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

// The tag covers no direction: the client's own body, sent back, would
// verify. So an answer with the salt the client sent is refused, also when
// the client knows no salt; a salt one bit away is another salt.
TEST(HandshakeAnswer, OnlyAnAuthenticFrameWithAnotherSaltGivesTheTransportPath)
{
    std::wstring path;
    // An odd data length loses its last byte.
    std::vector<uint8_t> odd = Utf16(u"\\\\.\\pipe\\odd");
    odd.push_back('x');
    const std::vector<uint8_t> sentSalt = Frame(testsupport::TaggedBody(Utf16(u"\\\\.\\pipe\\t"), kSentSaltByte));
    std::vector<uint8_t> nearly = kSentSalt;
    nearly.back() ^= 0x80;
    const std::tuple<std::vector<uint8_t>, const uint8_t*, const wchar_t*> good[] = {
        {Frame(Body(Utf16(u"\\\\.\\pipe\\t-\u00e9\u4e2d"))), kSentSalt.data(), L"\\\\.\\pipe\\t-\u00e9\u4e2d"},
        {Frame(Body(odd)), kSentSalt.data(), L"\\\\.\\pipe\\odd"},
        {sentSalt, nearly.data(), L"\\\\.\\pipe\\t"}};
    for (const auto& [frame, salt, expected] : good)
    {
        ASSERT_EQ(AnswerStatus::kOk, ReadAnswer(frame, path, Verifier(kPids), salt));
        EXPECT_EQ(expected, path);
    }

    // Refused, the path left alone: a body that does not verify for this
    // pipe's pair, no verifier, a verifier that claims more data than the
    // body holds, a header-only frame (an empty body), a frame whose header
    // disagrees with the bytes given, and the sent salt.
    path = L"unchanged";
    const std::vector<uint8_t> frame = Frame(Body(Utf16(u"pipe")));
    const BodyVerifier overclaiming = [](const uint8_t*, uint32_t length, uint32_t& dataLength) {
        dataLength = length + 2;
        return true;
    };
    EXPECT_EQ(AnswerStatus::kNotAuthentic, ReadAnswer(frame, path, Verifier("FFFFFFFF00003C4D")));
    EXPECT_EQ(AnswerStatus::kNotAuthentic, ReadAnswer(frame, path, nullptr));
    EXPECT_EQ(AnswerStatus::kNotAuthentic, ReadAnswer(frame, path, overclaiming));
    EXPECT_EQ(AnswerStatus::kNotAuthentic, ReadAnswer(Frame({}), path));
    EXPECT_EQ(AnswerStatus::kBadFrame, ReadAnswer(frame, path, Verifier(kPids), kSentSalt.data(), frame.size() - 1));
    EXPECT_EQ(AnswerStatus::kBadFrame, ReadAnswer(frame, path, Verifier(kPids), kSentSalt.data(), 10));
    EXPECT_EQ(AnswerStatus::kReflected, ReadAnswer(sentSalt, path));
    EXPECT_EQ(AnswerStatus::kReflected, ReadAnswer(sentSalt, path, Verifier(kPids), nullptr));
    EXPECT_EQ(L"unchanged", path);
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
        EXPECT_EQ(local ? AnswerStatus::kOk : AnswerStatus::kNotLocal, ReadAnswer(frame, path));
        EXPECT_EQ(local ? wide : L"unchanged", path);
    }
}
