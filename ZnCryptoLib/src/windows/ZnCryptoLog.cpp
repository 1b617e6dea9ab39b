#include "ZnCryptoLib/src/windows/ZnCryptoLog.h"

#include <new>
#include <string>
#include "base/Lock.h"

namespace ZnCryptoLib {

namespace {

Groundwork::Mutex g_sinkLock;
std::shared_ptr<IZnCryptoLogSink> g_sink GUARDED_BY(g_sinkLock);

std::shared_ptr<IZnCryptoLogSink> CurrentSink() EXCLUDES(g_sinkLock)
{
    Groundwork::MutexLock lock(g_sinkLock);
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
    Groundwork::MutexLock lock(g_sinkLock);
    g_sink = std::move(sink);
}

// The sink is called outside the lock: it may be the host's.
void LogRecord(const char* file, int line, const char* operation, const wchar_t* first,
               const wchar_t* second) EXCLUDES(g_sinkLock)
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
