// IPC statistics on the real registry, with a second process writing at the
// same time.
#include <gtest/gtest.h>

#include <windows.h>

#include <mutex>
#include <string>

#include "IpcTestSupport.h"
#include "ipc/ipc_stats_collector.h"
#include "support/LogCapture.h"

using ipc::ipc_stats_collector;
using namespace ipctest;

TEST(IpcStats, NothingIsWrittenOrLoggedWithoutTheSwitchAndSwitchingOnStartsAfresh)
{
    StatsSandbox sandbox;
    SetStatsSwitch(std::nullopt);
    testsupport::ScopedLogCapture log;
    {
        ipc_stats_collector stats;
        std::lock_guard<std::mutex> lock(stats.Lock());
        stats.Increment(ipc_stats_collector::kTotalsKey);
        stats.RefreshConfig();
        EXPECT_FALSE(stats.IsEnabled());
        EXPECT_EQ(1u, stats.PendingCount(ipc_stats_collector::kTotalsKey));
    }
    EXPECT_FALSE(StatsKeyExists());
    EXPECT_TRUE(log.Lines().empty()) << log.Text();

    // A switch of 0 is off as well.
    SetStatsSwitch(0);
    {
        ipc_stats_collector stats;
        stats.RecordTimeout(1000, L"GetSetting");
        EXPECT_EQ(0u, stats.PendingCount(ipc_stats_collector::TimeoutKey(1000, L"GetSetting")));
    }
    EXPECT_FALSE(StatsKeyExists());

    // Switching on discards the counts gathered while off.
    ipc_stats_collector stats;
    std::lock_guard<std::mutex> lock(stats.Lock());
    for (int i = 0; i < 5; ++i)
        stats.Increment(ipc_stats_collector::kTotalsKey);
    stats.Increment(L"CL#pipe_is_not_ready");

    SetStatsSwitch(1);
    stats.RefreshConfig();
    EXPECT_TRUE(stats.IsEnabled());
    EXPECT_EQ(0u, stats.PendingCount(ipc_stats_collector::kTotalsKey));
    for (int i = 0; i < 2; ++i)
        stats.Increment(ipc_stats_collector::kTotalsKey);
    stats.Flush(0);
    EXPECT_EQ(2u, ReadStat(L"totals").value_or(0));
    EXPECT_FALSE(ReadStat(L"CL#pipe_is_not_ready").has_value());
    EXPECT_EQ(0u, stats.PendingCount(ipc_stats_collector::kTotalsKey));

    // Further flushes add to what is stored; staying on keeps the counts.
    stats.Increment(ipc_stats_collector::kTotalsKey);
    stats.RefreshConfig();
    stats.Flush(0);
    EXPECT_EQ(3u, ReadStat(L"totals").value_or(0));

    // The product key deleted and made again: the switch is read from the new one.
    Groundwork::CRegKey company;
    ASSERT_EQ(ERROR_SUCCESS, company.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zelnor", kWrite));
    ASSERT_EQ(ERROR_SUCCESS, company.RecurseDeleteKey(L"Pathwarden"));
    stats.RefreshConfig();
    EXPECT_FALSE(stats.IsEnabled());
    SetStatsSwitch(1);
    stats.RefreshConfig();
    EXPECT_TRUE(stats.IsEnabled());
}

TEST(IpcStats, AValueOfAnotherTypeIsLeftAloneAndItsCountKept)
{
    StatsSandbox sandbox;
    SetStatsSwitch(1);
    Groundwork::CRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, ipc_stats_collector::StatsKeyPath().c_str(), nullptr,
                                        REG_OPTION_NON_VOLATILE, kWrite));
    ASSERT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"totals", 7));
    testsupport::ScopedLogCapture log;
    ipc_stats_collector stats;
    std::lock_guard<std::mutex> lock(stats.Lock());
    stats.Increment(ipc_stats_collector::kTotalsKey);
    stats.Increment(L"CL#write_error");
    stats.Flush(0);
    EXPECT_TRUE(log.Contains(L"Failed to query value \"totals\"")) << log.Text();
    EXPECT_EQ(1u, stats.PendingCount(ipc_stats_collector::kTotalsKey));
    EXPECT_EQ(1u, ReadStat(L"CL#write_error").value_or(0));

    DWORD stored = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryDWORDValue(L"totals", stored));
    EXPECT_EQ(7u, stored);
    key.DeleteValue(L"totals");
    stats.Increment(ipc_stats_collector::kTotalsKey);
    stats.Flush(0);
    EXPECT_EQ(2u, ReadStat(L"totals").value_or(0));
}

TEST(IpcStats, ConcurrentFlushesOfTwoProcessesAddUp)
{
    StatsSandbox sandbox;
    SetStatsSwitch(1);
    const std::string eventName = "vantu-stats-start-" + std::to_string(GetCurrentProcessId());
    ipc::ScopedHandle start(CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
    ipc::ScopedHandle ready(CreateEventA(nullptr, TRUE, FALSE, (eventName + "-ready").c_str()));
    ASSERT_TRUE(start.Valid() && ready.Valid());

    constexpr int kHelperCount = 400;
    constexpr int kOwnCount = 400;
    ChildProcess helper;
    ASSERT_TRUE(helper.Launch(L"ipc_test_helper.exe", L"stats " +
                              std::to_wstring(kHelperCount) + L" " + std::wstring(eventName.begin(), eventName.end())));

    // Both writers start together, each with its collector (and mutex
    // handle) ready.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready.Get(), 60000));
    {
        ipc_stats_collector stats;
        SetEvent(start.Get());
        for (int i = 0; i < kOwnCount; ++i)
        {
            std::lock_guard<std::mutex> lock(stats.Lock());
            stats.Increment(ipc_stats_collector::kTotalsKey);
            stats.Flush(INFINITE);
        }
    }
    ASSERT_EQ(0u, helper.Wait(120000).value_or(99));
    EXPECT_EQ(static_cast<ULONGLONG>(kHelperCount + kOwnCount), ReadStat(L"totals").value_or(0));
}
