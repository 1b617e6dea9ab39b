// Logger start-up from the product's registry key.
#include <gtest/gtest.h>

#include "logging/LoggerStartup.h"
#include "platform/CRegKey.h"
#include "platform/ProductRegistry.h"
#include "support/LogCapture.h"
#include "support/TestFiles.h"

namespace {

constexpr wchar_t kLogModule[] = L"LoggerStartupTests";

// Gives each test a product key holding only the values it sets, and puts
// back what was there.
class ProductKeyFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Groundwork::CRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, nullptr,
                                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_64KEY));
        for (const wchar_t* name : kNames)
            key.DeleteValue(name);
    }
    void TearDown() override
    {
        Groundwork::CRegKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, KEY_ALL_ACCESS | KEY_WOW64_64KEY) == ERROR_SUCCESS)
            for (const wchar_t* name : kNames)
                key.DeleteValue(name);
    }
    void Set(const wchar_t* name, DWORD value)
    {
        Groundwork::CRegKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  key.Open(HKEY_LOCAL_MACHINE, Groundwork::kProductKeyPath, KEY_ALL_ACCESS | KEY_WOW64_64KEY));
        ASSERT_EQ(ERROR_SUCCESS, key.SetDWORDValue(name, value));
    }

    static constexpr const wchar_t* kNames[] = {L"LogLevel", L"LogRotationCount", L"LogRotationFileSize"};
};

RotatingFileSink* FileSinkOf(const Logger& logger)
{
    return dynamic_cast<RotatingFileSink*>(logger.Sink().get());
}

}  // namespace

TEST_F(ProductKeyFixture, DefaultsWhenValuesAreMissing)
{
    Logger logger;
    StartLogger(logger, nullptr);
    EXPECT_EQ(1u, logger.Level());
    ASSERT_NE(nullptr, FileSinkOf(logger));
    EXPECT_NE(std::wstring::npos, FileSinkOf(logger)->FilePath().find(L"\\logging_tests.exe\\log_"));
}

TEST_F(ProductKeyFixture, DefaultsWhenTheKeyIsMissing)
{
    Groundwork::CRegKey parent;
    ASSERT_EQ(ERROR_SUCCESS, parent.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zelnor", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    ASSERT_EQ(ERROR_SUCCESS, parent.RecurseDeleteKey(L"Pathwarden"));
    Logger logger;
    StartLogger(logger, nullptr);
    EXPECT_EQ(1u, logger.Level());
    EXPECT_NE(nullptr, FileSinkOf(logger));
}

TEST_F(ProductKeyFixture, ValuesAreTakenAsTheyStand)
{
    Set(L"LogLevel", 0xFFFFFFFFu);
    Set(L"LogRotationCount", 1);
    Set(L"LogRotationFileSize", 0);
    Logger logger;
    StartLogger(logger, nullptr);
    EXPECT_EQ(0xFFFFFFFFu, logger.Level());
    RotatingFileSink* sink = FileSinkOf(logger);
    ASSERT_NE(nullptr, sink);

    const std::wstring file = sink->FilePath();
    DeleteFileW(file.c_str());
    DeleteFileW((file + L".0").c_str());
    // Size 0 and count 1: every line is rotated straight into ".0".
    logger.Stream(LogSeverity::DBG) << SourceLocation{kLogModule, 7} << "debug line";
    EXPECT_FALSE(testsupport::FileExists(file));
    const std::string backup = testsupport::ReadFileBytes(file + L".0");
    EXPECT_EQ(0u, backup.find("[DBG]["));
    EXPECT_NE(std::string::npos, backup.find("[LoggerStartupTests@7]: debug line\r\n"));
    DeleteFileW((file + L".0").c_str());
}

TEST_F(ProductKeyFixture, LevelZeroWritesOnlyCriticalLines)
{
    Set(L"LogLevel", 0);
    Logger logger;
    StartLogger(logger, nullptr);
    EXPECT_EQ(0u, logger.Level());
    EXPECT_TRUE(logger.Stream(LogSeverity::CRT).Enabled());
    EXPECT_FALSE(logger.Stream(LogSeverity::ERR).Enabled());
}

TEST(LoggerInstance, StartsOnceAndWritesToTheModuleFolder)
{
    Logger& logger = Logger::Instance();
    EXPECT_EQ(&logger, &Logger::Instance());
    RotatingFileSink* sink = FileSinkOf(logger);
    ASSERT_NE(nullptr, sink) << "the start-up installed the file sink";
    const std::wstring marker = L"instance marker " + std::to_wstring(GetTickCount64());
    VT_LOG(CRT) << marker;
    const std::string text = testsupport::ReadFileBytes(sink->FilePath());
    EXPECT_NE(std::string::npos, text.find(std::string(marker.begin(), marker.end()) + "\r\n"));
}
