#include "ipc/FormatLog.h"

#include "logging/Logger.h"

bool FormatLogEnabled(LogSeverity severity)
{
    const Logger& logger = Logger::Instance();
    return logger.HasSink() && logger.Level() >= static_cast<uint32_t>(severity);
}

void FormatLogWrite(LogSeverity severity, const SourceLocation& location, const std::wstring& message)
{
    Logger::Instance().Stream(severity) << location << message;
}
