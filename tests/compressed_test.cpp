/* Compressed logs, read through the system's tools, run end to end. */
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support.h"
#include "quorvel.h"

namespace {

const std::string trace = quorvel_freebsd ? "$Q -g " : "$Q -v ";

/* Does a run's standard error end with this, and name a failure once? */
bool
says_once(const run_result &r, const std::string &end)
{
	return r.err.size() >= end.size() && r.err.compare(r.err.size() - end.size(), end.size(), end) == 0 &&
	    r.err.find("Cannot") == r.err.rfind("Cannot");
}

/*
 * Two logs whose lines interleave, past a pipe's buffer and with a line
 * of several bounded reads; and which tools are missing, where CI, which
 * installs them all, makes that a failure.
 */
std::string
write_logs(const std::vector<std::string> &tools)
{
	run_result r = run_shell("for i in $(seq 1000 3999); do s=$((i % 60)); "
	    "printf '10.0.0.1 - - [05/Mar/2003:08:%02d:%02d +0000] \"GET /%s\" 200 1\\n' $((i / 60 % 60)) $s a$i >> a.log; "
	    "printf '10.0.0.2 - - [05/Mar/2003:08:%02d:%02d +0000] \"GET /%s\" 200 1\\n' $((i / 60 % 60)) $s b$i >> b.log; "
	    "done; printf '10.0.0.3 - - [05/Mar/2003:08:10:00 +0000] \"GET /%09000d\"\\n' 0 >> b.log");
	EXPECT_EQ(r.status, 0);
	std::string missing;
	for (const std::string &t : tools)
		if (run_shell("command -v " + t).status != 0)
			missing += " " + t;
	if (!missing.empty() && getenv("QUORVEL_REQUIRE_DECOMPRESSORS") != nullptr &&
	    std::string(getenv("QUORVEL_REQUIRE_DECOMPRESSORS")) == "1")
		ADD_FAILURE() << "not on PATH:" << missing;
	return missing;
}

TEST(Compressed, EachFormatMergesAsItsText)
{
	std::string missing = write_logs({"gzip", "bzip2", "xz", "zstd"});
	for (std::string t : {"gzip", "bzip2", "xz", "zstd"}) {
		if (missing.find(" " + t) != std::string::npos)
			continue;
		/* Known by its first bytes, not by its name; traces count its text. */
		for (const std::string &pair : {
		    trace + "a.log b.log|mkdir -p z && cp a.log z && " + t + " -c b.log > z/b.log && cd z && " + trace + "a.log b.log",
		    trace + "a.log /dev/stdin < b.log|" + t + " -c b.log | " + trace + "a.log /dev/stdin",
		    /* An inherited SIG_IGN for children must not lose their status. */
		    "$Q a.log b.log|" + t + " -c b.log > b.z && perl -e '$SIG{CHLD} = \"IGNORE\"; exec @ARGV' $Q a.log b.z"}) {
			std::string plain = pair.substr(0, pair.find('|'));
			std::string compressed = pair.substr(pair.find('|') + 1);
			run_result want = run_shell(plain), r = run_shell(compressed);
			EXPECT_EQ(r.out, want.out) << compressed;
			EXPECT_EQ(r.err, want.err) << compressed;
			EXPECT_EQ(r.status, 0) << compressed;
		}
	}
	if (!missing.empty())
		GTEST_SKIP() << "not on PATH, so not tried:" << missing;
}

TEST(Compressed, ToolThatFailsLosesThatInputWhole)
{
	if (!write_logs({"gzip"}).empty())
		GTEST_SKIP() << "no gzip on PATH";
	std::string a = run_shell("$Q a.log").out;
	run_shell("gzip -c b.log > b.gz && head -c 4000 b.gz > cut.gz && mkdir -p none dies && "
	    "printf '#!/bin/sh\\nhead -n 100 a.log; kill -KILL $$\\n' > dies/gzip && chmod +x dies/gzip");
	struct {
		const char *script, *name, *tool_says;
	} cases[] = {
		{"$Q a.log cut.gz", "cut.gz", "gzip: stdin: unexpected end of file\n"},
		{"head -c 4000 b.gz | $Q a.log /dev/stdin", "/dev/stdin", "gzip: stdin: unexpected end of file\n"},
		{"PATH=$PWD/none $Q a.log b.gz", "b.gz", ""},
		{"PATH=$PWD/dies:$PATH $Q a.log b.gz", "b.gz", ""},
	};
	for (const auto &c : cases) {
		run_result r = run_shell(c.script);
		/* Not even what came out before the fault. */
		EXPECT_EQ(r.out, a) << c.script;
		EXPECT_TRUE(says_once(r, c.tool_says + std::string("Cannot copy ") + c.name + "\n")) << c.script << r.err;
		EXPECT_EQ(r.status, 1) << c.script;
	}
}

TEST(Compressed, CopiesInTmpdir)
{
	if (!write_logs({"gzip"}).empty())
		GTEST_SKIP() << "no gzip on PATH";
	/* A copy that cannot be made ends the run before any output. */
	for (const char *script : {"gzip -c b.log > b.gz && TMPDIR=$PWD/none $Q a.log b.gz",
	    "cat a.log | TMPDIR=$PWD/none $Q b.log /dev/stdin",
	    "trap '' XFSZ; ulimit -f 100; gzip -c b.log b.log > b.gz && $Q a.log b.gz"}) {
		run_result r = run_shell(script);
		EXPECT_EQ(r.out, "") << script;
		EXPECT_TRUE(says_once(r, std::string("Cannot copy ") + (script[0] == 'c' ? "/dev/stdin" : "b.gz") + "\n"))
		    << script << r.err;
		EXPECT_EQ(r.status, 1) << script;
	}
	/* The tool finds the copies there, unlinked, and inherits none of them. */
	run_result r = run_shell("mkdir -p spy tmp && mkfifo f && { cat a.log > f & } && "
	    "printf '#!/bin/sh\\nc=$(ls -l /proc/$PPID/fd | grep -c \"$TMPDIR/quorvel.*(deleted)\")\\n"
	    "i=$(ls -l /proc/$$/fd | grep -c -e \"(deleted)\" -e \"[.]gz$\")\\n"
	    "echo copies $((c > 0)), inherited $i >> spy.log; exec %s \"$@\"\\n' \"$(command -v gzip)\" > spy/gzip && chmod +x spy/gzip && "
	    "gzip -c b.log > b.gz && TMPDIR=$PWD/tmp PATH=$PWD/spy:$PATH $Q f b.gz b.gz | cmp - <($Q a.log b.log b.log) && "
	    "cat spy.log && ls tmp");
	EXPECT_EQ(r.out, "copies 1, inherited 1\ncopies 1, inherited 1\n");
	EXPECT_EQ(r.err, "");
}

}
