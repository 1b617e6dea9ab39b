// The service clients against the reference services, run as a separate
// process on real pipes.
#include <gtest/gtest.h>

#include <limits>

#include <windows.h>
#include <wtsapi32.h>

#include "includes/HubEventRequest.h"
#include "includes/JsonIpcClient.h"
#include "includes/SettingClient.h"
#include "includes/ui_host_module_ipc_client.h"
#include "ipc/IpcTestSupport.h"
#include "sim/wtsapi32/VantuSimWts.h"
#include "support/LogCapture.h"

using ipctest::ServicesProcess;

namespace {

constexpr char kServedUrl[] = "https://help.zelnor.example/pathwarden/how-toasts-work";

// Writes the settings file the settings manager answers from.
std::wstring SettingsFile(const ServicesProcess& services)
{
    const std::wstring path = services.File(L"settings.json");
    testsupport::WriteFileBytes(path, std::string("{\"HowItWorksUrl\":\"") + kServedUrl +
                                          "\",\"Empty\":\"\",\"Quoted\":\"a\\\"b\\\\c\\u00e9\"}");
    return path;
}

std::vector<std::string> EventLines(const std::wstring& file, size_t expected)
{
    std::vector<std::string> lines;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    do
    {
        lines.clear();
        std::istringstream text(testsupport::ReadFileBytes(file));
        for (std::string line; std::getline(text, line);)
            if (!line.empty())
                lines.push_back(line);
        if (lines.size() >= expected)
            break;
        Sleep(20);
    } while (GetTickCount64() < deadline);
    return lines;
}

class ServiceClients : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ipctest::ClearPipeNames();
        ASSERT_TRUE(wts.Load()) << "the session stand-in is installed in the prefix";
        wts.Reset();
    }
    void TearDown() override
    {
        if (wts.Reset)
            wts.Reset();
        ipctest::ClearPipeNames();
    }
    void Sessions(std::vector<VantuSimWtsSession> sessions)
    {
        ASSERT_EQ(ERROR_SUCCESS, wts.SetSessions(sessions.data(), static_cast<DWORD>(sessions.size()), 1));
    }

    VantuSimWtsApi wts;
};

}  // namespace

TEST_F(ServiceClients, SettingReadFromTheService)
{
    ServicesProcess services;
    ASSERT_TRUE(services.Start(L"--settings \"" + SettingsFile(services) + L"\""));
    testsupport::ScopedLogCapture capture(LogSeverity::INF);
    SettingClient client;

    std::string value = "default";
    EXPECT_EQ(0, client.GetSetting(kHowItWorksUrlSetting, SettingScope(SettingScope::kSystem), value));
    EXPECT_EQ(kServedUrl, value);

    value = "default";
    EXPECT_EQ(0, client.GetSetting("Quoted", SettingScope(SettingScope::kUser), value));
    EXPECT_EQ("a\"b\\c\xC3\xA9", value);
    EXPECT_EQ(0, client.GetSetting("Empty", SettingScope(SettingScope::kNone), value));
    EXPECT_EQ("", value);

    value = "default";
    EXPECT_EQ(1, client.GetSetting("NoSuchSetting", SettingScope(SettingScope::kSystem), value));
    EXPECT_EQ("default", value);
    EXPECT_TRUE(capture.Contains(L"[INF]"));
    EXPECT_TRUE(capture.Contains(L"[SettingRequest@"));
    EXPECT_TRUE(capture.Contains(L"Setting does not exist"));
}

TEST_F(ServiceClients, AbsentServiceKeepsTheDefaultUntilItComes)
{
    testsupport::ScopedLogCapture capture;
    SettingClient client;  // nothing registered yet: the connection keeps trying
    std::string value = "default";
    EXPECT_EQ(2, client.GetSetting(kHowItWorksUrlSetting, SettingScope(SettingScope::kSystem), value));
    EXPECT_EQ("default", value);
    EXPECT_TRUE(capture.Contains(L"[JsonIpcClient@"));
    EXPECT_TRUE(capture.Contains(L"failed to send and receive through pipe communications"));
    EXPECT_TRUE(capture.Contains(L"[SettingClient@"));
    EXPECT_TRUE(capture.Contains(L"Error: Failed to send/receive settings manager request"));

    // The service starts: the same client object reaches it.
    ServicesProcess services;
    ASSERT_TRUE(services.Start(L"--settings \"" + SettingsFile(services) + L"\""));
    ASSERT_TRUE(client.Client().Connection().WaitForReady(15000));
    EXPECT_EQ(0, client.GetSetting(kHowItWorksUrlSetting, SettingScope(SettingScope::kSystem), value));
    EXPECT_EQ(kServedUrl, value);
}

TEST_F(ServiceClients, ExchangeOutcomes)
{
    ServicesProcess services;
    ASSERT_TRUE(services.Start(L"--settings \"" + SettingsFile(services) + L"\""));
    testsupport::ScopedLogCapture capture;
    JsonIpcClient client(L"SettingManager");
    ASSERT_TRUE(client.Connection().WaitForReady(15000));

    // Whatever shape the reply has is the caller's to check.
    JsonDocument echo;
    echo.Parse(R"({"VERB":"echo","PAYLOAD":["x"]})");
    JsonDocument reply;
    ASSERT_TRUE(client.SendJsonRequest(echo, reply, L"Echo"));
    ASSERT_TRUE(reply.IsObject());
    EXPECT_STREQ("echo", reply["VERB"].GetString());

    JsonDocument unknown;
    unknown.Parse(R"({"VERB":"no-such-verb","PAYLOAD":{}})");
    EXPECT_TRUE(client.SendJsonRequest(unknown, reply, L"Unknown")) << "the service's error reply is JSON too";

    // A NaN cannot be written as JSON: nothing is sent.
    JsonDocument unwritable(rapidjson::kObjectType);
    unwritable.AddMember("VERB", JsonValue(std::numeric_limits<double>::quiet_NaN()), unwritable.GetAllocator());
    EXPECT_FALSE(client.SendJsonRequest(unwritable, reply, L"Unwritable"));
    EXPECT_TRUE(capture.Contains(L"failed to write request to output buffer"));
    EXPECT_FALSE(capture.Contains(L"failed to parse the response"));
}

TEST_F(ServiceClients, SlowServiceTimesOut)
{
    ServicesProcess services;
    ASSERT_TRUE(services.Start(L"--delay-ms 1500 --settings \"" + SettingsFile(services) + L"\""));
    testsupport::ScopedLogCapture capture;
    SettingClient client;
    ASSERT_TRUE(client.Client().Connection().WaitForReady(15000));
    std::string value = "default";
    EXPECT_EQ(2, client.GetSetting(kHowItWorksUrlSetting, SettingScope(SettingScope::kSystem), value));
    EXPECT_EQ("default", value);
    EXPECT_TRUE(capture.Contains(L"failed to send and receive through pipe communications"));
}

TEST_F(ServiceClients, EventsReachTheActiveSessionsUiHost)
{
    Sessions({{3, WTSDisconnected, L"earlier"}, {0, WTSActive, L"console"}, {5, WTSActive, L"second"}});
    ServicesProcess services;
    const std::wstring events = services.File(L"events.jsonl");
    ASSERT_TRUE(services.Start(L"--ui-session 0 --ui-session 5 --events \"" + events + L"\""));
    ui_host_module_ipc_client client(L"UIManager_");
    EXPECT_EQ(L"UIManager_0", client.ServiceName(0));
    EXPECT_EQ(L"UIManager_4294967294", client.ServiceName(0xFFFFFFFE));

    JsonDocument request;
    BuildHubEventRequest(R"({"Status":"Activated","Argument":"a\"b\\c","ID":-1})", request);
    EXPECT_TRUE(client.PostRequest(request));
    EXPECT_TRUE(client.PostRequest(request));
    EXPECT_EQ(1u, client.ConnectionCount()) << "one connection per session, reused";

    // The user switches: session 5 becomes the first active one.
    Sessions({{0, WTSDisconnected, L"console"}, {5, WTSActive, L"second"}});
    EXPECT_TRUE(client.PostRequest(request));
    EXPECT_EQ(2u, client.ConnectionCount());

    const auto lines = EventLines(events, 3);
    ASSERT_EQ(3u, lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
    {
        JsonDocument line;
        ASSERT_TRUE(ParseJsonReply(lines[i].data(), lines[i].size(), line));
        EXPECT_STREQ("EVENT_USER_VANTU_TOAST_RESULT", line["eventName"].GetString());
        EXPECT_STREQ(R"({"Status":"Activated","Argument":"a\"b\\c","ID":-1})", line["eventValue"].GetString());
        EXPECT_STREQ(i < 2 ? "UIManager_0" : "UIManager_5", line["service"].GetString());
    }
}

TEST_F(ServiceClients, NoActiveSessionSendsNothing)
{
    Sessions({{1, WTSDisconnected, L"away"}, {2, WTSIdle, L""}});
    testsupport::ScopedLogCapture capture;
    ui_host_module_ipc_client client(L"UIManager_");
    JsonDocument request;
    BuildHubEventRequest("{}", request);
    EXPECT_FALSE(client.PostRequest(request));
    EXPECT_EQ(0u, client.ConnectionCount());
    const auto lines = capture.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"[ui_host_module_ipc_client@"));
    EXPECT_NE(std::wstring::npos, lines[0].find(L"Failed to retrieve active user session ID"));
    EXPECT_NE(std::wstring::npos, lines[1].find(L"Failed to get pipe"));
}

TEST_F(ServiceClients, StoredConnectionIsReusedAcrossAnOutage)
{
    ServicesProcess services;
    const std::wstring events = services.File(L"events.jsonl");
    ASSERT_TRUE(services.Start(L"--ui-session 1 --events \"" + events + L"\""));
    ui_host_module_ipc_client client(L"UIManager_");
    JsonDocument request;
    BuildHubEventRequest("{\"n\":1}", request);
    ASSERT_TRUE(client.PostRequest(request));

    services.Kill();
    bool failedWhileAway = false;
    for (int i = 0; i < 50 && !failedWhileAway; ++i)
    {
        failedWhileAway = !client.PostRequest(request);
        Sleep(20);
    }
    EXPECT_TRUE(failedWhileAway) << "the connection is not ready while the UI host is away";
    EXPECT_EQ(1u, client.ConnectionCount()) << "the entry stays";

    ASSERT_TRUE(services.Start(L"--ui-session 1 --events \"" + events + L"\""));
    bool sentAgain = false;
    const ULONGLONG deadline = GetTickCount64() + 15000;
    while (!sentAgain && GetTickCount64() < deadline)
    {
        sentAgain = client.PostRequest(request);
        if (!sentAgain)
            Sleep(50);
    }
    EXPECT_TRUE(sentAgain);
    EXPECT_EQ(1u, client.ConnectionCount()) << "over the same connection";
}

TEST_F(ServiceClients, ClosedClientMakesNoConnectionUntilReopened)
{
    ServicesProcess services;
    ASSERT_TRUE(services.Start(L"--ui-session 1 --events \"" + services.File(L"events.jsonl") + L"\""));
    ui_host_module_ipc_client client(L"UIManager_");
    JsonDocument request;
    BuildHubEventRequest("{}", request);
    ASSERT_TRUE(client.PostRequest(request));
    client.CloseConnections();
    EXPECT_EQ(0u, client.ConnectionCount());
    EXPECT_FALSE(client.PostRequest(request));
    EXPECT_EQ(0u, client.ConnectionCount());
    client.Reopen();
    EXPECT_TRUE(client.PostRequest(request));
    EXPECT_EQ(1u, client.ConnectionCount());
}
