// The client transport against the reference services, run as a separate
// process, on real pipes.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "IpcTestSupport.h"
#include "TransportTestSupport.h"
#include "ipc/ClientPipeCommunications.h"
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

// A service that answers with a broken frame or closes the pipe: the waiting
// request returns at once and the client connects again.
TEST_F(TransportTest, AWaitingRequestReturnsAtOnceWhenTheConnectionDropsAndTheClientReconnects)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"--bad-header version", L"Unexpected message header version 2"},
        {L"--bad-header tiny", L"Message size is too small: 5"},
        {L"--bad-header oversize", L"Message size is too big: 10485761"},
        {L"--close-after 1", L"Connection dropped while waiting for message with id=1"},
    };
    for (const auto& [arguments, logged] : cases)
    {
        SCOPED_TRACE(testing::Message() << arguments);
        testsupport::ScopedLogCapture log;
        ASSERT_TRUE(services.Start(SettingsArgument() + L" " + arguments));
        TestClient client;
        ASSERT_TRUE(client.Initialize(L"SettingManager"));
        ASSERT_TRUE(client.WaitForReady(kReadyMs));
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ("<none>", Send(client, EchoRequest("doomed")));
        EXPECT_LT(Elapsed(start), 800u);  // well inside the 1000 ms reply wait
        EXPECT_TRUE(client.PendingRequestIds().empty());
        // The connection starts over and becomes ready again.
        EXPECT_TRUE(client.WaitForReady(kReadyMs));
        EXPECT_TRUE(log.Contains(logged)) << log.Text();
    }
}

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

// An answer that does not verify, a refusal or a missing transport pipe: the
// client never becomes ready (a request fails) and keeps trying, backing off to a second
// between attempts while nobody waits (checked once: what follows a refused
// attempt is the same whatever the failure).
TEST_F(TransportTest, TheClientRefusesAFailedHandshakeAndKeepsTrying)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"--handshake corrupt", L"Failed to verify received handshake response from server"},
        {L"--handshake wrong-pids", L"HMAC authentication failed"},
        {L"--handshake short", L"Invalid length of data buffer to verify authentication"},
        {L"--handshake refuse", L"###:SettingManager:Connection failed in state 2"},
        {L"--missing-transport", L"Missing transport pipe case"},
    };
    bool backOffChecked = false;
    for (const auto& [arguments, logged] : cases)
    {
        SCOPED_TRACE(testing::Message() << arguments);
        testsupport::ScopedLogCapture log;
        ASSERT_TRUE(services.Start(SettingsArgument() + L" " + arguments));
        const auto attempts = [&, logged = std::wstring(logged)] {
            const std::wstring text = log.Text();
            size_t count = 0;
            for (size_t at = text.find(logged); at != std::wstring::npos; at = text.find(logged, at + 1))
                ++count;
            return count;
        };
        ClientPipeCommunications client;
        client.Initialize(L"SettingManager");
        EXPECT_TRUE(WaitFor([&] { return attempts() >= 1; })) << log.Text();
        EXPECT_FALSE(client.WaitForReady(0));
        if (backOffChecked)
            continue;
        EXPECT_EQ("<none>", Send(client, EchoRequest("refused")));
        EXPECT_TRUE(WaitFor([&] { return attempts() >= 2; })) << "tried again";
        backOffChecked = true;
        const size_t before = attempts();
        const ULONGLONG start = GetTickCount64();
        EXPECT_TRUE(WaitFor([&] { return attempts() >= before + 2; }, 10000));
        EXPECT_GE(Elapsed(start), 900u) << "a refusing service is not hammered";
    }
}

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
