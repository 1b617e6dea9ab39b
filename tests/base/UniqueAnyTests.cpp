#include "base/UniqueAny.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/ScopedHandle.h"

namespace {

// Every value closed, in order; 0 is the empty value.
std::vector<int> g_closed;

struct CountingTraits
{
    using Type = int;
    static Type Invalid() { return 0; }
    static bool IsValid(Type value) { return value != 0; }
    static void Close(Type value) { g_closed.push_back(value); }
};

using Owner = Groundwork::UniqueAny<CountingTraits>;

class UniqueAny : public ::testing::Test
{
protected:
    void SetUp() override { g_closed.clear(); }
};

TEST_F(UniqueAny, ClosesWhatItHoldsExactlyOnce)
{
    {
        Owner empty;
        EXPECT_FALSE(empty.valid());
        Owner owner(1);
        EXPECT_TRUE(owner.valid());
        EXPECT_EQ(1, owner.get());
        owner.reset(2);  // the old value closes, the new one is held
        EXPECT_EQ(std::vector<int>{1}, g_closed);
        owner.reset(2);  // to itself: still held, not closed
        EXPECT_EQ(std::vector<int>{1}, g_closed);
        EXPECT_EQ(2, owner.get());
        owner.reset();
        owner.reset();  // empty: nothing more to close
        EXPECT_FALSE(owner.valid());
        owner.reset(3);
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3}), g_closed);
}

TEST_F(UniqueAny, ReleaseGivesUpOwnershipAndLeavesItEmpty)
{
    {
        Owner owner(4);
        EXPECT_EQ(4, owner.release());
        EXPECT_FALSE(owner.valid());
        EXPECT_EQ(0, owner.get());
    }
    EXPECT_TRUE(g_closed.empty());
}

TEST_F(UniqueAny, PutClosesFirstAndAddressofDoesNot)
{
    Owner owner(5);
    int* slot = owner.put();
    EXPECT_EQ(std::vector<int>{5}, g_closed);
    EXPECT_EQ(0, *slot);
    *slot = 6;  // as an API's out-parameter would
    EXPECT_EQ(6, owner.get());
    *owner.addressof() = 7;  // the caller's business: 6 is not closed here
    EXPECT_EQ(std::vector<int>{5}, g_closed);
    owner.reset();
    EXPECT_EQ((std::vector<int>{5, 7}), g_closed);
}

TEST_F(UniqueAny, MovingHandsOverWithoutClosingTheMovedValue)
{
    {
        Owner first(8);
        Owner second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(8, second.get());

        Owner third(9);
        third = std::move(second);  // 9 closes, 8 moves on
        EXPECT_EQ(std::vector<int>{9}, g_closed);
        EXPECT_FALSE(second.valid());
        EXPECT_EQ(8, third.get());

        Owner& alias = third;
        third = std::move(alias);  // to itself: kept, not closed
        EXPECT_EQ(8, third.get());
        EXPECT_EQ(std::vector<int>{9}, g_closed);

        std::vector<Owner> owners;
        for (int value = 10; value < 40; ++value)
            owners.emplace_back(value);  // regrowth moves each one
        EXPECT_EQ(std::vector<int>{9}, g_closed);
    }
    ASSERT_EQ(32u, g_closed.size()) << "9, then 10 to 39 and 8, each once";
    EXPECT_EQ(8, g_closed.back());
}

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(ScopedHandle, ClosesTheKernelHandleAndTakesBothFailureValuesAsEmpty)
{
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, raw);
    {
        const Groundwork::ScopedHandle event(raw);
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));

    const Groundwork::ScopedHandle failed(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(failed.valid());
    EXPECT_FALSE(Groundwork::ScopedHandle(nullptr).valid());
}

}  // namespace
