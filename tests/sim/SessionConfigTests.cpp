// The stored form of the session stand-in's configuration.
#include <gtest/gtest.h>

#include "sim/wtsapi32/SessionConfig.h"

using namespace VantuSim;

namespace {

TEST(SessionConfig, EntriesRoundTripAndKeepCommasInUserNames)
{
    for (const SimSession& session : {SimSession{1, kWtsActive, L"alice"}, SimSession{0, 4, L""},
                                      SimSession{4294967295u, kWtsMaxState, L"dom,ain user"}})
    {
        SimSession parsed{7, 7, L"old"};
        ASSERT_TRUE(ParseSession(FormatSession(session), parsed)) << FormatSession(session).c_str();
        EXPECT_EQ(parsed.id, session.id);
        EXPECT_EQ(parsed.state, session.state);
        EXPECT_EQ(parsed.userName, session.userName);
    }
    EXPECT_EQ(FormatSession(SimSession{12, 1, L"bob"}), L"12,1,bob");
}

TEST(SessionConfig, MalformedEntriesAreRejectedAndLeaveTheOutputAlone)
{
    const wchar_t* bad[] = {L"",          L"1",         L"1,0",           L",0,x",        L"1,,x",
                            L"a,0,x",     L"1,b,x",     L"-1,0,x",        L" 1,0,x",      L"1,10,x",
                            L"1,0x1,x",   L"4294967296,0,x", L"99999999999,0,x", L"1,4294967296,x"};
    for (const wchar_t* text : bad)
    {
        SimSession session{5, 2, L"keep"};
        EXPECT_FALSE(ParseSession(text, session)) << text;
        EXPECT_EQ(session.id, 5u);
        EXPECT_EQ(session.userName, L"keep");
    }
    SimSession session;
    EXPECT_FALSE(ParseSession(std::wstring(L"1,0,a\0b", 7), session));
}

TEST(SessionConfig, MultiStringsSplitAtTheFirstEmptyEntryOrTheEnd)
{
    const std::wstring joined = JoinMultiString({L"1,0,a", L"2,4,"});
    EXPECT_EQ(joined, std::wstring(L"1,0,a\0" L"2,4,\0\0", 12));
    EXPECT_EQ(SplitMultiString(joined.data(), joined.size()), (std::vector<std::wstring>{L"1,0,a", L"2,4,"}));
    EXPECT_EQ(JoinMultiString({}), std::wstring(1, L'\0'));
    EXPECT_TRUE(SplitMultiString(L"\0", 1).empty());
    EXPECT_TRUE(SplitMultiString(nullptr, 5).empty());
    EXPECT_TRUE(SplitMultiString(L"x", 0).empty());
    // Not terminated (a value written without its final NULs).
    EXPECT_EQ(SplitMultiString(L"a\0bc", 4), (std::vector<std::wstring>{L"a", L"bc"}));
    // Anything after the terminating empty entry is not part of the list.
    EXPECT_EQ(SplitMultiString(L"a\0\0b\0\0", 6), std::vector<std::wstring>{L"a"});
}

TEST(SessionConfig, StationNames)
{
    EXPECT_EQ(StationName(1, 1), L"Console");
    EXPECT_EQ(StationName(0, 1), L"Services");
    EXPECT_EQ(StationName(0, 0), L"Console");
    EXPECT_EQ(StationName(3, 1), L"RDP-Tcp#3");
}

}  // namespace
