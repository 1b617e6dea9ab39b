// Logger start-up from the product's registry key. (The process's own
// logger, started on its first line, is what every toast test reads back.)
#include <gtest/gtest.h>

#include "logging/LoggerStartup.h"
#include "support/ProductKey.h"
#include "support/TestFiles.h"

namespace {

constexpr wchar_t kLogModule[] = L"LoggerStartupTests";

// Gives each test a product key holding only the values it sets, and removes
// them afterwards.
class ProductKeyFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Groundwork::CRegKey key;  // a test may remove the key itself
        ASSERT_TRUE(testsupport::OpenProductKey(key));
        TearDown();
    }
    void TearDown() override
    {
        for (const wchar_t* name : kNames)
            testsupport::DeleteProductValue(name);
    }
    void Set(const wchar_t* name, DWORD value) { ASSERT_TRUE(testsupport::SetProductValue(name, value)); }
    // Starts `logger` from the key; its log file ("" without a file sink).
    static std::wstring Start(Logger& logger)
    {
        StartLogger(logger, nullptr);
        const auto* sink = dynamic_cast<const RotatingFileSink*>(logger.Sink().get());
        return sink != nullptr ? sink->FilePath() : std::wstring();
    }

    static constexpr const wchar_t* kNames[] = {L"LogLevel", L"LogRotationCount", L"LogRotationFileSize"};
};

}  // namespace

TEST_F(ProductKeyFixture, DefaultsWhenValuesAreMissing)
{
    Logger logger;
    const std::wstring file = Start(logger);
    EXPECT_EQ(1u, logger.Level());
    // In the product's folder, one per module.
    ASSERT_NE(std::wstring::npos, file.find(L"\\Zelnor\\Pathwarden\\logging_tests.exe\\log_")) << file;
    const auto backup = [&](int i) { return file + L"." + std::to_wstring(i); };
    const auto clean = [&] {
        for (int i = -1; i <= 5; ++i)
            DeleteFileW((i < 0 ? file : backup(i)).c_str());
    };
    clean();

    // The default size and count reach the sink (the sink's own tests cover
    // rotation): a file of exactly 1 MiB stays, one byte more rotates, and
    // ".3" moves to ".4" while ".5" is never touched.
    const auto line = [&] { logger.Stream(LogSeverity::ERR) << SourceLocation{kLogModule, 1} << "filler"; };
    line();
    const size_t lineBytes = testsupport::ReadFileBytes(file).size();
    ASSERT_GT(lineBytes, 0u);
    testsupport::WriteFileBytes(file, std::string(0x100000 - lineBytes, '.'));
    line();
    EXPECT_FALSE(testsupport::FileExists(backup(0)));
    for (int i = 0; i <= 5; ++i)
        testsupport::WriteFileBytes(backup(i), std::to_string(i));
    testsupport::WriteFileBytes(file, std::string(0x100001 - lineBytes, '.'));
    line();
    EXPECT_EQ(0x100001u, testsupport::ReadFileBytes(backup(0)).size());
    EXPECT_EQ("3", testsupport::ReadFileBytes(backup(4)));
    EXPECT_EQ("5", testsupport::ReadFileBytes(backup(5)));
    clean();

    // The same defaults when the product key itself is missing.
    Groundwork::CRegKey parent;
    ASSERT_EQ(ERROR_SUCCESS, parent.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zelnor", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    ASSERT_EQ(ERROR_SUCCESS, parent.RecurseDeleteKey(L"Pathwarden"));
    Logger keyless;
    EXPECT_FALSE(Start(keyless).empty());
    EXPECT_EQ(1u, keyless.Level());
}

TEST_F(ProductKeyFixture, ValuesAreTakenAsTheyStand)
{
    Set(L"LogLevel", 0xFFFFFFFFu);
    Set(L"LogRotationCount", 1);
    Set(L"LogRotationFileSize", 0);
    Logger logger;
    const std::wstring file = Start(logger);
    EXPECT_EQ(0xFFFFFFFFu, logger.Level());
    ASSERT_FALSE(file.empty());
    DeleteFileW(file.c_str());
    DeleteFileW((file + L".0").c_str());
    // Size 0 and count 1: every line is rotated straight into ".0".
    logger.Stream(LogSeverity::DBG) << SourceLocation{kLogModule, 7} << "debug line";
    EXPECT_FALSE(testsupport::FileExists(file));
    EXPECT_NE(std::string::npos, testsupport::ReadFileBytes(file + L".0").find("[LoggerStartupTests@7]: debug line"));
    DeleteFileW((file + L".0").c_str());

    Set(L"LogLevel", 0);  // a level, not a missing value
    Logger critical;
    StartLogger(critical, nullptr);
    EXPECT_EQ(0u, critical.Level());
}
