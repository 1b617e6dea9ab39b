// Handshake buffers and their verification, on a pipe whose two ends are in
// this process.
#include <gtest/gtest.h>

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "ipc/Authenticator.h"
#include "ipc/HandshakeFormat.h"
#include "ipc/ipc_common.h"
#include "support/LogCapture.h"
#include "vantu_config.h"

using namespace ipc;
using namespace ipc::handshake;

namespace {

// A connected pipe: the test holds the client end, which is what the
// authenticator is given.
class LocalPipe
{
public:
    LocalPipe()
    {
        const std::wstring name = L"\\\\.\\pipe\\vantu-handshake-" + std::to_wstring(GetCurrentProcessId());
        m_server.Reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr));
        m_client.Reset(
            CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    HANDLE Client() const { return m_client.Get(); }
    HANDLE Server() const { return m_server.Get(); }

private:
    ScopedHandle m_server;
    ScopedHandle m_client;
};

std::vector<uint8_t> FromHex(const char* hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(std::string(hex + i, 2), nullptr, 16)));
    return bytes;
}

// HMAC-SHA-256 straight from CNG, independent of the code under test.
std::vector<uint8_t> ReferenceHmac(const std::vector<uint8_t>& key, const std::vector<uint8_t>& message)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    std::vector<uint8_t> out(32);
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0)
        return {};
    BCRYPT_HASH_HANDLE hash = nullptr;
    const bool ok = BCryptCreateHash(alg, &hash, nullptr, 0, const_cast<PUCHAR>(key.data()),
                                     static_cast<ULONG>(key.size()), 0) == 0 &&
                    BCryptHashData(hash, const_cast<PUCHAR>(message.data()), static_cast<ULONG>(message.size()), 0) ==
                        0 &&
                    BCryptFinishHash(hash, out.data(), 32, 0) == 0;
    if (hash)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok ? out : std::vector<uint8_t>{};
}

std::string OwnPidString()
{
    char text[17] = {};
    FormatProcessIdString(GetCurrentProcessId(), GetCurrentProcessId(), text);
    return text;
}

TagFunction PipeTag(HANDLE pipe)
{
    return [pipe](const uint8_t* message, size_t size, uint8_t* out) {
        const auto tag = Authenticator::GenerateHmac(message, static_cast<uint32_t>(size), pipe);
        if (tag)
            std::memcpy(out, tag.get(), kTagSize);
        return static_cast<bool>(tag);
    };
}

}  // namespace

TEST(Handshake, ProcessIdStringAndKeysFollowTheConfiguration)
{
    char text[17] = {};
    ASSERT_TRUE(FormatProcessIdString(0x1A2B, 0x3C4D, text));
    EXPECT_STREQ("00001A2B00003C4D", text);
    ASSERT_TRUE(FormatProcessIdString(0xFFFFFFFF, 0, text));
    EXPECT_STREQ("FFFFFFFF00000000", text);

    uint8_t seed[kKeySize];
    WriteKeySeed(seed);
    EXPECT_EQ(FromHex(VANTU_HANDSHAKE_KEY_SEED_HEX), std::vector<uint8_t>(seed, seed + kKeySize));
    EXPECT_EQ(FromHex(VANTU_HANDSHAKE_MASTER_KEY_HEX), std::vector<uint8_t>(kMasterKey, kMasterKey + kKeySize));

    LocalPipe pipe;
    const auto pids = Authenticator::ProcessIdString(pipe.Client());
    ASSERT_TRUE(pids);
    EXPECT_EQ(OwnPidString(), std::string(pids.get()));
}

TEST(Handshake, TagIsAnHmacUnderTheConnectionKeyOfThisPipe)
{
    LocalPipe pipe;
    const std::string pids = OwnPidString();
    std::vector<uint8_t> material = FromHex(VANTU_HANDSHAKE_KEY_SEED_HEX);
    material.insert(material.end(), pids.begin(), pids.end());
    const std::vector<uint8_t> connectionKey = ReferenceHmac(FromHex(VANTU_HANDSHAKE_MASTER_KEY_HEX), material);
    ASSERT_EQ(32u, connectionKey.size());
    const std::vector<uint8_t> message = {'a', 'n', 'y', ' ', 'm', 'e', 's', 's', 'a', 'g', 'e'};
    const std::vector<uint8_t> expected = ReferenceHmac(connectionKey, message);

    const auto tag = Authenticator::GenerateHmac(message.data(), static_cast<uint32_t>(message.size()), pipe.Client());
    ASSERT_TRUE(tag);
    EXPECT_EQ(expected, std::vector<uint8_t>(tag.get(), tag.get() + 32));
    // The same from the server's end of the pipe.
    const auto serverTag = Authenticator::GenerateHmac(message.data(), 11, pipe.Server());
    ASSERT_TRUE(serverTag);
    EXPECT_EQ(0, std::memcmp(tag.get(), serverTag.get(), 32));

    EXPECT_FALSE(Authenticator::GenerateHmac(nullptr, 4, pipe.Client()));
    EXPECT_FALSE(Authenticator::GenerateHmac(message.data(), 0, pipe.Client()));
    EXPECT_FALSE(Authenticator::GenerateHmac(message.data(), 4, INVALID_HANDLE_VALUE));
}

TEST(Handshake, AuthenticatedBufferCarriesDataFreshSaltAndAVerifiableTag)
{
    LocalPipe pipe;
    const uint8_t session[4] = {0x01, 0x00, 0x00, 0x00};
    uint32_t length = 0;
    const auto first = Authenticator::Authenticate(pipe.Client(), session, length);
    ASSERT_TRUE(first);
    ASSERT_EQ(48u, length);
    const auto second = Authenticator::Authenticate(pipe.Client(), session, length);
    ASSERT_TRUE(second);
    EXPECT_EQ(0, std::memcmp(session, first.get(), 4));
    EXPECT_NE(0, std::memcmp(first.get() + 4, second.get() + 4, 12)) << "salt must be fresh";

    // The tag covers data, salt and the pid string: a 32-byte message.
    std::vector<uint8_t> message(first.get(), first.get() + 16);
    const std::string pids = OwnPidString();
    message.insert(message.end(), pids.begin(), pids.end());
    ASSERT_EQ(32u, message.size());
    const auto tag = Authenticator::GenerateHmac(message.data(), 32, pipe.Client());
    ASSERT_TRUE(tag);
    EXPECT_EQ(0, std::memcmp(tag.get(), first.get() + 16, 32));

    // The server side verifies both.
    uint32_t dataLength = 0;
    EXPECT_TRUE(Authenticator::VerifyAuthentication(pipe.Server(), first.get(), 48, dataLength));
    EXPECT_EQ(4u, dataLength);
    EXPECT_TRUE(Authenticator::VerifyAuthentication(pipe.Server(), second.get(), 48, dataLength));
    EXPECT_FALSE(Authenticator::Authenticate(pipe.Client(), nullptr, length));
}

TEST(Handshake, ServerAnswerVerifiesOnlyUnchangedAndForThisProcessPair)
{
    testsupport::ScopedLogCapture log;
    LocalPipe pipe;
    const std::string pids = OwnPidString();
    const std::u16string path = u"\\\\.\\pipe\\transport";
    const uint8_t salt[kSaltSize] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::vector<uint8_t> body;
    ASSERT_TRUE(BuildTaggedBody(reinterpret_cast<const uint8_t*>(path.data()), path.size() * 2, salt, pids.c_str(),
                                PipeTag(pipe.Server()), body));
    ASSERT_EQ(path.size() * 2 + 44, body.size());

    uint32_t dataLength = 0;
    ASSERT_TRUE(Authenticator::VerifyAuthentication(pipe.Client(), body.data(), static_cast<uint32_t>(body.size()),
                                                    dataLength));
    EXPECT_EQ(path.size() * 2, dataLength);

    // Any changed byte, in the data, the salt or the tag, is refused.
    for (size_t i = 0; i < body.size(); ++i)
    {
        std::vector<uint8_t> changed = body;
        changed[i] ^= 0x20;
        EXPECT_FALSE(Authenticator::VerifyAuthentication(pipe.Client(), changed.data(),
                                                         static_cast<uint32_t>(changed.size()), dataLength))
            << "byte " << i;
    }

    // A tag made for another process pair does not verify here.
    char other[17] = {};
    FormatProcessIdString(GetCurrentProcessId(), GetCurrentProcessId() + 4, other);
    std::vector<uint8_t> foreign;
    ASSERT_TRUE(BuildTaggedBody(reinterpret_cast<const uint8_t*>(path.data()), path.size() * 2, salt, other,
                                [&](const uint8_t* m, size_t n, uint8_t* out) {
                                    return ComputeTag(HmacSha256, other, m, n, out);
                                },
                                foreign));
    EXPECT_FALSE(Authenticator::VerifyAuthentication(pipe.Client(), foreign.data(),
                                                     static_cast<uint32_t>(foreign.size()), dataLength));
    // ... while the same construction with this pair's string does.
    std::vector<uint8_t> own;
    ASSERT_TRUE(BuildTaggedBody(reinterpret_cast<const uint8_t*>(path.data()), path.size() * 2, salt, pids.c_str(),
                                [&](const uint8_t* m, size_t n, uint8_t* out) {
                                    return ComputeTag(HmacSha256, pids.c_str(), m, n, out);
                                },
                                own));
    EXPECT_EQ(body, own);
    EXPECT_TRUE(log.Contains(L"HMAC authentication failed"));
}

TEST(Handshake, BodiesOf44BytesVerifyAndShorterOnesAreRefusedUnhashed)
{
    LocalPipe pipe;
    const std::string pids = OwnPidString();
    const uint8_t salt[kSaltSize] = {};
    std::vector<uint8_t> body;
    ASSERT_TRUE(BuildTaggedBody(nullptr, 0, salt, pids.c_str(), PipeTag(pipe.Client()), body));
    ASSERT_EQ(44u, body.size());
    uint32_t dataLength = 99;
    EXPECT_TRUE(Authenticator::VerifyAuthentication(pipe.Client(), body.data(), 44, dataLength));
    EXPECT_EQ(0u, dataLength);

    int hmacCalls = 0;
    const TagFunction counting = [&](const uint8_t* m, size_t n, uint8_t* out) {
        ++hmacCalls;
        return PipeTag(pipe.Client())(m, n, out);
    };
    EXPECT_EQ(VerifyStatus::kOk, VerifyTaggedBody(body.data(), 44, pids.c_str(), counting));
    EXPECT_EQ(1, hmacCalls);
    EXPECT_EQ(VerifyStatus::kTooShort, VerifyTaggedBody(body.data() + 1, 43, pids.c_str(), counting));
    EXPECT_EQ(1, hmacCalls);

    testsupport::ScopedLogCapture log;
    EXPECT_FALSE(Authenticator::VerifyAuthentication(pipe.Client(), body.data() + 1, 43, dataLength));
    EXPECT_TRUE(log.Contains(L"Invalid length of data buffer to verify authentication"));
    EXPECT_FALSE(log.Contains(L"HMAC authentication failed"));
    EXPECT_FALSE(Authenticator::VerifyAuthentication(pipe.Client(), nullptr, 48, dataLength));
}

TEST(Handshake, ConstantTimeComparisonComparesEveryByte)
{
    uint8_t a[32] = {};
    uint8_t b[32] = {};
    EXPECT_TRUE(ConstantTimeEqual(a, b, 32));
    for (size_t i : {0u, 17u, 31u})
    {
        b[i] = 0x80;
        EXPECT_FALSE(ConstantTimeEqual(a, b, 32)) << i;
        b[i] = 0;
    }
}
