/*
 * A log cut short while the counting pass reads it is said once, as one
 * cut between the passes is, and none of its lines are printed: never a
 * torn last line, never a merge that silently stops early.  A read that
 * only stops short of the end, as on FUSE, is not taken for the end.
 */
#include <string>

#include <gtest/gtest.h>

#include "support.h"

namespace {

/* Lines of 100 bytes, from second first on. */
std::string
lines(const std::string &tag, int n, int first)
{
	std::string text;
	for (int i = 0; i < n; i++) {
		char buf[128];
		int t = first + 2 * i;
		snprintf(buf, sizeof buf, "10.0.0.1 - - [05/Mar/2003:%02d:%02d:%02d +0000] \"GET /%s%06d", t / 3600,
		    t / 60 % 60, t % 60, tag.c_str(), i);
		std::string l = buf;
		text += l + std::string(99 - l.size(), 'x') + "\n";
	}
	return text;
}

TEST(Shrink, CutWhileCounted)
{
	/* 600,000 bytes, read by the count in blocks of 256 KiB. */
	std::string other = lines("other", 300, 1);
	scratch_write("live.log", lines("live", 6000, 0));
	scratch_write("other.log", other);
	/* Before which read of the log, to what size: mid-line, at a line's end, empty. */
	const struct {
		int read;
		long size;
	} cuts[] = {{1, 300100}, {2, 300150}, {2, 300100}, {3, 550000}, {3, 524288}, {1, 0}};
	for (const auto &c : cuts) {
		run_result r = run_shell("cp live.log cut.log && export ASAN_OPTIONS=verify_asan_link_order=0 "
		    "QUORVEL_CUT=\"$PWD/cut.log " + std::to_string(c.read) + " " + std::to_string(c.size) +
		    "\" LD_PRELOAD='" QUORVEL_SHRINK_SHIM "' && $Q cut.log other.log");
		EXPECT_EQ(r.out, other) << c.read << " " << c.size;
		EXPECT_EQ(r.err, "Cannot read cut.log again\n") << c.read << " " << c.size;
		EXPECT_EQ(r.status, 1) << c.read << " " << c.size;
	}
	/* Cut at no read: the shim itself changes nothing. */
	run_result r = run_shell("cp live.log cut.log && QUORVEL_CUT=\"$PWD/cut.log 99 0\" "
	    "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD='" QUORVEL_SHRINK_SHIM "' $Q cut.log other.log | "
	    "cmp - <($Q live.log other.log) && echo same");
	EXPECT_EQ(r.out, "same\n");
	EXPECT_EQ(r.err, "");
}

/*
 * A gzipped log of two members cut at the end of the first while it is
 * decoded, before its second or third read, by each decoder, is said as a
 * plain log so cut is.
 */
TEST(Shrink, CompressedCutWhileCounted)
{
	std::string other = lines("other", 300, 1);
	scratch_write("other.log", other);
	/* The first member more than a read: random text. */
	ASSERT_EQ(run_shell("mkdir zlib noisal nodeflate && : > zlib/libisal.so.2 && : > zlib/libdeflate.so.0 && "
	    ": > noisal/libisal.so.2 && : > nodeflate/libdeflate.so.0 && head -c 600000 /dev/urandom | od -An -tx1 | "
	    "sed 's,^,10.0.0.1 - - [05/Mar/2003:00:00:00 +0000] \"GET /,' > one && gzip -1c one > m1 && head -n 9 one | "
	    "gzip -c | cat m1 - > live.gz && test $(wc -c < m1) -gt 300000").status, 0);
	for (const char *libs : {"", "zlib", "noisal", "nodeflate"})
		for (const char *read : {"2", "3"}) {
			run_result r = run_shell("cp live.gz cut.gz && ASAN_OPTIONS=verify_asan_link_order=0 "
			    "QUORVEL_CUT=\"$PWD/cut.gz " + std::string(read) + " $(wc -c < m1)\" LD_PRELOAD='"
			    QUORVEL_SHRINK_SHIM "' LD_LIBRARY_PATH=$PWD/" + libs + " $Q cut.gz other.log");
			EXPECT_EQ(r.out, other) << libs << " " << read;
			EXPECT_EQ(r.err, "Cannot read cut.gz again\n") << libs << " " << read;
			EXPECT_EQ(r.status, 1) << libs << " " << read;
		}
}

/*
 * A log of two members or streams whose first read stops at the end of
 * the first, with each decoder, is merged whole.
 */
TEST(Shrink, FirstReadStopsShort)
{
	scratch_write("all.log", lines("all", 1000, 0));
	ASSERT_EQ(run_shell("mkdir zlib noisal nodeflate && : > zlib/libisal.so.2 && : > zlib/libdeflate.so.0 && "
	    ": > noisal/libisal.so.2 && : > nodeflate/libdeflate.so.0 && head -n 500 all.log > one && "
	    "tail -n +501 all.log > two").status, 0);
	const struct {
		const char *tool, *libs;
	} cases[] = {{"gzip -c", ""}, {"gzip -c", "zlib"}, {"gzip -c", "noisal"}, {"gzip -c", "nodeflate"},
	    {"bzip2 -c", ""}, {"xz -c", ""}, {"zstd -c", ""}, {"cat", ""}};
	for (const auto &c : cases) {
		std::string t = c.tool;
		if (run_shell("command -v " + t.substr(0, t.find(' '))).status != 0)
			continue;
		run_result r = run_shell(t + " < one > m1 && " + t + " < two | cat m1 - > log && "
		    "ASAN_OPTIONS=verify_asan_link_order=0 QUORVEL_SHORT=\"$PWD/log $(wc -c < m1)\" LD_PRELOAD='"
		    QUORVEL_SHRINK_SHIM "' LD_LIBRARY_PATH=$PWD/" + c.libs + " $Q log | cmp - all.log && echo same");
		EXPECT_EQ(r.out, "same\n") << t << " " << c.libs;
		EXPECT_EQ(r.err, "") << t << " " << c.libs;
	}
}

}
