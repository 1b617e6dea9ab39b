// Logger start-up of the native build: no registry and no log folder. Every
// statement is formatted and encoded as the file sink would write it, then
// dropped, so that the logging of the format code runs under the sanitizers
// too. Tests replace the sink with their own.
#include <memory>
#include <string>

#include "logging/LogFormat.h"
#include "logging/Logger.h"

namespace {

class DiscardingSink : public ILogSink
{
public:
    void Write(const std::wstring& line) override { static_cast<void>(EncodeLogLine(line)); }
};

}  // namespace

void StartLogger(Logger& logger, void* /*module*/)
{
    logger.Configure(std::make_shared<DiscardingSink>(), static_cast<uint32_t>(LogSeverity::DBG));
}
