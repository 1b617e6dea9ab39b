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

    // Whole captured text, lines concatenated.
    std::wstring Text() const
    {
        std::wstring text;
        for (const auto& line : m_sink->Lines())
            text += line;
        return text;
    }

    // True when some line contains `needle`.
    bool Contains(const std::wstring& needle) const { return Text().find(needle) != std::wstring::npos; }

private:
    std::shared_ptr<CaptureSink> m_sink = std::make_shared<CaptureSink>();
    std::shared_ptr<ILogSink> m_previousSink;
    uint32_t m_previousLevel;
};

}  // namespace testsupport
