// Repeated failures on a clock of the test's own: when the summaries come,
// what ends a streak, and that every repeat is accounted for.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "logging/RepeatedFailures.h"
#include "support/LogCapture.h"

namespace {

constexpr wchar_t kLogModule[] = L"RepeatedFailuresTests";

struct Written
{
    size_t full = 0;
    std::vector<unsigned long> counts;  // of the summaries, in order
    size_t answered = 0;                // summaries that end a streak
};

Written Tally(const testsupport::ScopedLogCapture& log)
{
    Written written;
    const std::wregex summary(L".*\\]: Repeated (\\d+) more times in \\d+ s(.*)\n");
    for (const std::wstring& line : log.Lines())
    {
        std::wsmatch match;
        if (std::regex_match(line, match, summary))
        {
            written.counts.push_back(std::stoul(match[1].str()));
            written.answered += match[2].str() == L", then answered";
        }
        else
        {
            written.full += line.find(L"]: failed\n") != std::wstring::npos;
        }
    }
    return written;
}

}  // namespace

// A failure every tick for 2000 ticks, summaries from 10 ticks: the interval
// doubles up to 600 (summaries at 10, 30, 70, 150, 310, 630, 1230 and 1830),
// and the close writes the rest.
TEST(RepeatedFailures, SummariesComeAtDoublingIntervalsUpToTheLongestAndCountEveryRepeat)
{
    int64_t now = 0;
    testsupport::ScopedLogCapture log;
    {
        RepeatedFailures failures(10, [&now] { return now; });
        RepeatScope scope(failures);
        for (now = 0; now < 2000; ++now)
            VT_LOG_REPEAT(ERR) << "failed";
        failures.Flush();
    }
    const Written written = Tally(log);
    EXPECT_EQ(1u, written.full);
    ASSERT_EQ(9u, written.counts.size()) << log.Text();
    unsigned long repeats = 0;
    for (const unsigned long count : written.counts)
        repeats += count;
    EXPECT_EQ(1999u, repeats);
    EXPECT_EQ(1830u - 1230u, written.counts[7]);
}

// A success ends the streak only once it held as long as the streak's current
// interval: a failure sooner (a peer that flaps) is one more repeat; after
// the end, the next failure is written in full again.
TEST(RepeatedFailures, ASuccessEndsTheStreakOnlyOnceItHeld)
{
    int64_t now = 0;
    testsupport::ScopedLogCapture log;
    RepeatedFailures failures(10, [&now] { return now; });
    RepeatScope scope(failures);
    const auto fail = [] { VT_LOG_REPEAT(ERR) << "failed"; };
    fail();
    for (now = 5; now < 50; now += 5)
    {
        failures.Succeeded();
        fail();
    }
    failures.Succeeded();
    now = 60;  // held for the first interval, not for the streak's (40 by now)
    failures.Succeeded();
    EXPECT_EQ(1u, Tally(log).full) << log.Text();
    EXPECT_EQ(0u, Tally(log).answered) << log.Text();
    now = 90;
    failures.Succeeded();
    const Written ended = Tally(log);
    EXPECT_EQ(1u, ended.answered) << log.Text();
    unsigned long repeats = 0;
    for (const unsigned long count : ended.counts)
        repeats += count;
    EXPECT_EQ(9u, repeats);
    fail();
    EXPECT_EQ(2u, Tally(log).full) << log.Text();
}
