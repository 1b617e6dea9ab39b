#include "logging/Logger.h"

#include <ctime>

#include "logging/LoggerStartup.h"

namespace {

HMODULE g_startupModule = nullptr;

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMillisecond = 10'000;
// 100-ns intervals between 1601-01-01 (FILETIME) and 1970-01-01.
constexpr int64_t kEpochDifferenceTicks = 116'444'736'000'000'000;

}  // namespace

LogStream::LogStream(std::shared_ptr<ILogSink> sink) : m_sink(std::move(sink)) {}

LogStream::LogStream(LogStream&& other) noexcept
    : std::wostringstream(std::move(other)), m_sink(std::move(other.m_sink))
{
}

LogStream::~LogStream()
{
    if (!m_sink)
        return;
    *this << L'\n';
    m_sink->Write(str());
}

int64_t CurrentUnixTicks()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const int64_t fileTimeTicks =
        (static_cast<int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return fileTimeTicks - kEpochDifferenceTicks;
}

void WriteLinePrefix(std::wostream& out, int64_t ticks, const SourceLocation& location)
{
    const __time64_t seconds = ticks / kTicksPerSecond;
    const int milliseconds = static_cast<int>((ticks / kTicksPerMillisecond) % 1000);
    tm local{};
    _localtime64_s(&local, &seconds);
    WriteLinePrefix(out, local, milliseconds, location);
}

LogStream& operator<<(LogStream&& stream, const SourceLocation& location)
{
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

Logger& Logger::Instance()
{
    static Logger instance;
    std::call_once(instance.m_startOnce, [] { StartLogger(instance, g_startupModule); });
    return instance;
}

void Logger::SetStartupModule(HMODULE module)
{
    g_startupModule = module;
}

LogStream Logger::Stream(LogSeverity severity) const
{
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
