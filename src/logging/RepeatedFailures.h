// A failure that repeats is written once, then summarised. A kind is one log
// statement (its module and line); its first line of a streak is written in
// full, its repeats are counted, and a summary line at the statement's place
// says how many there were, at intervals that double from the first one up
// to sixty of them (a minute up to an hour) while the streak lasts.
//
// A streak ends with the success that answers it, once that success held as
// long as the streak's current summary interval: a peer that answers and then
// fails again sooner (one that flaps) continues the streak. So whatever the
// pattern, a kind costs a few lines an hour.
//
// Statements take part through a scope on their thread, so that code shared
// by several connections (the authenticator, the frame scanner, the registry
// lookup) counts against the connection it runs for:
//   RepeatScope scope(m_connectFailures);
//   ...
//   VT_LOG_REPEAT(ERR) << "Failed to verify ...";   // anywhere below
// Without a scope the statement is written every time, like VT_LOG.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/Lock.h"
#include "logging/Logger.h"

class RepeatedFailures
{
public:
    using Clock = std::function<int64_t()>;  // 100-ns ticks
    static constexpr int64_t kTicksPerSecond = 10'000'000;
    static constexpr int64_t kFirstSummaryTicks = 60 * kTicksPerSecond;
    // The interval stops doubling at this multiple of the first one.
    static constexpr int64_t kLongestSummaryFactor = 60;

    explicit RepeatedFailures(int64_t firstSummaryTicks = kFirstSummaryTicks, Clock clock = CurrentUnixTicks);
    RepeatedFailures(const RepeatedFailures&) = delete;
    RepeatedFailures& operator=(const RepeatedFailures&) = delete;
    ~RepeatedFailures() = default;

    // Whether the statement at `location` is to be written in full (the first
    // of its streak). Otherwise it is counted, and a summary line is written
    // when one is due.
    bool Admit(LogSeverity severity, const SourceLocation& location) EXCLUDES(m_lock);
    // The success that answers these failures; ends the streaks it held for.
    void Succeeded() EXCLUDES(m_lock);
    // Writes the counts not written yet (the owner is going away).
    void Flush() EXCLUDES(m_lock);

private:
    struct Streak
    {
        SourceLocation location;
        LogSeverity severity;
        int64_t lastWritten;  // the first line or the last summary
        int64_t interval;
        uint64_t unwritten;
    };
    struct Line
    {
        SourceLocation location;
        LogSeverity severity;
        uint64_t count;
        int64_t ticks;
        const char* outcome;
    };
    // Ends the streaks that the pending success held for.
    void EndAnsweredLocked(int64_t now, std::vector<Line>& lines) REQUIRES(m_lock);
    static Line SummaryOf(const Streak& streak, int64_t now, const char* outcome);
    static void Write(const std::vector<Line>& lines);

    const int64_t m_firstInterval;
    const Clock m_clock;
    Groundwork::Mutex m_lock;
    std::vector<Streak> m_streaks GUARDED_BY(m_lock);
    static constexpr int64_t kNoSuccess = INT64_MIN;
    // When the success that may end the streaks came (kNoSuccess: none since
    // the last failure).
    int64_t m_successAt GUARDED_BY(m_lock) = kNoSuccess;
};

// Makes `failures` the current one of this thread while it lives.
class RepeatScope
{
public:
    explicit RepeatScope(RepeatedFailures& failures);
    ~RepeatScope();
    RepeatScope(const RepeatScope&) = delete;
    RepeatScope& operator=(const RepeatScope&) = delete;

private:
    RepeatedFailures* m_previous;
};

// Whether a statement is written in full: always without a scope, or when the
// statement's severity is not logged.
bool AdmitRepeated(LogSeverity severity, const SourceLocation& location);

// A log statement that the thread's current RepeatedFailures summarises.
#define VT_LOG_REPEAT(severity)                                                                              \
    if (!::AdmitRepeated(::LogSeverity::severity, ::SourceLocation{kLogModule, static_cast<uint32_t>(__LINE__)})) \
    {                                                                                                        \
    }                                                                                                        \
    else                                                                                                     \
        VT_LOG(severity)
