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

// Every verb in turn on one record of closes: each value is closed exactly
// once, by the owner that holds it last, and never while an owner still
// holds it or after it was given up.
TEST(UniqueAny, EachVerbClosesWhatItHoldsExactlyOnce)
{
    g_closed.clear();
    {
        const Owner empty;  // holds nothing: closes nothing
        Owner owner(1);
        EXPECT_TRUE(owner.valid());
        owner.reset(2);  // the old value closes, the new one is held
        owner.reset(2);  // to itself: still held, not closed
        EXPECT_EQ(2, owner.get());
        owner.reset();
        owner.reset();  // empty: nothing more to close
        EXPECT_FALSE(owner.valid());
        EXPECT_EQ((std::vector<int>{1, 2}), g_closed);

        owner.reset(4);
        EXPECT_EQ(4, owner.release());  // given up: never closed here
        EXPECT_FALSE(owner.valid());

        owner.reset(5);
        int* slot = owner.put();  // closes 5 first
        EXPECT_EQ(0, *slot);
        *slot = 6;  // as an API's out-parameter would
        EXPECT_EQ(6, owner.get());
        *owner.addressof() = 7;  // the caller's business: 6 is not closed here
        EXPECT_EQ((std::vector<int>{1, 2, 5}), g_closed);

        Owner second(std::move(owner));
        EXPECT_FALSE(owner.valid());
        Owner third(9);
        third = std::move(second);  // 9 closes, 7 moves on
        EXPECT_FALSE(second.valid());
        Owner& alias = third;
        third = std::move(alias);  // to itself: kept, not closed
        EXPECT_EQ(7, third.get());
        EXPECT_EQ((std::vector<int>{1, 2, 5, 9}), g_closed);

        std::vector<Owner> owners;
        for (int value = 10; value < 40; ++value)
            owners.emplace_back(value);  // regrowth moves each one
        EXPECT_EQ(4u, g_closed.size());
    }
    ASSERT_EQ(35u, g_closed.size()) << "1, 2, 5, 9, then 10 to 39 and 7, each once";
    EXPECT_EQ(7, g_closed.back());
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
