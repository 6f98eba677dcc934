/* The program as a user runs it. */
#include <gtest/gtest.h>

#include "support.h"

TEST(Run, NoArguments)
{
	run_result r = run_quorvel({});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}
