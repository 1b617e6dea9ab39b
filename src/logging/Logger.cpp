#include "logging/Logger.h"

#include <chrono>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#endif

#include "logging/ProcessExit.h"

#if defined(_MSC_VER)
// The logger is constructed before, and so destroyed after, every other
// static object of the library: their destructors may log.
#pragma init_seg(lib)
#define VANTU_FIRST_STATIC
#else
#define VANTU_FIRST_STATIC __attribute__((init_priority(101)))
#endif

namespace {

void* g_startupModule = nullptr;

// A log statement evaluates its pieces after the logger ran, so callers can
// write `<< GetLastError()`: the logger's own work (start-up, clock, local
// time) must leave the thread's last error as it found it.
class LastErrorKeeper
{
public:
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;
#ifdef _WIN32
    LastErrorKeeper() : m_error(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(m_error); }

private:
    DWORD m_error;
#else
    // Elsewhere there is no per-thread last error to keep.
    LastErrorKeeper() = default;
    ~LastErrorKeeper() {}
#endif
};

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMillisecond = 10'000;

}  // namespace

LogStream::LogStream(std::shared_ptr<ILogSink> sink) : m_sink(std::move(sink)) {}

LogStream::LogStream(LogStream&& other) noexcept
    : std::wostringstream(std::move(other)),
      m_sink(std::move(other.m_sink))  // NOLINT(bugprone-use-after-move): the base's move leaves m_sink alone
{
}

LogStream::~LogStream()
{
    if (!m_sink)
        return;
    try
    {
        // One statement is one line whatever its pieces hold: the tag and
        // the location have no control characters, the pieces lose theirs
        // here.
        std::wstring line = EscapeControlCharacters(str());
        if (good())
            line += L'\n';
        m_sink->Write(line);
    }
    catch (...)  // NOLINT(bugprone-empty-catch): a statement never throws nor ends the host; its line is lost
    {
    }
}

int64_t CurrentUnixTicks()
{
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
    return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void WriteLinePrefix(std::wostream& out, int64_t ticks, const SourceLocation& location)
{
    const std::time_t seconds = static_cast<std::time_t>(ticks / kTicksPerSecond);
    const int milliseconds = static_cast<int>((ticks / kTicksPerMillisecond) % 1000);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    WriteLinePrefix(out, local, milliseconds, location);
}

LogStream& operator<<(LogStream&& stream, const SourceLocation& location)
{
    LastErrorKeeper keeper;
    if (stream.good())
        WriteLinePrefix(stream, CurrentUnixTicks(), location);
    return stream;
}

LogStream& operator<<(LogStream& stream, const char* text)
{
    if (stream.good() && text != nullptr)
    {
        for (; *text != '\0'; ++text)
            stream.put(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
    return stream;
}

LogStream& operator<<(LogStream& stream, const std::string& text)
{
    if (stream.good())
    {
        for (char c : text)
            stream.put(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return stream;
}

namespace {
// Not destroyed at process exit: a thread ended there may have been writing.
ExitSafe<Logger> g_logger VANTU_FIRST_STATIC;
}  // namespace

Logger& Logger::Instance()
{
    LastErrorKeeper keeper;
    Logger& instance = g_logger.Get();
    std::call_once(instance.m_startOnce, [&instance] { StartLogger(instance, g_startupModule); });
    return instance;
}

void Logger::SetStartupModule(void* module)
{
    g_startupModule = module;
}

LogStream Logger::Stream(LogSeverity severity) const
{
    LastErrorKeeper keeper;
    if (m_sink && m_level >= static_cast<uint32_t>(severity))
    {
        LogStream stream(m_sink);
        stream << L'[' << LogSeverityTag(severity) << L']';
        return stream;
    }
    LogStream disabled;
    disabled.setstate(std::ios_base::eofbit);
    return disabled;
}

void Logger::Configure(std::shared_ptr<ILogSink> sink, uint32_t level)
{
    m_sink = std::move(sink);
    m_level = level;
}
