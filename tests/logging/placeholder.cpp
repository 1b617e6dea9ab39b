#include <gtest/gtest.h>
#include "platform/CRegKey.h"
TEST(Build2, Compiles) { Groundwork::CRegKey key; EXPECT_EQ(87, key.Flush()); }
