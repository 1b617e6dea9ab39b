// Optional diagnostics of ZnCryptoLib. The library writes its records to a
// sink that its user installs; without one, records are dropped.
#pragma once

#include <cstdint>
#include <memory>

namespace ZnCryptoLib {

class IZnCryptoLogSink
{
public:
    virtual ~IZnCryptoLogSink() = default;
    virtual void Log(uint32_t level, const wchar_t* text) = 0;
};

// Installs the process-wide sink (empty removes it).
void SetLogSink(std::shared_ptr<IZnCryptoLogSink> sink);

// Level of every record the library writes.
constexpr uint32_t kLogLevel = 2;

// Writes "[<file>:(<line>)][<operation>] <first><second>" to the sink. The
// narrow pieces are ASCII (source path, qualified operation name). When the
// text cannot be allocated, the sink receives a fixed notice instead.
void LogRecord(const char* file, int line, const char* operation, const wchar_t* first,
               const wchar_t* second = L"");

}  // namespace ZnCryptoLib

#define ZN_LOG(operation, first, second) \
    ::ZnCryptoLib::LogRecord(__FILE__, __LINE__, operation, first, second)
