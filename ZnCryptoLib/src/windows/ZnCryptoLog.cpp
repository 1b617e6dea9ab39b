#include "ZnCryptoLib/src/windows/ZnCryptoLog.h"

#include <mutex>
#include <new>
#include <string>

namespace ZnCryptoLib {

namespace {

std::mutex g_sinkLock;
std::shared_ptr<IZnCryptoLogSink> g_sink;

std::shared_ptr<IZnCryptoLogSink> CurrentSink()
{
    std::lock_guard<std::mutex> lock(g_sinkLock);
    return g_sink;
}

void AppendNarrow(std::wstring& out, const char* text)
{
    for (; text != nullptr && *text != '\0'; ++text)
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
}

}  // namespace

void SetLogSink(std::shared_ptr<IZnCryptoLogSink> sink)
{
    std::lock_guard<std::mutex> lock(g_sinkLock);
    g_sink = std::move(sink);
}

void LogRecord(const char* file, int line, const char* operation, const wchar_t* first,
               const wchar_t* second)
{
    const std::shared_ptr<IZnCryptoLogSink> sink = CurrentSink();
    if (!sink)
        return;
    std::wstring text;
    try
    {
        text.reserve(256);
        text += L'[';
        AppendNarrow(text, file);
        text += L":(";
        text += std::to_wstring(line);
        text += L")][";
        AppendNarrow(text, operation);
        text += L"] ";
        text += first ? first : L"";
        text += second ? second : L"";
    }
    catch (const std::bad_alloc&)
    {
        sink->Log(kLogLevel, L"General memory-allocation failure in ZnCrypto logger.");
        return;
    }
    sink->Log(kLogLevel, text.c_str());
}

}  // namespace ZnCryptoLib
