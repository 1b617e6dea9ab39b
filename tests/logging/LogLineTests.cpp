// Line layout and severity thresholds of the logger.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>
#include <utility>

#include "logging/Logger.h"
#include "support/LogCapture.h"

namespace {

constexpr wchar_t kLogModule[] = L"LogLineTests";

std::wstring Prefix(int milliseconds, const wchar_t* file, uint32_t line)
{
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mday = 31;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    std::wostringstream out;
    WriteLinePrefix(out, t, milliseconds, SourceLocation{file, line});
    return out.str();
}

}  // namespace

TEST(LogLineLayout, TimeStampAndLocation)
{
    EXPECT_EQ(L"[20240131 14:05:09.007][SessionUtils@49]: ", Prefix(7, L"SessionUtils", 49));
    EXPECT_EQ(L"[20240131 14:05:09.000][x@1]: ", Prefix(0, L"x", 1));
    EXPECT_EQ(L"[20240131 14:05:09.999][CommMessage.cpp@120]: ",
              Prefix(999, L"C:\\build\\src\\ipc\\CommMessage.cpp", 120));
    // A trailing backslash leaves an empty base name rather than the path.
    EXPECT_EQ(L"[20240131 14:05:09.010][@2]: ", Prefix(10, L"dir\\", 2));

    // From the ticks: 2024-01-31 00:00:00 UTC plus 7 ms plus 9999 ticks (below the next ms).
    std::wostringstream out;
    WriteLinePrefix(out, 1706659200LL * 10'000'000 + 7 * 10'000 + 9'999, SourceLocation{L"M", 3});
    EXPECT_EQ(L".007][M@3]: ", out.str().substr(out.str().find(L'.')));
}

TEST(LogLineLayout, AModuleNameMustBeItsSourceFilesBaseName)
{
    // VT_LOG refuses to compile where this does not hold.
    const std::tuple<const wchar_t*, const char*, bool> cases[] = {
        {L"SettingRequest", "../src/includes/SettingRequest.cpp", true},
        {L"SettingRequest", "C:\\build\\src\\SettingRequest.cpp", true},
        {L"main", "main.cpp", true},
        {L"Makefile", "dir/Makefile", true},
        {L"SettingClient", "../src/includes/SettingRequest.cpp", false},  // another file's name
        {L"Setting", "src/SettingRequest.cpp", false},                    // a prefix
        {L"SettingRequest.cpp", "src/SettingRequest.cpp", false},         // with the extension
        {L"Tests", "src/Tests.native.cpp", false},                        // short of the last extension
        {L"src", "src/SettingRequest.cpp", false},                        // a folder
        {L"", "src/.cpp", false},
    };
    for (const auto& [module, file, matches] : cases)
        EXPECT_EQ(matches, IsSourceBaseName(module, file)) << file;
}

TEST(LogLineLayout, WholeStatementBecomesOneLine)
{
    testsupport::ScopedLogCapture capture;
    const unsigned line = __LINE__ + 1;
    VT_LOG(ERR) << "value " << 42 << L" wide " << std::string("n\xE9") << ' ' << std::hex << 0x80070490u;
    const auto lines = capture.Lines();
    ASSERT_EQ(1u, lines.size());
    const std::wstring& text = lines[0];
    EXPECT_EQ(0u, text.find(L"[ERR][")) << text;
    const std::wstring tail = L"[LogLineTests@" + std::to_wstring(line) + L"]: value 42 wide n\u00E9 80070490\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(tail, text.substr(text.size() - tail.size())) << text;

    // Text from another process cannot end the line or forge the next one:
    // C0 controls and DEL in any piece are escaped, and one line end follows.
    // Every other unit stays, so UTF-8 in a narrow piece ("\u20AC\u0410"
    // here) keeps its bytes, and a path its backslashes.
    const std::string peer = "evil\r\n[ERR][20240131 14:05:09.007][VantuToast@1]: forged\x1B[2J\x7F";
    VT_LOG(WRN) << "event " << peer << L" \t\u0085\u00E9\u4E2D" << std::wstring(1, L'\0') << '\n'
                << " \xE2\x82\xAC\xD0\x90 C:\\x\\n" << L"\uFFFF";
    ASSERT_EQ(2u, capture.Lines().size());
    EXPECT_EQ(L"]: event evil\\r\\n[ERR][20240131 14:05:09.007][VantuToast@1]: forged\\x1B[2J\\x7F \\t\u0085\u00E9\u4E2D"
              L"\\x00\\n \u00E2\u0082\u00AC\u00D0\u0090 C:\\x\\n\uFFFF\n",
              capture.Lines()[1].substr(capture.Lines()[1].find(L"]: ")));
}

TEST(LogThreshold, LevelDecidesWhichSeveritiesAreWritten)
{
    // The level, and how many severities (CRT, ERR, WRN, INF, DBG) it lets through.
    const std::pair<LogSeverity, uint32_t> cases[] = {
        {LogSeverity::CRT, 1}, {LogSeverity::ERR, 2}, {LogSeverity::INF, 4}, {static_cast<LogSeverity>(0xFFFFFFFFu), 5}};
    for (const auto& [level, written] : cases)
    {
        testsupport::ScopedLogCapture capture(level);
        for (uint32_t s = 0; s <= 4; ++s)
            Logger::Instance().Stream(static_cast<LogSeverity>(s)) << SourceLocation{kLogModule, 1} << "x";
        for (uint32_t s = 0; s <= 4; ++s)
        {
            EXPECT_EQ(s < written, capture.Has(LogSeverityTag(static_cast<LogSeverity>(s)), kLogModule, L"x"))
                << "level " << static_cast<uint32_t>(level) << ", severity " << s;
        }
    }
}

TEST(LogThreshold, DisabledStreamFormatsNothing)
{
    Logger logger;  // never configured: no sink
    LogStream stream = logger.Stream(LogSeverity::CRT);
    EXPECT_FALSE(stream.Enabled());
    stream << "ignored" << 5;
    EXPECT_TRUE(stream.str().empty());

    auto sink = std::make_shared<testsupport::CaptureSink>();
    logger.Configure(sink, 1);
    {
        LogStream disabled = logger.Stream(LogSeverity::DBG);
        disabled << "ignored";
        LogStream moved(std::move(disabled));
    }
    {
        LogStream enabled = logger.Stream(LogSeverity::ERR);
        LogStream moved(std::move(enabled));  // only the moved-to stream emits
        moved << "once";
    }
    const auto lines = sink->Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(L"[ERR]once\n", lines[0]);
}
