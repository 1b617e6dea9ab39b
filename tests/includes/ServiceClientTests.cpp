// The service clients against the reference services, run as a separate
// process on real pipes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <thread>
#include <tuple>

#include <windows.h>
#include <wtsapi32.h>

#include "includes/HubEventRequest.h"
#include "includes/JsonIpcClient.h"
#include "includes/SettingClient.h"
#include "includes/ui_host_module_ipc_client.h"
#include "ipc/IpcTestSupport.h"
#include "ipc/TransportTestSupport.h"
#include "ipc/PipeName.h"
#include "platform/SessionUtils.h"
#include "sim/wtsapi32/VantuSimWts.h"
#include "support/LogCapture.h"

using ipctest::ServicesProcess;

namespace {
// Allocations of at least this many bytes fail on the thread that set it
// (0: none), to drive an exception through a call as running out of memory
// would. The library's operator delete releases with free().
thread_local size_t t_failAllocationsFrom = 0;
// Allocations of at least this many bytes on the thread that set it are
// counted (0: none).
thread_local size_t t_countAllocationsFrom = 0;
thread_local size_t t_countedAllocations = 0;
}  // namespace

void* operator new(size_t size)
{
    if (t_failAllocationsFrom != 0 && size >= t_failAllocationsFrom)
        throw std::bad_alloc();
    if (t_countAllocationsFrom != 0 && size >= t_countAllocationsFrom)
        ++t_countedAllocations;
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

namespace {

constexpr char kServedUrl[] = "https://help.zelnor.example/pathwarden/how-toasts-work";

// Writes the settings file the settings manager answers from.
std::wstring SettingsFile(const ServicesProcess& process)
{
    const std::wstring path = process.File(L"settings.json");
    testsupport::WriteFileBytes(path, std::string("{\"HowItWorksUrl\":\"") + kServedUrl +
                                          "\",\"Empty\":\"\",\"Quoted\":\"a\\\"b\\\\c\\u00e9\",\"Large\":\"" +
                                          std::string(100000, 'L') + "\"}");
    return path;
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
    ServicesProcess services;
};

}  // namespace

TEST_F(ServiceClients, SettingReadFromTheService)
{
    ASSERT_TRUE(services.Start(L"--settings \"" + SettingsFile(services) + L"\""));
    testsupport::ScopedLogCapture capture(LogSeverity::INF);
    SettingClient client;

    const std::tuple<const char*, SettingScope, int32_t, std::string> reads[] = {
        {kHowItWorksUrlSetting, SettingScope(SettingScope::kSystem), 0, kServedUrl},
        {"Quoted", SettingScope(SettingScope::kUser), 0, "a\"b\\c\xC3\xA9"},
        {"Empty", SettingScope(SettingScope::kNone), 0, ""},
        {"Large", SettingScope(SettingScope::kSystem), 0, std::string(100000, 'L')},
        {"NoSuchSetting", SettingScope(SettingScope::kSystem), 1, "default"},
        {nullptr, SettingScope(SettingScope::kSystem), -1, "default"},  // no name: no request
    };
    for (const auto& [name, scope, result, expected] : reads)
    {
        std::string value = "default";
        EXPECT_EQ(result, client.GetSetting(name, scope, value)) << (name ? name : "no name");
        EXPECT_EQ(expected, value);
    }
    // Memory running out while the value is copied: result 3, the default stays.
    std::string small = "default";  // no room yet for the value
    t_failAllocationsFrom = 65536;
    const int32_t result = client.GetSetting("Large", SettingScope(SettingScope::kSystem), small);
    t_failAllocationsFrom = 0;
    EXPECT_EQ(3, result);
    EXPECT_EQ("default", small);

    // A request is written once and handed on as written: sent as JSON, it
    // costs the caller's thread no more blocks of its size than its bytes
    // handed to the connection directly (the frame and the pipe's buffers).
    JsonDocument reply;
    const std::string payload(200000, 'p');
    JsonDocument echo(rapidjson::kObjectType);
    echo.AddMember(JsonName(kVerbMember), "echo", echo.GetAllocator());
    echo.AddMember(JsonName(kPayloadMember), JsonValue(payload.data(), static_cast<rapidjson::SizeType>(payload.size()),
                                                        echo.GetAllocator()),
                   echo.GetAllocator());
    ASSERT_TRUE(client.Client().SendJsonRequest(echo, reply, L"Echo"));  // the pipe's buffers grow once
    EXPECT_EQ(payload, reply[kPayloadMember].GetString());
    const std::string bytes = R"({"VERB":"echo","PAYLOAD":")" + payload + R"("})";
    const auto largeBlocks = [&](const std::function<bool()>& send) {
        t_countedAllocations = 0;
        t_countAllocationsFrom = payload.size();
        const bool sent = send();
        t_countAllocationsFrom = 0;
        EXPECT_TRUE(sent);
        return t_countedAllocations;
    };
    const size_t direct = largeBlocks([&] {
        uint32_t length = 0;
        return client.Client().Connection().SendRequest(L"Echo", bytes.data(), static_cast<uint32_t>(bytes.size()),
                                                        length) != nullptr;
    });
    EXPECT_GE(direct, 1u) << "the frame is counted";
    EXPECT_EQ(direct, largeBlocks([&] { return client.Client().SendJsonRequest(echo, reply, L"Echo"); }));

    // A NaN cannot be written as JSON: nothing is sent.
    JsonDocument unwritable(rapidjson::kObjectType);
    unwritable.AddMember("VERB", JsonValue(std::numeric_limits<double>::quiet_NaN()), unwritable.GetAllocator());
    EXPECT_FALSE(client.Client().SendJsonRequest(unwritable, reply, L"Unwritable"));
    EXPECT_FALSE(capture.Contains(L"failed to parse the response"));
}

TEST_F(ServiceClients, AbsentServiceKeepsTheDefaultUntilItComes)
{
    SettingClient client;  // nothing registered yet: the connection keeps trying
    std::string value = "default";
    EXPECT_EQ(2, client.GetSetting(kHowItWorksUrlSetting, SettingScope(SettingScope::kSystem), value));
    EXPECT_EQ("default", value);

    // The service starts: the same client object reaches it.
    ASSERT_TRUE(services.Start(L"--settings \"" + SettingsFile(services) + L"\""));
    ASSERT_TRUE(client.Client().Connection().WaitForReady(15000));
    EXPECT_EQ(0, client.GetSetting(kHowItWorksUrlSetting, SettingScope(SettingScope::kSystem), value));
    EXPECT_EQ(kServedUrl, value);
}

TEST_F(ServiceClients, EventsReachTheActiveSessionsUiHost)
{
    // The first active session in enumeration order, not the lowest number;
    // a session connected but not logged on is not active.
    Sessions({{3, WTSDisconnected, L"earlier"}, {4, WTSConnected, L""}, {5, WTSActive, L"second"},
              {0, WTSActive, L"console"}});
    const std::wstring events = services.File(L"events.jsonl");
    ASSERT_TRUE(services.Start(L"--ui-session 0 --ui-session 1 --ui-session 5 --events \"" + events + L"\""));
    ui_host_module_ipc_client client(L"UIManager_");
    EXPECT_EQ(L"UIManager_4294967294", client.ServiceName(0xFFFFFFFE));

    JsonDocument request;
    BuildHubEventRequest(R"({"Status":"Activated","Argument":"a\"b\\c","ID":-1})", request);
    EXPECT_TRUE(client.PostRequest(request));
    EXPECT_TRUE(client.PostRequest(request));
    EXPECT_EQ(1u, client.ConnectionCount()) << "one connection per session, reused";

    // The user switches: session 0 becomes the first active one.
    Sessions({{5, WTSDisconnected, L"second"}, {0, WTSActive, L"console"}});
    EXPECT_TRUE(client.PostRequest(request));
    EXPECT_EQ(2u, client.ConnectionCount());

    // Several active sessions: the caller's own (Wine's is 1) wins, listed second.
    ASSERT_EQ(1u, Groundwork::GetCurrentProcessSessionId());
    Sessions({{0, WTSActive, L"console"}, {1, WTSActive, L"caller"}});
    EXPECT_TRUE(client.PostRequest(request));

    // No active session: nothing is sent.
    Sessions({{1, WTSDisconnected, L"away"}, {2, WTSIdle, L""}});
    EXPECT_FALSE(client.PostRequest(request));

    const auto lines = testsupport::FileLines(events, 4);
    ASSERT_EQ(4u, lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
    {
        JsonDocument line;
        ASSERT_TRUE(ParseJsonReply(lines[i].data(), lines[i].size(), line));
        EXPECT_STREQ("EVENT_USER_VANTU_TOAST_RESULT", line["eventName"].GetString());
        EXPECT_STREQ(R"({"Status":"Activated","Argument":"a\"b\\c","ID":-1})", line["eventValue"].GetString());
        EXPECT_STREQ(i < 2 ? "UIManager_5" : i == 2 ? "UIManager_0" : "UIManager_1", line["service"].GetString());
    }
}

TEST_F(ServiceClients, FailingSessionQueriesMeanNoSessionAndAnUnknownUser)
{
    wchar_t user[256] = {};
    DWORD length = 256;
    ASSERT_TRUE(GetUserNameW(user, &length));
    EXPECT_EQ(user, Groundwork::GetConsoleUserName()) << "the stand-in's default session is ours";
    uint32_t id = 0;
    ASSERT_EQ(ERROR_SUCCESS, wts.FailCall("WTSEnumerateSessionsW", ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(Groundwork::kNoSession, id);
    ASSERT_EQ(ERROR_SUCCESS, wts.FailCall("WTSQuerySessionInformationW", ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(L"UNKNOWN", Groundwork::GetConsoleUserName());
}

TEST_F(ServiceClients, ASessionsConnectionIsMadeOnceAndOutlivesAnOutage)
{
    Sessions({{2, WTSActive, L"user"}});
    const std::wstring events = services.File(L"events.jsonl");
    const std::wstring arguments = L"--ui-session 2 --events \"" + events + L"\"";
    ASSERT_TRUE(services.Start(arguments));
    testsupport::ScopedLogCapture capture;
    ui_host_module_ipc_client client(L"UIManager_");
    JsonDocument request;
    BuildHubEventRequest("{}", request);

    // Concurrent first events make one connection.
    ipc::ScopedHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> sent{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < 8; ++i)
        senders.emplace_back([&] {
            WaitForSingleObject(go.get(), 30000);
            sent += client.PostRequest(request) ? 1 : 0;
        });
    SetEvent(go.get());
    for (auto& sender : senders)
        sender.join();
    EXPECT_EQ(8, sent.load());
    EXPECT_EQ(1u, client.ConnectionCount());
    EXPECT_EQ(1u, capture.Count(L"DBG", L"ClientPipeCommunications", L"###:UIManager_2:Before initialize"));
    EXPECT_EQ(8u, testsupport::FileLines(events, 8).size());

    // The UI host goes away and comes back: the entry stays and carries the
    // events again over the same connection.
    services.Kill();
    EXPECT_TRUE(ipctest::WaitFor([&] { return !client.PostRequest(request); }, 10000));
    EXPECT_EQ(1u, client.ConnectionCount());
    ASSERT_TRUE(services.Start(arguments));
    EXPECT_TRUE(ipctest::WaitFor([&] { return client.PostRequest(request); }, 15000));
    EXPECT_EQ(1u, client.ConnectionCount());
    EXPECT_EQ(1u, capture.Count(L"DBG", L"ClientPipeCommunications", L"###:UIManager_2:Before initialize"));
}

TEST_F(ServiceClients, PipeNameFromTheServersKey)
{
    EXPECT_EQ(L"", ipc::PipeName(L"SettingManager"));
    ASSERT_TRUE(ipctest::RegisterPipeName(L"SettingManager", L"\\\\.\\pipe\\settings"));
    EXPECT_EQ(L"\\\\.\\pipe\\settings", ipc::PipeName(L"SettingManager"));
    EXPECT_EQ(L"", ipc::PipeName(L"UIManager_1"));
}
