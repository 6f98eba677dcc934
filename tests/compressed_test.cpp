/* Compressed logs, read through the system's tools, run end to end. */
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support.h"
#include "quorvel.h"

namespace {

/*
 * a.log and b.log interleave past a pipe's buffer, b.log with a line of
 * several reads.  The tools missing are skipped, or fail where CI asks for
 * every one.
 */
std::string
write_logs(const std::vector<std::string> &tools)
{
	EXPECT_EQ(run_shell("for i in $(seq 1000 3999); do for h in a b; do printf '10.0.0.1 - - "
	    "[05/Mar/2003:%02d:%02d:%02d +0000] \"GET /%s\" 200 1\\n' $((i / 3600)) $((i / 60 % 60)) $((i % 60)) "
	    "$h$i >> $h.log; done; done; printf '10.0.0.3 - - [05/Mar/2003:00:30:00 +0000] \"GET /%09000d\"\\n' 0 >> b.log")
	    .status, 0);
	std::string missing;
	for (const std::string &t : tools)
		if (run_shell("command -v " + t).status != 0)
			missing += " " + t;
	const char *require = getenv("QUORVEL_REQUIRE_DECOMPRESSORS");
	if (!missing.empty() && require != nullptr && std::string(require) == "1")
		ADD_FAILURE() << "not on PATH:" << missing;
	return missing;
}

TEST(Compressed, EachFormatMergesAsItsText)
{
	std::string missing = write_logs({"gzip", "bzip2", "xz", "zstd"});
	std::string q = quorvel_freebsd ? "$Q -g " : "$Q -v ";
	for (std::string t : {"gzip", "bzip2", "xz", "zstd"}) {
		if (missing.find(" " + t) != std::string::npos)
			continue;
		/* Known by its first bytes, not its name, and traced with the lines of its text. */
		for (const std::string &pair : {q + "a.log b.log|mkdir -p z && cp a.log z && " + t +
		    " -c b.log > z/b.log && cd z && " + q + "a.log b.log",
		    q + "a.log /dev/stdin < b.log|" + t + " -c b.log | " + q + "a.log /dev/stdin",
		    /* Children ignored, as inherited, must still be waited for. */
		    "$Q a.log b.log|" + t + " -c b.log > b.z && perl -e '$SIG{CHLD} = \"IGNORE\"; exec @ARGV' $Q a.log b.z"}) {
			std::string compressed = pair.substr(pair.find('|') + 1);
			run_result want = run_shell(pair.substr(0, pair.find('|'))), r = run_shell(compressed);
			EXPECT_EQ(r.out, want.out) << compressed;
			EXPECT_EQ(r.err, want.err) << compressed;
			EXPECT_EQ(r.status, 0) << compressed;
		}
	}
	if (!missing.empty())
		GTEST_SKIP() << "not on PATH, so not tried:" << missing;
}

TEST(Compressed, ToolOrCopyThatFails)
{
	if (!write_logs({"gzip"}).empty())
		GTEST_SKIP() << "no gzip on PATH";
	std::string a = run_shell("$Q a.log").out, cut = "gzip: stdin: unexpected end of file\n";
	run_shell("gzip -c b.log > b.gz && head -c 4000 b.gz > cut.gz && mkdir -p none dies && "
	    "printf '#!/bin/sh\\nhead -n 100 a.log; kill -KILL $$\\n' > dies/gzip && chmod +x dies/gzip");
	/* A tool that fails loses that input whole, even what came out before the
	   fault; a copy that cannot be made ends the run before any output. */
	const std::string cases[][4] = {{"$Q a.log cut.gz", "cut.gz", cut, a},
		{"head -c 4000 b.gz | $Q a.log /dev/stdin", "/dev/stdin", cut, a},
		{"PATH=$PWD/none $Q a.log b.gz", "b.gz", "", a}, {"PATH=$PWD/dies:$PATH $Q a.log b.gz", "b.gz", "", a},
		{"TMPDIR=$PWD/nowhere $Q a.log b.gz", "b.gz", "", ""},
		{"cat a.log | TMPDIR=$PWD/nowhere $Q b.log /dev/stdin", "/dev/stdin", "", ""},
		{"trap '' XFSZ; ulimit -f 100; $Q a.log b.gz", "b.gz", "", ""}};
	for (const auto &c : cases) {
		run_result r = run_shell(c[0]);
		std::string said = "Cannot copy " + c[1] + "\n";
		EXPECT_EQ(r.out, c[3]) << c[0];
		/* What the tool says, then the input named once. */
		EXPECT_EQ(r.err.find(c[2] + said), r.err.size() - c[2].size() - said.size()) << c[0] << r.err;
		EXPECT_EQ(r.err.find("Cannot"), r.err.size() - said.size()) << c[0] << r.err;
		EXPECT_EQ(r.status, 1) << c[0];
	}
}

TEST(Compressed, CopiesInTmpdirAndNoneInherited)
{
	if (!write_logs({"gzip"}).empty())
		GTEST_SKIP() << "no gzip on PATH";
	/* The tool finds the copies there, unlinked, and inherits none of them. */
	run_result r = run_shell("gzip -c b.log > b.gz && mkdir spy tmp && mkfifo f && { cat a.log > f & } && "
	    "printf '#!/bin/sh\\nc=$(ls -l /proc/$PPID/fd | grep -c \"$TMPDIR/quorvel.*(deleted)\")\\n"
	    "i=$(ls -l /proc/$$/fd | grep -c -e \"(deleted)\" -e \"[.]gz$\")\\n"
	    "echo copies $((c > 0)), inherited $i >> spy.log; exec %s \"$@\"\\n' \"$(command -v gzip)\" > spy/gzip && "
	    "chmod +x spy/gzip && TMPDIR=$PWD/tmp PATH=$PWD/spy:$PATH $Q f b.gz b.gz | "
	    "cmp - <($Q a.log b.log b.log) && cat spy.log && ls tmp");
	EXPECT_EQ(r.out, "copies 1, inherited 1\ncopies 1, inherited 1\n");
	EXPECT_EQ(r.err, "");
}

}
