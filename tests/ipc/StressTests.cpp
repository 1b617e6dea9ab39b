// Many callers on one connection, with and without the service dying in the
// middle: every caller gets its own reply, nothing is lost or leaked.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "IpcTestSupport.h"
#include "TransportTestSupport.h"
#include "ipc/CommMessage.h"
#include "support/TestFiles.h"

using namespace ipctest;

namespace {

constexpr int kThreads = 8;
constexpr int kRequestsPerThread = 500;

struct Outcome
{
    std::atomic<int> answered{0};
    std::atomic<int> failed{0};
    std::atomic<int> wrong{0};
};

void RunCallers(TestClient& client, Outcome& outcome)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([&client, &outcome, t] {
            for (int i = 0; i < kRequestsPerThread; ++i)
            {
                const std::string request = EchoRequest("caller " + std::to_string(t) + " request " +
                                                        std::to_string(i) + std::string(static_cast<size_t>(i % 50), '.'));
                const std::string reply = Send(client, request);
                if (reply == "<none>")
                    ++outcome.failed;
                else if (reply == request)
                    ++outcome.answered;
                else
                    ++outcome.wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
}

class StressTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ClearPipeNames();
        settingsFile = dir / L"settings.json";
        testsupport::WriteFileBytes(settingsFile, "{}");
    }
    void TearDown() override
    {
        services.Stop();
        ClearPipeNames();
    }
    std::wstring Arguments() const { return L"--settings \"" + settingsFile + L"\""; }

    StatsSandbox stats;
    testsupport::TempDir dir;
    std::wstring settingsFile;
    ServicesProcess services;
};

}  // namespace

TEST_F(StressTest, EightCallersShareOneConnectionAcrossAServiceRestart)
{
    ASSERT_TRUE(services.Start(Arguments()));
    TestClient client;
    ASSERT_TRUE(client.Initialize(L"SettingManager"));
    ASSERT_TRUE(client.WaitForReady(20000));
    ASSERT_EQ(EchoRequest("warm"), Send(client, EchoRequest("warm")));
    DWORD handlesBefore = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
    DWORD handlesAfter = 0;

    Outcome steady;
    RunCallers(client, steady);
    EXPECT_EQ(kThreads * kRequestsPerThread, steady.answered.load());
    EXPECT_EQ(0, steady.failed.load());
    EXPECT_EQ(0, steady.wrong.load());
    EXPECT_TRUE(client.PendingRequestIds().empty());
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_LE(handlesAfter, handlesBefore + 4);  // one completion event per request would be thousands

    // A third of the way through a second round, the service dies and comes back.
    Outcome outcome;
    std::atomic<int> answeredAtRestart{-1};
    std::atomic<bool> restarted{false};
    std::thread killer([&] {
        const int third = kThreads * kRequestsPerThread / 3;
        WaitFor([&] { return outcome.answered.load() + outcome.failed.load() >= third; }, 120000);
        services.Kill();
        restarted = services.Start(Arguments());
        answeredAtRestart = outcome.answered.load();
    });
    RunCallers(client, outcome);
    killer.join();
    ASSERT_TRUE(restarted.load());
    EXPECT_EQ(kThreads * kRequestsPerThread, outcome.answered.load() + outcome.failed.load());
    EXPECT_EQ(0, outcome.wrong.load());
    EXPECT_GT(outcome.failed.load(), 0);  // the outage was seen
    EXPECT_GT(outcome.answered.load(), answeredAtRestart.load());  // and the new service answered
    EXPECT_TRUE(client.PendingRequestIds().empty());
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_LE(handlesAfter, handlesBefore + 8);
}

TEST_F(StressTest, AFrameTooLargeIsCountedUnderItsLowerCaseKey)
{
    SetStatsSwitch(1);
    ASSERT_TRUE(services.Start(Arguments()));
    TestClient client;
    ASSERT_TRUE(client.Initialize(L"SettingManager"));
    ASSERT_TRUE(client.WaitForReady(20000));
    const std::vector<uint8_t> huge(ipc::kMaxMessageSize - ipc::kHeaderSize + 1);
    EXPECT_FALSE(client.SendMessage(huge.data(), static_cast<uint32_t>(huge.size())));
    const std::vector<std::wstring> names = StatNames();
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), L"cl#proto_set"));
    EXPECT_EQ(1u, ReadStat(L"cl#proto_set").value_or(0));
}
