#include "logging/RepeatedFailures.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <utility>

namespace {

#ifdef _WIN32
// The calling thread's scope, in a TLS slot of the system's: with CodeView
// debug information, clang's emulated thread_local refers to a symbol that
// lld cannot resolve. The slot is never freed (the library stays loaded). A
// statement reads the error code after this runs, so the code is kept.
DWORD ScopeSlot()
{
    static const DWORD slot = TlsAlloc();
    return slot;
}

RepeatedFailures* CurrentScope()
{
    const DWORD error = GetLastError();
    auto* const failures = static_cast<RepeatedFailures*>(TlsGetValue(ScopeSlot()));
    SetLastError(error);
    return failures;
}

void SetCurrentScope(RepeatedFailures* failures)
{
    const DWORD error = GetLastError();
    TlsSetValue(ScopeSlot(), failures);
    SetLastError(error);
}
#else
thread_local RepeatedFailures* t_current = nullptr;

RepeatedFailures* CurrentScope()
{
    return t_current;
}

void SetCurrentScope(RepeatedFailures* failures)
{
    t_current = failures;
}
#endif

}  // namespace

RepeatedFailures::RepeatedFailures(int64_t firstSummaryTicks, Clock clock)
    : m_firstInterval(firstSummaryTicks > 0 ? firstSummaryTicks : 1), m_clock(std::move(clock))
{
}

bool RepeatedFailures::Admit(LogSeverity severity, const SourceLocation& location)
{
    const int64_t now = m_clock();
    std::vector<Line> lines;
    bool first = false;
    {
        Groundwork::MutexLock lock(m_lock);
        EndAnsweredLocked(now, lines);
        // A failure before the success held: the peer flaps, the streaks go on.
        m_successAt = kNoSuccess;
        const auto it = std::find_if(m_streaks.begin(), m_streaks.end(), [&](const Streak& streak) {
            return streak.location.file == location.file && streak.location.line == location.line;
        });
        if (it == m_streaks.end())
        {
            m_streaks.push_back(Streak{location, severity, now, m_firstInterval, 0});
            first = true;
        }
        else
        {
            ++it->unwritten;
            if (now - it->lastWritten >= it->interval)
            {
                lines.push_back(SummaryOf(*it, now, ""));
                it->lastWritten = now;
                it->unwritten = 0;
                it->interval = std::min(it->interval * 2, m_firstInterval * kLongestSummaryFactor);
            }
        }
    }
    Write(lines);
    return first;
}

void RepeatedFailures::Succeeded()
{
    std::vector<Line> lines;
    {
        // Every matched reply and queued write comes here: without a streak
        // it costs the lock alone, not a clock reading.
        Groundwork::MutexLock lock(m_lock);
        if (m_streaks.empty())
            return;
        const int64_t now = m_clock();
        if (m_successAt == kNoSuccess)
            m_successAt = now;
        EndAnsweredLocked(now, lines);
    }
    Write(lines);
}

void RepeatedFailures::Flush()
{
    const int64_t now = m_clock();
    std::vector<Line> lines;
    {
        Groundwork::MutexLock lock(m_lock);
        for (Streak& streak : m_streaks)
        {
            if (streak.unwritten != 0)
                lines.push_back(SummaryOf(streak, now, ", not answered at close"));
            streak.unwritten = 0;
            streak.lastWritten = now;
        }
    }
    Write(lines);
}

void RepeatedFailures::EndAnsweredLocked(int64_t now, std::vector<Line>& lines)
{
    if (m_successAt == kNoSuccess)
        return;
    // A streak that has lasted long needs a success that lasts as long.
    const int64_t successAt = m_successAt;
    const auto answered = [now, successAt](const Streak& streak) { return now - successAt >= streak.interval; };
    for (const Streak& streak : m_streaks)
    {
        if (answered(streak) && streak.unwritten != 0)
            lines.push_back(SummaryOf(streak, successAt, ", then answered"));
    }
    m_streaks.erase(std::remove_if(m_streaks.begin(), m_streaks.end(), answered), m_streaks.end());
    if (m_streaks.empty())
        m_successAt = kNoSuccess;
}

RepeatedFailures::Line RepeatedFailures::SummaryOf(const Streak& streak, int64_t now, const char* outcome)
{
    return Line{streak.location, streak.severity, streak.unwritten, now - streak.lastWritten, outcome};
}

void RepeatedFailures::Write(const std::vector<Line>& lines)
{
    for (const Line& line : lines)
    {
        Logger::Instance().Stream(line.severity)
            << line.location << "Repeated " << line.count << (line.count == 1 ? " more time in " : " more times in ")
            << line.ticks / kTicksPerSecond << " s" << line.outcome;
    }
}

RepeatScope::RepeatScope(RepeatedFailures& failures) : m_previous(CurrentScope())
{
    SetCurrentScope(&failures);
}

RepeatScope::~RepeatScope()
{
    SetCurrentScope(m_previous);
}

bool AdmitRepeated(LogSeverity severity, const SourceLocation& location)
{
    RepeatedFailures* const failures = CurrentScope();
    const Logger& logger = Logger::Instance();
    if (failures == nullptr || !logger.HasSink() || logger.Level() < static_cast<uint32_t>(severity))
        return true;
    return failures->Admit(severity, location);
}
