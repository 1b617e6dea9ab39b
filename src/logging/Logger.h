// Process-wide logger: one statement builds one line in memory and hands it
// to the sink when the statement ends. Free of Windows headers, so that the
// format code that logs can also be built and fuzzed natively.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "logging/LogFormat.h"

class ILogSink
{
public:
    virtual ~ILogSink() = default;
    virtual void Write(const std::wstring& line) = 0;
};

class LogStream : public std::wostringstream
{
public:
    LogStream() = default;
    explicit LogStream(std::shared_ptr<ILogSink> sink);
    LogStream(LogStream&& other) noexcept;
    LogStream& operator=(LogStream&&) = delete;
    ~LogStream() override;

    bool Enabled() const { return static_cast<bool>(m_sink); }

private:
    std::shared_ptr<ILogSink> m_sink;
};

// Time stamp and location of a line for `ticks` (100-ns units since 1970),
// in local time.
void WriteLinePrefix(std::wostream& out, int64_t ticks, const SourceLocation& location);

// Current system time in 100-ns ticks since 1970-01-01 UTC.
int64_t CurrentUnixTicks();

// The location is always the first insertion of a statement; it writes the
// time stamp and the location when the stream is enabled.
LogStream& operator<<(LogStream&& stream, const SourceLocation& location);

// Every later insertion keeps the LogStream type so that narrow text is
// widened byte by byte (each byte becomes the code unit of the same value).
LogStream& operator<<(LogStream& stream, const char* text);
LogStream& operator<<(LogStream& stream, const std::string& text);

template <typename T>
LogStream& operator<<(LogStream& stream, const T& value)
{
    static_cast<std::wostream&>(stream) << value;
    return stream;
}

class Logger
{
public:
    Logger() = default;
    ~Logger() = default;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // The process's logger, started from the registry on first use.
    static Logger& Instance();

    // Module whose file name names the log folder. DllMain records the
    // library's own handle here; the start-up itself runs on the first
    // Instance() call, outside the loader lock.
    static void SetStartupModule(void* module);

    LogStream Stream(LogSeverity severity) const;
    void Configure(std::shared_ptr<ILogSink> sink, uint32_t level);

    uint32_t Level() const { return m_level; }
    const std::shared_ptr<ILogSink>& Sink() const { return m_sink; }
    bool HasSink() const { return static_cast<bool>(m_sink); }

private:
    std::shared_ptr<ILogSink> m_sink;
    uint32_t m_level = 0;
    std::once_flag m_startOnce;
};

// Configures `logger` once per process, on its first use. The Windows build
// reads the product's registry and installs the rotating file sink
// (LoggerStartup.cpp); `module` names the log folder (null: the host).
void StartLogger(Logger& logger, void* module);

// The module name of a log statement, checked when the statement compiles.
template <bool kIsSourceBaseName>
constexpr const wchar_t* CheckedLogModule(const wchar_t* module)
{
    static_assert(kIsSourceBaseName, "kLogModule must be the base name of the source file that logs");
    return module;
}

// One log statement. Every source file names itself once, by its base name:
//   static constexpr wchar_t kLogModule[] = L"SessionUtils";  // SessionUtils.cpp
// and then writes  VT_LOG(ERR) << "message " << value;
#define VT_LOG(severity)                                                                            \
    ::Logger::Instance().Stream(::LogSeverity::severity) << ::SourceLocation{                       \
        ::CheckedLogModule<::IsSourceBaseName(kLogModule, __FILE__)>(kLogModule), static_cast<uint32_t>(__LINE__)}
