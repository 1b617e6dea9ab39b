// The authenticator on a real pipe whose client end is held by another
// process, so that the server and client identifiers differ; every expected
// tag is computed over the test's own HMAC (support/Sha256.h).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "IpcTestSupport.h"
#include "ipc/Authenticator.h"
#include "ipc/HandshakeFormat.h"
#include "support/Sha256.h"

using namespace ipc;
using namespace ipc::handshake;

namespace {

// The test holds the server end; the helper process opens the client end and
// keeps it until the server end closes.
class ForeignClientPipe : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::wstring name = L"\\\\.\\pipe\\vantu-handshake-" + std::to_wstring(GetCurrentProcessId());
        pipe.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr));
        ASSERT_TRUE(pipe.valid());
        ASSERT_TRUE(client.Launch(L"ipc_test_helper.exe", L"pipe " + name));
        ASSERT_TRUE(ConnectNamedPipe(pipe.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
        char text[32];
        std::snprintf(text, sizeof(text), "%08lX%08lX", GetCurrentProcessId(), client.Id());
        pids = text;
    }
    void TearDown() override
    {
        pipe.reset();
        EXPECT_EQ(0u, client.Wait(30000).value_or(99));
    }

    // The tag for this pipe's pid string, by the layout code (pinned by a
    // fixed vector in HandshakeFormatTests) over the test's own HMAC.
    std::vector<uint8_t> ExpectedTag(const std::vector<uint8_t>& message) const
    {
        uint8_t tag[32] = {};
        EXPECT_TRUE(ComputeTag(testsupport::HandshakeHmac, pids.c_str(), message.data(), message.size(), tag));
        return std::vector<uint8_t>(tag, tag + 32);
    }

    ScopedHandle pipe;
    ipctest::ChildProcess client;
    std::string pids;  // server (this process) first, then the client
};

}  // namespace

TEST_F(ForeignClientPipe, ProcessIdStringTagAndAuthenticatedBufferBindServerThenClient)
{
    ASSERT_NE(GetCurrentProcessId(), client.Id());
    const auto text = Authenticator::ProcessIdString(pipe.get());
    ASSERT_TRUE(text);
    EXPECT_EQ(pids, std::string(text.get()));

    const std::vector<uint8_t> message = {'a', 'n', 'y', ' ', 'm', 'e', 's', 's', 'a', 'g', 'e'};
    const auto tag = Authenticator::GenerateHmac(message.data(), static_cast<uint32_t>(message.size()), pipe.get());
    ASSERT_TRUE(tag);
    EXPECT_EQ(ExpectedTag(message), std::vector<uint8_t>(tag.get(), tag.get() + 32));

    EXPECT_FALSE(Authenticator::GenerateHmac(message.data(), 4, INVALID_HANDLE_VALUE));

    // The authenticated buffer: data, a fresh salt, and the tag over both and
    // the pid string.
    const uint8_t session[4] = {0x01, 0x00, 0x00, 0x00};
    uint32_t length = 0;
    const auto first = Authenticator::Authenticate(pipe.get(), session, length);
    ASSERT_TRUE(first);
    ASSERT_EQ(48u, length);
    const auto second = Authenticator::Authenticate(pipe.get(), session, length);
    ASSERT_TRUE(second);
    EXPECT_EQ(0, std::memcmp(session, first.get(), 4));
    EXPECT_NE(0, std::memcmp(first.get() + 4, second.get() + 4, 12)) << "salt must be fresh";
    std::vector<uint8_t> covered(first.get(), first.get() + 16);
    covered.insert(covered.end(), pids.begin(), pids.end());
    EXPECT_EQ(ExpectedTag(covered), std::vector<uint8_t>(first.get() + 16, first.get() + 48));

    uint32_t dataLength = 0;
    EXPECT_TRUE(Authenticator::VerifyAuthentication(pipe.get(), second.get(), 48, dataLength));
    EXPECT_EQ(4u, dataLength);

    std::vector<uint8_t> changed(first.get(), first.get() + 48);
    changed[20] ^= 0x20;
    EXPECT_FALSE(Authenticator::VerifyAuthentication(pipe.get(), changed.data(), 48, dataLength));
    EXPECT_FALSE(Authenticator::VerifyAuthentication(pipe.get(), first.get() + 5, 43, dataLength));
}
