// Links only where the GoogleTest found suits this build (word size, ABI).
#include <gtest/gtest.h>

TEST(GTestCheck, Links) { EXPECT_TRUE(true); }
