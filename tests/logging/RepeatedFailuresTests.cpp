// Repeated failures on a clock of the test's own.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "logging/RepeatedFailures.h"
#include "support/LogCapture.h"

namespace {
constexpr wchar_t kLogModule[] = L"RepeatedFailuresTests";
}  // namespace

// Summaries from 10 ticks come at doubling intervals up to 600; a success
// ends the streak only once it held as long as the streak's interval, so a
// failure sooner (a peer that flaps) is one more repeat.
TEST(RepeatedFailures, SummariesDoubleUpToTheLongestAndASuccessEndsAStreakOnlyOnceItHeld)
{
    int64_t now = 0;
    testsupport::ScopedLogCapture log;
    RepeatedFailures failures(10, [&now] { return now; });
    RepeatScope scope(failures);
    const auto fail = [] { VT_LOG_REPEAT(ERR) << "failed"; };
    const auto written = [&log] {
        std::vector<std::wstring> counts;  // "full", or a summary's count and outcome
        const std::wregex summary(L".*\\]: Repeated (\\d+) more times? in \\d+ s(.*)\n");
        for (const std::wstring& line : log.Lines())
        {
            std::wsmatch match;
            counts.push_back(std::regex_match(line, match, summary) ? match[1].str() + match[2].str() : L"full");
        }
        return counts;
    };
    for (now = 0; now <= 1830; ++now)
        fail();
    failures.Succeeded();
    now = 1900;
    fail();
    failures.Succeeded();
    now = 2000;  // held for the first interval, not yet for the streak's
    failures.Succeeded();
    EXPECT_EQ(9u, written().size());
    now = 2500;
    failures.Succeeded();
    fail();
    const std::vector<std::wstring> expected = {L"full", L"10", L"20", L"40", L"80", L"160", L"320", L"600", L"600",
                                                L"1, then answered", L"full"};
    EXPECT_EQ(expected, written()) << log.Text();
}
