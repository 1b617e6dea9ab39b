// The session stand-in: the prefix's WTSAPI32.dll, configured through its
// control API and seen by the library's session utilities and by other
// programs of the prefix.
#include <gtest/gtest.h>

#include <windows.h>
#include <lmcons.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "platform/SessionUtils.h"
#include "sim/wtsapi32/VantuSimWts.h"

namespace {

// The WTSAPI32.dll the library gets: the system folder's.
HMODULE SystemWtsapi()
{
    return LoadLibraryExW(L"WTSAPI32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

template <typename Fn>
Fn Export(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(SystemWtsapi(), name)));
}

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

std::wstring ProcessUser()
{
    wchar_t name[UNLEN + 1] = {};
    DWORD length = UNLEN + 1;
    return GetUserNameW(name, &length) ? std::wstring(name) : std::wstring();
}

struct Query
{
    BOOL ok = FALSE;
    DWORD error = 0;
    std::vector<unsigned char> bytes;
};

Query QueryW(DWORD sessionId, WTS_INFO_CLASS infoClass, HANDLE server = WTS_CURRENT_SERVER_HANDLE)
{
    Query result;
    LPWSTR buffer = nullptr;
    DWORD size = 0;
    SetLastError(0);
    result.ok = WTSQuerySessionInformationW(server, sessionId, infoClass, &buffer, &size);
    result.error = GetLastError();
    if (result.ok && buffer != nullptr)
        result.bytes.assign(reinterpret_cast<unsigned char*>(buffer), reinterpret_cast<unsigned char*>(buffer) + size);
    WTSFreeMemory(buffer);
    return result;
}

std::wstring AsText(const Query& query)
{
    if (query.bytes.size() < sizeof(wchar_t))
        return L"<none>";
    return std::wstring(reinterpret_cast<const wchar_t*>(query.bytes.data()));
}

class SimSessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(api.Load()) << "the prefix's WTSAPI32.dll is not the stand-in";
        ASSERT_EQ(api.Reset(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    void TearDown() override { api.Reset(); }

    void Configure(std::initializer_list<VantuSimWtsSession> sessions, DWORD console = 1)
    {
        ASSERT_EQ(api.SetSessions(sessions.begin(), static_cast<DWORD>(sessions.size()), console),
                  static_cast<DWORD>(ERROR_SUCCESS));
    }

    VantuSimWtsApi api;
};

TEST_F(SimSessionTest, TheSystemFoldersWtsapiIsTheStandInWithItsDefaultSession)
{
    wchar_t path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(SystemWtsapi(), path, MAX_PATH), 0u);
    EXPECT_EQ(Lower(path), L"c:\\windows\\system32\\wtsapi32.dll");
    // The test program's own import of WTSAPI32 is the same module.
    EXPECT_EQ(GetModuleHandleW(L"wtsapi32.dll"), SystemWtsapi());

    // Default: one active session, number 1, of the user running us.
    uint32_t id = 0;
    EXPECT_TRUE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(id, 1u);
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    ASSERT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(sessions[0].SessionId, 1u);
    EXPECT_EQ(sessions[0].State, WTSActive);
    EXPECT_EQ(std::wstring(sessions[0].pWinStationName), L"Console");
    WTSFreeMemory(sessions);
    EXPECT_FALSE(ProcessUser().empty());
    EXPECT_EQ(AsText(QueryW(1, WTSUserName)), ProcessUser());
}

TEST_F(SimSessionTest, GetActiveSessionIdSeesTheConfiguredSessions)
{
    uint32_t id = 0;
    // No active session: only disconnected, listening and down ones.
    Configure({{0, WTSDisconnected, nullptr}, {2, WTSDisconnected, L"alice"}, {65536, WTSListen, nullptr},
               {3, WTSDown, L"bob"}});
    EXPECT_FALSE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(id, Groundwork::kNoSession);

    // Two active sessions: the first in enumeration order wins, not the
    // lowest number.
    Configure({{0, WTSDisconnected, nullptr}, {7, WTSActive, L"carol"}, {3, WTSActive, L"dave"}});
    EXPECT_TRUE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(id, 7u);

    // No session at all.
    Configure({});
    id = 0;
    EXPECT_FALSE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(id, Groundwork::kNoSession);

    // Back to the default after a reset.
    ASSERT_EQ(api.Reset(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(Groundwork::GetActiveSessionId(id));
    EXPECT_EQ(id, 1u);
}

TEST_F(SimSessionTest, AnExportToldToFailFailsWithThatErrorUntilCleared)
{
    ASSERT_EQ(api.FailCall("WTSEnumerateSessionsW", ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_SUCCESS));
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    SetLastError(0);
    EXPECT_FALSE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    uint32_t id = 0;
    EXPECT_FALSE(Groundwork::GetActiveSessionId(id));
    EXPECT_FALSE(Groundwork::GetActiveSessionId(id));  // every call, not just the next
    // Other exports are not affected.
    EXPECT_TRUE(QueryW(1, WTSSessionId).ok);

    ASSERT_EQ(api.FailCall("WTSEnumerateSessionsW", ERROR_SUCCESS), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(Groundwork::GetActiveSessionId(id));

    ASSERT_EQ(api.FailCall("WTSQuerySessionInformationW", ERROR_NOT_ENOUGH_MEMORY), static_cast<DWORD>(ERROR_SUCCESS));
    Query failed = QueryW(1, WTSUserName);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(Groundwork::GetConsoleUserName(), L"UNKNOWN");
    EXPECT_EQ(api.FailCall("", ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
