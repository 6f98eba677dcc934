/* Inputs and outputs that fight back, run end to end. */
#include <cstdlib>
#include <string>
#include <vector>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"
#include "quorvel_io.h"

namespace {

std::string
clf(int second, const std::string &path = "/")
{
	char buf[64];
	snprintf(buf, sizeof buf, "[05/Mar/2003:08:15:%02d +0000] \"GET ", second);
	return "10.1.1.1 - - " + std::string(buf) + path + " HTTP/1.0\" 200 99\n";
}

/* Two logs, a.log with even seconds and b.log with odd ones. */
void
write_pair(void)
{
	std::string a, b;
	for (int s = 0; s < 40; s += 2) {
		a += clf(s, "/a");
		b += clf(s + 1, "/b");
	}
	scratch_write("a.log", a);
	scratch_write("b.log", b);
}

TEST(Hostile, InputsThatAreNotFiles)
{
	write_pair();
	std::string want = run_shell("$Q a.log b.log").out;
	ASSERT_FALSE(want.empty());
	for (const char *script : {"$Q a.log <(cat b.log)", "cat b.log | $Q a.log /dev/stdin",
	    "mkfifo f && { cat b.log > f & } && $Q a.log f",
	    "gzip -c b.log > b.gz && $Q a.log <(gzip -dc b.gz)"}) {
		run_result r = run_shell(script);
		EXPECT_EQ(r.out, want) << script;
		EXPECT_EQ(r.err, "") << script;
		EXPECT_EQ(r.status, 0) << script;
		run_shell("rm -f f");
	}
}

TEST(Hostile, CopyThatCannotBeWritten)
{
	write_pair();
	/* A file size limit makes the temporary copy fail to grow. */
	run_result r = run_shell("trap '' XFSZ; ulimit -f 1; cat a.log a.log b.log | $Q a.log /dev/stdin");
	EXPECT_EQ(r.out, "");
	const char *tmp = getenv("TMPDIR");
	EXPECT_EQ(r.err, std::string("Cannot copy /dev/stdin: File too large in ") +
	    (tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "; set TMPDIR to another directory\n");
	EXPECT_EQ(r.status, 1);
}

TEST(Hostile, OutputThatCannotBeWritten)
{
	write_pair();
	for (const char *script : {"$Q a.log b.log >/dev/full", "$Q a.log b.log >&-", "ulimit -f 1; $Q a.log b.log > out"}) {
		run_result r = run_shell(script);
		EXPECT_EQ(r.err, "Cannot write to standard output\n") << script;
		EXPECT_EQ(r.status, 1) << script;
	}
	/* A reader that goes away ends the program as it ends cat. */
	run_result r = run_shell("$Q a.log b.log a.log b.log | head -c 10 >/dev/null; "
	    "echo ${PIPESTATUS[0]}");
	EXPECT_TRUE(r.out == "0\n" || r.out == "141\n") << r.out;
}

TEST(Hostile, InputsThatFailToRead)
{
	write_pair();
	std::string b = run_shell("$Q b.log").out;
	/* A regular file whose every read fails, and a device that fails to be copied. */
	run_result r = run_shell("$Q /proc/self/mem b.log");
	EXPECT_EQ(r.out, b);
	EXPECT_EQ(r.err, "Cannot read /proc/self/mem again\n");
	EXPECT_EQ(r.status, 1);
	if (access("/dev/net/tun", R_OK) != 0)
		GTEST_SKIP() << "no readable /dev/net/tun here";
	r = run_shell("$Q /dev/net/tun b.log");
	EXPECT_EQ(r.out, b);
	EXPECT_EQ(r.err, "Cannot copy /dev/net/tun: File descriptor in bad state\n");
	EXPECT_EQ(r.status, 1);
}

TEST(Hostile, PipesFilesAndTraces)
{
	std::string a, b;
	for (int i = 0; i < 20000; i++) {
		a += clf(i % 60, "/a" + std::to_string(i));
		b += clf(i % 60, "/b" + std::to_string(i));
	}
	scratch_write("a.log", a);
	scratch_write("b.log", b);
	run_result r = run_shell("$Q a.log b.log > file && $Q a.log b.log | cat > piped && cmp file piped && echo same");
	EXPECT_EQ(r.out, "same\n");
	/* A reader gone with SIGPIPE ignored is a write failure like any other. */
	r = run_shell("trap '' PIPE; $Q a.log b.log | true; echo ${PIPESTATUS[0]}");
	EXPECT_EQ(r.out, "1\n");
	EXPECT_EQ(r.err, "Cannot write to standard output\n");
	/* Traces and lines in one file come as they do apart: traces first. */
	std::string trace = quorvel_freebsd ? "$Q -g" : "$Q -v -v";
	run_result apart = run_shell(trace + " a.log b.log missing.log");
	r = run_shell(trace + " a.log b.log missing.log > both 2>&1; cat both");
	EXPECT_NE(apart.err.find("linedate_output ()\n"), std::string::npos);
	EXPECT_TRUE(r.out == apart.err + apart.out);
}

TEST(Hostile, TooManyFilesForTheOpenLimit)
{
	/* Plain logs, gzipped ones and a pipe, interleaving, far more than may be open at once. */
	std::vector<std::string> paths;
	std::string names, openfiles;
	for (int i = 0; i < 120; i++) {
		std::string n = "f" + std::to_string(1000 + i), text;
		for (int s = i % 7; s < 60; s += 7)
			text += clf(s, "/" + n);
		paths.push_back(scratch_write(n, text));
	}
	ASSERT_EQ(run_shell("gzip f100?").status, 0);
	for (int i = 0; i < 120; i++) {
		std::string n = i < 10 ? "f100" + std::to_string(i) + ".gz" : i < 119 ? "f" + std::to_string(1000 + i) : "/dev/stdin";
		paths[size_t(i)] = i < 10 ? paths[size_t(i)] + ".gz" : paths[size_t(i)];
		names += " " + n;
		openfiles += "linedate_output (): openfile " + n + "\n";
	}
	/* A leak checker at exit would need descriptors of its own. */
	std::string trace = quorvel_freebsd ? "" : " -v -v";
	run_result r = run_shell("export ASAN_OPTIONS=detect_leaks=0; ulimit -n 16; $Q" + trace + names + " < f1119");
	EXPECT_EQ(r.out, expected_merge(paths));
	EXPECT_EQ(r.status, 0);
	/* Each named once, in command-line order, before any line. */
	std::string tail = quorvel_freebsd ? "" : "linedate_output ()\n" + openfiles;
	EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), tail.size())), tail);
	EXPECT_EQ(r.err.find("Cannot"), std::string::npos);
}

TEST(Hostile, ThousandsOfFiles)
{
	run_result made = run_shell("for i in $(seq 10000 14999); do "
	    "printf '10.0.0.1 - - [05/Mar/2003:08:%02d:%02d +0000] \"GET /%s\" 200 1\\n' "
	    "$((i % 60)) $((i % 47)) $i > $i.log; done && "
	    /* Windows are small with this many files: a long read must still fit one. */
	    "printf '10.0.0.2 - - [05/Mar/2003:08:01:02 +0000] \"GET /%03990d\" 200 1\n' 7 7 >> 12345.log");
	ASSERT_EQ(made.status, 0);
	/* A soft limit below the count is raised to the hard one. */
	run_result r = run_shell("ulimit -Sn 1024 && { [ $(ulimit -Hn) = unlimited ] || [ $(ulimit -Hn) -gt 5100 ]; } && $Q *.log");
	if (r.status != 0 && r.err.empty())
		GTEST_SKIP() << "the hard limit on open files is below 5100";
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
	run_result sorted = run_shell("cat *.log | sort -s -t: -k3,3n -k4,4n");
	EXPECT_EQ(r.out, sorted.out);
}

TEST(Hostile, OneLineOfFiftyMegabytes)
{
	run_result r = run_shell("head -c 50000000 /dev/zero | tr '\\0' a > big && "
	    "$Q big | cmp - <(cat big; echo) && echo same");
	EXPECT_EQ(r.out, "same\n");
	EXPECT_EQ(r.status, 0);
}

TEST(Hostile, OffsetsPastTwoAndFourGigabytes)
{
	/* Sparse: the holes read as one blank line of zero bytes. */
	run_result r = run_shell(
	    "printf '%s' '" + clf(30, "/start") + "' > huge && "
	    "truncate -s 2200000000 huge && printf '\\n%s' '" + clf(10, "/2G") + "' >> huge && "
	    "truncate -s 4400000000 huge && printf '\\n%s' '" + clf(20, "/4G") + "' >> huge && "
	    "$Q huge; rm -f huge");
	EXPECT_EQ(r.out, clf(10, "/2G") + clf(20, "/4G") + clf(30, "/start"));
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

TEST(Hostile, ArbitraryBytes)
{
	std::string binary;
	uint32_t x = 12345;
	for (int i = 0; i < 200000; i++) {
		x = x * 1103515245u + 12345u;
		binary += char(x >> 23);
	}
	std::string zeros = std::string(5000, '\0') + "\n" + std::string("\0\0\n", 3) + clf(3, "/after-zeros");
	std::vector<std::string> paths = {
		scratch_write("binary", binary),
		scratch_write("cr-only", clf(5).substr(0, 60) + "\r" + clf(4).substr(0, 60) + "\r"),
		scratch_write("zeros", zeros),
		scratch_write("utf8", clf(2, "/\xff\xfe\xc3\x28/\xe2\x82") + clf(1, "/caf\xc3\xa9")),
		scratch_write("empty", ""),
	};
	run_result r = run_quorvel(paths);
	EXPECT_EQ(r.out, expected_merge(paths));
	EXPECT_NE(r.out.find(clf(3, "/after-zeros")), std::string::npos);
	EXPECT_EQ(r.out.find(std::string("\0\0\n", 3)), std::string::npos);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__has_feature)
#define QUORVEL_LIMITS_MEMORY 1
#elif defined(__has_feature)
#if !__has_feature(address_sanitizer)
#define QUORVEL_LIMITS_MEMORY 1
#endif
#endif

TEST(Hostile, NoMemoryForTheTable)
{
#ifdef QUORVEL_LIMITS_MEMORY
	/*
	 * Five million blank lines want a table far over a 64 MB address
	 * space.  An emulator running a 32-bit build cannot start in so
	 * little: there qemu bounds the program's space itself.
	 */
	run_result r = run_shell("head -c 5000000 /dev/zero | tr '\\0' '\\n' > blank && "
	    "if (ulimit -v 65536 && $Q) 2>/dev/null; then ulimit -v 65536; "
	    "else export QEMU_RESERVED_VA=0x4000000; fi && $Q blank");
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, quorvel_freebsd ? "No Memory\n" : "No memory\n");
	EXPECT_EQ(r.status, 1);
#else
	GTEST_SKIP() << "an address-space limit and the address sanitizer do not mix";
#endif
}

}
