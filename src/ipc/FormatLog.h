// Diagnostics of the transport's format code (frames, handshake layout).
// That code builds without Windows headers so that it can be compiled and
// fuzzed natively; it reports through these two functions, which
// FormatLog.cpp connects to the product logger. A native build supplies its
// own definitions.
#pragma once

#include <sstream>
#include <string>

#include "logging/LogFormat.h"

bool FormatLogEnabled(LogSeverity severity);
void FormatLogWrite(LogSeverity severity, const SourceLocation& location, const std::wstring& message);

// One diagnostic line; the text is handed over when the statement ends.
class FormatLogLine
{
public:
    FormatLogLine(LogSeverity severity, SourceLocation location)
        : m_severity(severity), m_location(location), m_enabled(FormatLogEnabled(severity))
    {
    }
    FormatLogLine(const FormatLogLine&) = delete;
    FormatLogLine& operator=(const FormatLogLine&) = delete;
    ~FormatLogLine()
    {
        if (m_enabled)
            FormatLogWrite(m_severity, m_location, m_text.str());
    }

    template <typename T>
    FormatLogLine& operator<<(const T& value)
    {
        if (m_enabled)
            m_text << value;
        return *this;
    }

private:
    LogSeverity m_severity;
    SourceLocation m_location;
    bool m_enabled;
    std::wostringstream m_text;
};

#define VT_FMT_LOG(severity) \
    FormatLogLine(::LogSeverity::severity, ::SourceLocation{kLogModule, static_cast<uint32_t>(__LINE__)})
