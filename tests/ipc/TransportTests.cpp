// The client transport against the reference services, run as a separate
// process, on real pipes.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "IpcTestSupport.h"
#include "TransportTestSupport.h"
#include "ipc/Authenticator.h"
#include "ipc/ClientPipeCommunications.h"
#include "ipc/CommMessage.h"
#include "ipc/HandshakeFormat.h"
#include "support/LogCapture.h"
#include "support/TestFiles.h"

using namespace ipctest;
using ipc::ClientPipeCommunications;

namespace {

constexpr DWORD kReadyMs = 20000;

class TransportTest : public ::testing::Test
{
protected:
    void SetUp() override { ClearPipeNames(); }
    void TearDown() override
    {
        services.Stop();
        ClearPipeNames();
    }

    std::wstring SettingsArgument()
    {
        const std::wstring path = settingsDir / L"settings.json";
        testsupport::WriteFileBytes(
            path, "{\"HowItWorksUrl\":\"https://example.test/how\",\"Empty\":\"\",\"Quote\":\"a\\\"b\"}");
        return L"--settings \"" + path + L"\"";
    }

    StatsSandbox stats;
    testsupport::TempDir settingsDir;
    ServicesProcess services;
};

ULONGLONG Elapsed(ULONGLONG start)
{
    return GetTickCount64() - start;
}

}  // namespace

TEST_F(TransportTest, RequestsAreAnsweredAndEventsReachTheService)
{
    const std::wstring events = settingsDir / L"events.jsonl";
    ASSERT_TRUE(services.Start(SettingsArgument() + L" --ui-session 7 --events \"" + events + L"\""));

    ClientPipeCommunications settings;
    ASSERT_TRUE(settings.Initialize(L"SettingManager"));
    ASSERT_TRUE(settings.WaitForReady(kReadyMs));
    EXPECT_EQ("{\"response\":[{\"name\":\"HowItWorksUrl\",\"value\":\"https://example.test/how\",\"type\":4}]}",
              Send(settings, GetSettingRequest("HowItWorksUrl"), L"GetSetting"));
    EXPECT_EQ("{\"response\":[{\"name\":\"Missing\"}]}", Send(settings, GetSettingRequest("Missing")));
    const std::string echo = EchoRequest(std::string(3000, 'x'));
    EXPECT_EQ(echo, Send(settings, echo));

    // A one-way event, with quotes, backslashes and non-ASCII text in its value.
    ClientPipeCommunications ui;
    ASSERT_TRUE(ui.Initialize(L"UIManager_7"));
    ASSERT_TRUE(ui.WaitForReady(kReadyMs));
    const std::string event =
        "{\"VERB\":\"TriggerHubEvent\",\"PAYLOAD\":{\"eventName\":\"EVENT_USER_VANTU_TOAST_RESULT\","
        "\"eventValue\":\"{\\\"Status\\\":\\\"Activated\\\",\\\"Argument\\\":\\\"a\\\\\\\\b \xC3\xA9\\\",\\\"ID\\\":7}\"}}";
    EXPECT_TRUE(ui.SendMessage(event.data(), static_cast<uint32_t>(event.size())));
    const std::string expectedLine =
        "{\"eventName\":\"EVENT_USER_VANTU_TOAST_RESULT\",\"eventValue\":\"{\\\"Status\\\":\\\"Activated\\\","
        "\\\"Argument\\\":\\\"a\\\\\\\\b \xC3\xA9\\\",\\\"ID\\\":7}\",\"service\":\"UIManager_7\"}\n";
    EXPECT_TRUE(WaitFor([&] { return testsupport::ReadFileBytes(events) == expectedLine; }))
        << testsupport::ReadFileBytes(events);
}

TEST_F(TransportTest, TwoConcurrentRequestsGetTheirOwnRepliesWhenAnsweredInReverse)
{
    ASSERT_TRUE(services.Start(SettingsArgument() + L" --reverse-pairs"));
    ClientPipeCommunications client;
    ASSERT_TRUE(client.Initialize(L"SettingManager"));
    ASSERT_TRUE(client.WaitForReady(kReadyMs));

    for (int round = 0; round < 3; ++round)
    {
        std::string replies[2];
        std::atomic<int> arrived{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i)
        {
            threads.emplace_back([&, i] {
                ++arrived;
                while (arrived.load() < 2)
                    std::this_thread::yield();
                replies[i] = Send(client, EchoRequest("caller-" + std::to_string(round) + "-" + std::to_string(i)));
            });
        }
        for (auto& t : threads)
            t.join();
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(EchoRequest("caller-" + std::to_string(round) + "-" + std::to_string(i)), replies[i]);
    }
}

TEST_F(TransportTest, ALateReplyIsDiscardedAndTheTimeoutCounted)
{
    SetStatsSwitch(1);
    testsupport::ScopedLogCapture log;
    ASSERT_TRUE(services.Start(SettingsArgument() + L" --delay-ms 1500"));
    {
        TestClient client;
        ASSERT_TRUE(client.Initialize(L"SettingManager"));
        ASSERT_TRUE(client.WaitForReady(kReadyMs));

        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ("<none>", Send(client, EchoRequest("late"), L"LateRequest"));
        const ULONGLONG waited = Elapsed(start);
        EXPECT_GE(waited, 900u);
        EXPECT_LT(waited, 1400u);
        EXPECT_EQ(1u, ReadStat(L"timeouts1000#LateRequest").value_or(0));
        EXPECT_TRUE(log.Contains(L"SettingManager: Wait for message with id=1 was not successful. Return 258, timeout 1000"))
            << log.Text();

        // The reply comes half a second later and reaches nobody.
        EXPECT_TRUE(WaitFor([&] { return log.Contains(L"SettingManager: Request with id=1 not found"); }));
        EXPECT_TRUE(client.PendingRequestIds().empty());
        EXPECT_EQ(ClientPipeCommunications::kReady, client.GetState());

        // An unnamed request is counted under the wait alone.
        EXPECT_EQ("<none>", Send(client, EchoRequest("late too"), L""));
        EXPECT_EQ(1u, ReadStat(L"timeouts1000").value_or(0));
    }
}

TEST_F(TransportTest, StrayRepliesGarbageAndOtherProtocolsAreSkipped)
{
    testsupport::ScopedLogCapture log;
    ASSERT_TRUE(services.Start(SettingsArgument() + L" --unknown-id --garbage 7 --send-unsupported --send-event"));
    {
        ClientPipeCommunications client;
        ASSERT_TRUE(client.Initialize(L"SettingManager"));
        ASSERT_TRUE(client.WaitForReady(kReadyMs));
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(EchoRequest("n" + std::to_string(i)), Send(client, EchoRequest("n" + std::to_string(i))));
        EXPECT_EQ(ClientPipeCommunications::kReady, client.GetState());
    }
    EXPECT_TRUE(log.Contains(L"Unsupported protocol 2"));
    // Event notifications go to the task runner; nobody subscribed to this one.
    EXPECT_TRUE(log.Contains(L"SettingManager: No handler for event SERVICE_EVENT"));
    EXPECT_FALSE(log.Contains(L"Malformed event notification"));
    EXPECT_TRUE(log.Contains(L"Request with id=" + std::to_wstring(1u ^ 0x40000000u) + L" not found"));
}

TEST_F(TransportTest, AMalformedReplyIsDroppedAloneAndTheOtherRequestsAreAnswered)
{
    testsupport::ScopedLogCapture log;
    // Each reply follows a 14-byte reply frame and one with identifier 0; the
    // service holds each first request until a second one is in flight.
    ASSERT_TRUE(services.Start(SettingsArgument() + L" --malformed-replies --reverse-pairs"));
    {
        TestClient client;
        ASSERT_TRUE(client.Initialize(L"SettingManager"));
        ASSERT_TRUE(client.WaitForReady(kReadyMs));
        for (int round = 0; round < 2; ++round)
        {
            const std::string first = EchoRequest("first-" + std::to_string(round));
            const std::string second = EchoRequest("second-" + std::to_string(round));
            std::string reply;
            std::thread other([&] { reply = Send(client, second); });
            EXPECT_EQ(first, Send(client, first));
            other.join();
            EXPECT_EQ(second, reply);
        }
        EXPECT_EQ(ClientPipeCommunications::kReady, client.GetState());
        // The trail of the last malformed reply stays for the statistics.
        EXPECT_EQ(0u, client.GetError().rfind(L"no_id#", 0)) << client.GetError();
        EXPECT_TRUE(log.Contains(L"Insufficient message size"));
        EXPECT_TRUE(log.Contains(L"Header does not have id"));
        EXPECT_FALSE(log.Contains(L":Connection failed in state")) << log.Text();
    }
}

struct DropCase
{
    const char* name;
    const wchar_t* arguments;
    const wchar_t* logged;
};
void PrintTo(const DropCase& c, std::ostream* os) { *os << c.name; }

class ConnectionDropTest : public TransportTest, public ::testing::WithParamInterface<DropCase>
{
};

TEST_P(ConnectionDropTest, AWaitingRequestReturnsAtOnceAndTheClientReconnects)
{
    testsupport::ScopedLogCapture log;
    ASSERT_TRUE(services.Start(SettingsArgument() + L" " + GetParam().arguments));
    {
        TestClient client;
        ASSERT_TRUE(client.Initialize(L"SettingManager"));
        ASSERT_TRUE(client.WaitForReady(kReadyMs));
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ("<none>", Send(client, EchoRequest("doomed")));
        EXPECT_LT(Elapsed(start), 800u);  // well inside the 1000 ms reply wait
        EXPECT_TRUE(client.PendingRequestIds().empty());
        // The connection starts over and becomes ready again.
        EXPECT_TRUE(client.WaitForReady(kReadyMs));
    }
    EXPECT_TRUE(log.Contains(GetParam().logged)) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ConnectionDropTest,
    ::testing::Values(DropCase{"BadVersion", L"--bad-header version", L"Unexpected message header version 2"},
                      DropCase{"SizeBelowHeader", L"--bad-header tiny", L"Message size is too small: 5"},
                      DropCase{"SizeAboveLimit", L"--bad-header oversize", L"Message size is too big: 10485761"},
                      DropCase{"PipeClosed", L"--close-after 1",
                               L"Connection dropped while waiting for message with id=1"}),
    [](const ::testing::TestParamInfo<DropCase>& info) { return std::string(info.param.name); });

TEST_F(TransportTest, TheServiceIsReachedAgainAfterItRestarts)
{
    ASSERT_TRUE(services.Start(SettingsArgument() + L" --delay-ms 600"));
    TestClient client;
    ASSERT_TRUE(client.Initialize(L"SettingManager"));
    ASSERT_TRUE(client.WaitForReady(kReadyMs));
    EXPECT_EQ(EchoRequest("before"), Send(client, EchoRequest("before")));

    // The service dies while a request waits for its reply.
    std::atomic<ULONGLONG> returnedAt{0};
    std::string reply;
    std::thread waiting([&] {
        reply = Send(client, EchoRequest("during"));
        returnedAt = GetTickCount64();
    });
    ASSERT_TRUE(WaitFor([&] { return !client.PendingRequestIds().empty(); }));
    const ULONGLONG killedAt = GetTickCount64();
    services.Kill();
    waiting.join();
    EXPECT_EQ("<none>", reply);
    EXPECT_LT(returnedAt.load() - killedAt, 400u);

    // While the service is gone, requests fail; once it is back the same
    // connection object reaches it.
    EXPECT_EQ("<none>", Send(client, EchoRequest("gone")));
    ASSERT_TRUE(services.Start(SettingsArgument()));
    ASSERT_TRUE(client.WaitForReady(kReadyMs));
    EXPECT_EQ(EchoRequest("after"), Send(client, EchoRequest("after")));
}

TEST_F(TransportTest, ARequestGivesUpAfterOneSpinWhileTheRegistryPipeIsMissing)
{
    SetStatsSwitch(1);
    ASSERT_TRUE(RegisterPipeName(L"SettingManager", L"\\\\.\\pipe\\Zelnor.Pathwarden.nobody-listens"));
    {
        ClientPipeCommunications client;
        ASSERT_TRUE(client.Initialize(L"SettingManager"));
        ASSERT_TRUE(WaitFor([&] { return client.GetSpinCount() == 1; }));

        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ("<none>", Send(client, EchoRequest("nobody")));
        const ULONGLONG waited = Elapsed(start);
        EXPECT_GE(waited, 250u);
        EXPECT_LT(waited, 1000u);

        // The failure is counted under the connection's error trail.
        bool counted = false;
        for (const std::wstring& name : StatNames())
            counted |= name.rfind(L"CL#wait_pipe#", 0) == 0 && name.size() > 2 &&
                       name.compare(name.size() - 2, 2, L"#2") == 0;
        EXPECT_TRUE(counted);

        // The service starts and registers itself; the client finds it.
        ASSERT_TRUE(services.Start(SettingsArgument()));
        ASSERT_TRUE(client.WaitForReady(kReadyMs));
        EXPECT_EQ(ClientPipeCommunications::kDefaultSpinCount, client.GetSpinCount());
        EXPECT_EQ(EchoRequest("found"), Send(client, EchoRequest("found")));
    }
    // Every send was counted.
    EXPECT_EQ(2u, ReadStat(L"totals").value_or(0));
}

struct HandshakeCase
{
    const char* name;
    const wchar_t* arguments;
    const wchar_t* logged;
};
void PrintTo(const HandshakeCase& c, std::ostream* os) { *os << c.name; }

class HandshakeFailureTest : public TransportTest, public ::testing::WithParamInterface<HandshakeCase>
{
};

TEST_P(HandshakeFailureTest, TheClientRefusesTheServiceAndKeepsTrying)
{
    testsupport::ScopedLogCapture log;
    ASSERT_TRUE(services.Start(SettingsArgument() + L" " + GetParam().arguments));
    auto attempts = [&] {
        const std::wstring text = log.Text();
        size_t count = 0;
        for (size_t at = text.find(GetParam().logged); at != std::wstring::npos;
             at = text.find(GetParam().logged, at + 1))
            ++count;
        return count;
    };
    {
        ClientPipeCommunications client;
        client.Initialize(L"SettingManager");
        // Several attempts, each refused.
        EXPECT_TRUE(WaitFor([&] { return attempts() >= 2; })) << log.Text();
        EXPECT_FALSE(client.WaitForReady(0));
        EXPECT_EQ("<none>", Send(client, EchoRequest("refused")));
        // While nobody waits, reconnection backs off to a second between
        // attempts: a refusing service is not hammered.
        const size_t before = attempts();
        const ULONGLONG start = GetTickCount64();
        EXPECT_TRUE(WaitFor([&] { return attempts() >= before + 2; }, 10000));
        EXPECT_GE(Elapsed(start), 900u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HandshakeFailureTest,
    ::testing::Values(
        HandshakeCase{"TamperedSalt", L"--handshake corrupt", L"Failed to verify received handshake response from server"},
        HandshakeCase{"OtherProcessPair", L"--handshake wrong-pids", L"HMAC authentication failed"},
        HandshakeCase{"Body43Bytes", L"--handshake short", L"Invalid length of data buffer to verify authentication"},
        HandshakeCase{"Refused", L"--handshake refuse", L"###:SettingManager:Connection failed in state 2"},
        HandshakeCase{"MissingTransportPipe", L"--missing-transport", L"Missing transport pipe case"}),
    [](const ::testing::TestParamInfo<HandshakeCase>& info) { return std::string(info.param.name); });

TEST_F(TransportTest, AConnectionStuckInTheHandshakeIsDroppedAsStale)
{
    testsupport::ScopedLogCapture log;
    ASSERT_TRUE(services.Start(SettingsArgument() + L" --handshake silent"));
    {
        TestClient client;
        client.Initialize(L"SettingManager");
        ASSERT_TRUE(WaitFor([&] { return client.GetState() == ClientPipeCommunications::kHandshakeSent; }));
        // 31 s pass for the client; the next idle notification (5 s) notices.
        client.clockOffset = 310'000'000;
        EXPECT_TRUE(WaitFor([&] { return log.Contains(L"SettingManager:Connection is stale in state 2"); }, 30000))
            << log.Text();
    }
}

TEST_F(TransportTest, RequestIdentifiersWrapAroundAndSkipThoseStillWaiting)
{
    ASSERT_TRUE(services.Start(SettingsArgument() + L" --delay-ms 500"));
    TestClient client;
    ASSERT_TRUE(client.Initialize(L"SettingManager"));
    ASSERT_TRUE(client.WaitForReady(kReadyMs));

    auto contains = [&](uint32_t id) {
        for (uint32_t pending : client.PendingRequestIds())
            if (pending == id)
                return true;
        return false;
    };
    std::string replies[3];
    client.SetLastRequestId(0xFFFFFFFE);
    std::thread a([&] { replies[0] = Send(client, EchoRequest("A")); });
    ASSERT_TRUE(WaitFor([&] { return contains(0xFFFFFFFF); }));
    std::thread b([&] { replies[1] = Send(client, EchoRequest("B")); });
    ASSERT_TRUE(WaitFor([&] { return contains(1); }));  // 0 is never used
    // The counter comes round to 1 while the request with that identifier waits.
    client.SetLastRequestId(0);
    std::thread c([&] { replies[2] = Send(client, EchoRequest("C")); });
    ASSERT_TRUE(WaitFor([&] { return contains(2); }));
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(EchoRequest("A"), replies[0]);
    EXPECT_EQ(EchoRequest("B"), replies[1]);
    EXPECT_EQ(EchoRequest("C"), replies[2]);
}

namespace {

// A raw client of a service's first pipe: sends one frame, returns what
// comes back (empty when the service closed the pipe instead).
std::vector<uint8_t> RawHandshake(const std::wstring& pipePath,
                                  const std::function<std::vector<uint8_t>(HANDLE)>& makeFrame, bool& closed)
{
    closed = false;
    std::vector<uint8_t> answer;
    if (!WaitNamedPipeW(pipePath.c_str(), 10000))
        return answer;
    ipc::ScopedHandle pipe(CreateFileW(pipePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr));
    if (!pipe.Valid())
        return answer;
    const std::vector<uint8_t> frame = makeFrame(pipe.Get());
    ipc::ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED io{};
    io.hEvent = event.Get();
    DWORD n = 0;
    if (!WriteFile(pipe.Get(), frame.data(), static_cast<DWORD>(frame.size()), nullptr, &io) &&
        GetLastError() != ERROR_IO_PENDING)
        return answer;
    GetOverlappedResult(pipe.Get(), &io, &n, TRUE);
    std::vector<uint8_t> chunk(4096);
    for (;;)
    {
        ResetEvent(event.Get());
        if (!ReadFile(pipe.Get(), chunk.data(), 4096, nullptr, &io) && GetLastError() != ERROR_IO_PENDING)
        {
            closed = GetLastError() == ERROR_BROKEN_PIPE;
            return answer;
        }
        if (WaitForSingleObject(event.Get(), 10000) != WAIT_OBJECT_0)
        {
            CancelIoEx(pipe.Get(), &io);
            GetOverlappedResult(pipe.Get(), &io, &n, TRUE);
            return answer;
        }
        if (!GetOverlappedResult(pipe.Get(), &io, &n, FALSE))
        {
            closed = GetLastError() == ERROR_BROKEN_PIPE;
            return answer;
        }
        answer.insert(answer.end(), chunk.begin(), chunk.begin() + n);
        const uint8_t* found = nullptr;
        uint32_t size = 0;
        size_t consumed = 0;
        if (ipc::FindFrame(answer.data(), answer.size(), &found, &size, &consumed) && found != nullptr)
        {
            // The service keeps the first pipe until the client closes it.
            uint32_t dataLength = 0;
            if (!ipc::Authenticator::VerifyAuthentication(pipe.Get(), found + 11, size - 11, dataLength))
                answer.clear();
            return answer;
        }
    }
}

std::vector<uint8_t> FrameOf(const std::vector<uint8_t>& body)
{
    ipc::CommMessage frame;
    frame.Create(static_cast<uint32_t>(11 + body.size()));
    frame.Append(body.data(), static_cast<uint32_t>(body.size()));
    return std::vector<uint8_t>(frame.Buffer(), frame.Buffer() + frame.MessageSize());
}

}  // namespace

TEST_F(TransportTest, TheServiceClosesOnlyClientsWhoseHandshakeIsWrong)
{
    ASSERT_TRUE(services.Start(SettingsArgument()));
    const std::wstring first = services.FirstPipe("SettingManager");
    ASSERT_FALSE(first.empty());
    ClientPipeCommunications good;
    ASSERT_TRUE(good.Initialize(L"SettingManager"));
    ASSERT_TRUE(good.WaitForReady(kReadyMs));

    // A proper authenticated buffer: the answer verifies and names a pipe
    // that is there.
    bool closed = false;
    const std::vector<uint8_t> answer = RawHandshake(
        first,
        [](HANDLE pipe) {
            const uint8_t session[4] = {1, 0, 0, 0};
            uint32_t length = 0;
            const auto body = ipc::Authenticator::Authenticate(pipe, session, length);
            return FrameOf(std::vector<uint8_t>(body.get(), body.get() + length));
        },
        closed);
    ASSERT_GT(answer.size(), 11u + 44u);
    std::wstring transport;
    for (size_t i = 11; i + 1 < answer.size() - 44; i += 2)
        transport.push_back(static_cast<wchar_t>(answer[i] | (answer[i + 1] << 8)));
    EXPECT_EQ(0u, transport.find(first + L"."));
    EXPECT_TRUE(WaitNamedPipeW(transport.c_str(), 5000));

    // Tagged for another process pair, too short, or not a frame at all.
    const std::vector<std::function<std::vector<uint8_t>(HANDLE)>> bad = {
        [](HANDLE) {
            char other[17] = {};
            ipc::handshake::FormatProcessIdString(1234, GetCurrentProcessId(), other);
            const uint8_t data[4] = {1, 0, 0, 0};
            const uint8_t salt[12] = {};
            std::vector<uint8_t> body;
            ipc::handshake::BuildTaggedBody(data, 4, salt, other,
                                            [&](const uint8_t* m, size_t n, uint8_t* out) {
                                                return ipc::handshake::ComputeTag(ipc::HmacSha256, other, m, n, out);
                                            },
                                            body);
            return FrameOf(body);
        },
        [](HANDLE pipe) {
            const uint8_t session[4] = {1, 0, 0, 0};
            uint32_t length = 0;
            const auto body = ipc::Authenticator::Authenticate(pipe, session, length);
            return FrameOf(std::vector<uint8_t>(body.get(), body.get() + length - 1));
        },
        [](HANDLE) {
            std::vector<uint8_t> frame = FrameOf(std::vector<uint8_t>(48, 0));
            frame[4] = 2;
            return frame;
        },
    };
    for (size_t i = 0; i < bad.size(); ++i)
    {
        const std::vector<uint8_t> refused = RawHandshake(first, bad[i], closed);
        EXPECT_TRUE(refused.empty()) << i;
        EXPECT_TRUE(closed) << i;
    }

    // The client that was already served never noticed.
    EXPECT_EQ(EchoRequest("still here"), Send(good, EchoRequest("still here")));
}
