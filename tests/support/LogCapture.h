// Captures the lines of the process's logger for the lifetime of the object.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/Logger.h"

namespace testsupport {

class CaptureSink : public ILogSink
{
public:
    void Write(const std::wstring& line) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(line);
    }
    std::vector<std::wstring> Lines() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

class ScopedLogCapture
{
public:
    explicit ScopedLogCapture(LogSeverity level = LogSeverity::DBG)
        : m_previousSink(Logger::Instance().Sink()), m_previousLevel(Logger::Instance().Level())
    {
        Logger::Instance().Configure(m_sink, static_cast<uint32_t>(level));
    }
    ~ScopedLogCapture() { Logger::Instance().Configure(m_previousSink, m_previousLevel); }

    std::vector<std::wstring> Lines() const { return m_sink->Lines(); }

    // Whole captured text, lines concatenated; whether it contains `needle`.
    std::wstring Text() const
    {
        std::wstring text;
        for (const auto& line : m_sink->Lines())
            text += line;
        return text;
    }
    bool Contains(const std::wstring& needle) const { return Text().find(needle) != std::wstring::npos; }

    // Lines that one statement wrote: "[<severity>][<time>][<source>@<line>]: <message>\n",
    // with exactly this severity, source name and whole message.
    size_t Count(const wchar_t* severity, const std::wstring& source, const std::wstring& message) const
    {
        size_t count = 0;
        for (const auto& line : m_sink->Lines())
            count += IsLine(line, severity, source, message);
        return count;
    }
    bool Has(const wchar_t* severity, const std::wstring& source, const std::wstring& message) const
    {
        return Count(severity, source, message) != 0;
    }

    static bool IsLine(const std::wstring& line, const wchar_t* severity, const std::wstring& source,
                       const std::wstring& message)
    {
        const std::wstring head = L"[" + std::wstring(severity) + L"][";
        const std::wstring tail = L"]: " + message + L"\n";
        const size_t at = line.find(L"][" + source + L"@");
        if (line.compare(0, head.size(), head) != 0 || at == std::wstring::npos || line.size() < tail.size() ||
            line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
            return false;
        const size_t digits = at + 3 + source.size();
        const size_t end = line.size() - tail.size();
        return end > digits && line.find_first_not_of(L"0123456789", digits) == end;
    }

private:
    std::shared_ptr<CaptureSink> m_sink = std::make_shared<CaptureSink>();
    std::shared_ptr<ILogSink> m_previousSink;
    uint32_t m_previousLevel;
};

}  // namespace testsupport
