/*
 * Compressed logs, decompressed in the program by the system's libraries
 * or by its tools, run end to end.
 */
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support.h"
#include "quorvel_io.h"

namespace {

const char *const tools[] = {"gzip", "bzip2", "xz", "zstd"};
const char *const libraries[] = {"libz.so.1", "libbz2.so.1.0", "liblzma.so.5", "libzstd.so.1"};

/*
 * a.log and b.log interleave past a pipe's buffer, b.log with a line of
 * several reads.  tools/ holds for each tool one that notes in ran that
 * it ran; nolib/ a library of each name that cannot be loaded, so that
 * $TOOLS leaves the decompressing to the tools.  The tools missing are
 * skipped, or fail where CI asks for every one.
 */
std::string
write_logs(const std::vector<std::string> &need)
{
	EXPECT_EQ(run_shell("for i in $(seq 1000 3999); do for h in a b; do printf '10.0.0.1 - - "
	    "[05/Mar/2003:%02d:%02d:%02d +0000] \"GET /%s\" 200 1\\n' $((i / 3600)) $((i / 60 % 60)) $((i % 60)) "
	    "$h$i >> $h.log; done; done; printf '10.0.0.3 - - [05/Mar/2003:00:30:00 +0000] \"GET /%09000d\"\\n' 0 >> b.log; "
	    "mkdir -p tools nolib none; for t in gzip bzip2 xz zstd; do p=$(command -v $t) && "
	    "printf '#!/bin/sh\\necho %s >> %s/ran\\nunset LD_LIBRARY_PATH\\nexec %s \"$@\"\\n' $t \"$PWD\" $p > tools/$t && "
	    "chmod +x tools/$t; done; for l in libz.so.1 libbz2.so.1.0 libbz2.so.1 liblzma.so.5 libzstd.so.1 libisal.so.2 libdeflate.so.0; do "
	    ": > nolib/$l; done")
	    .status, 0);
	std::string missing;
	for (const std::string &t : need)
		if (run_shell("command -v " + t).status != 0)
			missing += " " + t;
	const char *require = getenv("QUORVEL_REQUIRE_DECOMPRESSORS");
	if (!missing.empty() && require != nullptr && std::string(require) == "1")
		ADD_FAILURE() << "not on PATH:" << missing;
	return missing;
}

const std::string TOOLS = "PATH=$PWD/tools:$PATH LD_LIBRARY_PATH=$PWD/nolib ";

/* Does this program's kind of machine have the library? */
bool
has_library(const char *name)
{
	void *lib = dlopen(name, RTLD_NOW | RTLD_LOCAL);
	if (lib != nullptr)
		dlclose(lib);
	return lib != nullptr;
}

/* What ran noted, and no more of it. */
std::string
ran(void)
{
	std::string path = scratch_dir() + "/ran", text = scratch_read(path);
	unlink(path.c_str());
	return text;
}

TEST(Compressed, EachFormatMergesAsItsText)
{
	std::string missing = write_logs({"gzip", "bzip2", "xz", "zstd"});
	std::string q = quorvel_freebsd ? "$Q -g " : "$Q -v ";
	/* zlib at least, for this build's kind of machine, as CI installs it for each. */
	const char *require = getenv("QUORVEL_REQUIRE_DECOMPRESSORS");
	if (require != nullptr && std::string(require) == "1") {
		EXPECT_TRUE(has_library("libz.so.1")) << "no libz.so.1 for this build";
	}
	for (size_t k = 0; k < 4; k++) {
		std::string t = tools[k], lib = has_library(libraries[k]) ? "" : t + "\n";
		if (missing.find(" " + t) != std::string::npos)
			continue;
		/* Known by its first bytes, not its name, and traced with the lines of its text. */
		std::vector<std::vector<std::string>> cases = {
		    {q + "a.log b.log", "mkdir -p z && cp a.log z && " + t + " -c b.log > z/b.log && cd z && " + q +
			"a.log b.log", "-"},
		    {q + "a.log /dev/stdin < b.log", t + " -c b.log | " + q + "a.log /dev/stdin", "-"},
		    /* In the program where the library is, with the tool on hand but not run. */
		    {"$Q a.log b.log", t + " -c b.log > b.z && PATH=$PWD/tools:$PATH $Q a.log b.z", lib},
		    /* By the tool; its child ignored, as inherited, must still be waited for. */
		    {"$Q a.log b.log", t + " -c b.log > b.z && " + TOOLS +
			"perl -e '$SIG{CHLD} = \"IGNORE\"; exec @ARGV' $Q a.log b.z", t + "\n"}};
		/*
		 * With no tool at all; a compressed pipe and a compressed file with
		 * hardly a descriptor to spare; a second format after gzip with one
		 * but for the copies' file and the log read.
		 */
		if (lib.empty()) {
			cases.push_back({"$Q a.log b.log", t + " -c b.log > b.z && PATH=$PWD/none $Q a.log b.z", "-"});
			cases.push_back({"$Q a.log b.log", t + " -c a.log > a.z && " + t + " -c b.log > b.z && "
			    "cat a.z | (ulimit -n 6 && exec $Q /dev/stdin b.z)", "-"});
		}
		if (lib.empty() && has_library("libz.so.1"))
			cases.push_back({"$Q a.log b.log", "gzip -c a.log > a.gz && " + t + " -c b.log > b.z && "
			    "(ulimit -n 5 && exec $Q a.gz b.z)", "-"});
		for (const auto &c : cases) {
			run_result want = run_shell(c[0]), r = run_shell(c[1]);
			EXPECT_EQ(r.out, want.out) << c[1];
			EXPECT_EQ(r.err, want.err) << c[1];
			EXPECT_EQ(r.status, 0) << c[1];
			if (c[2] != "-") {
				EXPECT_EQ(ran(), c[2]) << c[1];
			}
		}
	}
	if (!missing.empty())
		GTEST_SKIP() << "not on PATH, so not tried:" << missing;
}

TEST(Compressed, DataOrToolOrCopyThatFails)
{
	std::string missing = write_logs({"gzip", "bzip2", "xz", "zstd"});
	if (missing.find(" gzip") != std::string::npos)
		GTEST_SKIP() << "no gzip on PATH";
	const char *tmp = getenv("TMPDIR");
	std::string a = run_shell("$Q a.log").out, nowhere = "No such file or directory in " + scratch_dir() +
	    "/nowhere; set TMPDIR to another directory";
	run_shell("gzip -c b.log > b.gz && head -c 4000 b.gz > cut.gz && mkdir dies && "
	    "printf '#!/bin/sh\\nhead -n 100 a.log; kill -KILL $$\\n' > dies/gzip && chmod +x dies/gzip");
	/*
	 * A tool that fails loses that input whole, even what came out before
	 * the fault; a copy that cannot be made ends the run before any output.
	 * Each says why in one line: where the library judged the data, the
	 * tool asked to confirm says nothing; where the tool decides, its own
	 * words come first (a reason ending in a space is the start of ours).
	 */
	std::vector<std::vector<std::string>> cases = {{"$Q a.log cut.gz", "cut.gz", "the data are cut short", a},
		{"head -c 4000 b.gz | $Q a.log /dev/stdin", "/dev/stdin", "the data are cut short", a},
		{"LD_LIBRARY_PATH=$PWD/nolib PATH=$PWD/none $Q a.log b.gz", "b.gz", "gzip is needed and not found on PATH", a},
		{"LD_LIBRARY_PATH=$PWD/nolib PATH=$PWD/dies:$PATH $Q a.log b.gz", "b.gz", "gzip -dc was killed by signal 9", a},
		{"TMPDIR=$PWD/nowhere $Q a.log b.gz", "b.gz", nowhere, ""},
		{"cat a.log | TMPDIR=$PWD/nowhere $Q b.log /dev/stdin", "/dev/stdin", nowhere, ""},
		{"ulimit -f 100; $Q a.log b.gz", "b.gz", std::string("File too large in ") +
		    (tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "; set TMPDIR to another directory", ""}};
	/* Cut short or damaged, each format fails alike in the program, with no tool to ask, and in its tool. */
	for (size_t k = 0; k < 4; k++) {
		std::string t = tools[k];
		if (missing.find(" " + t) != std::string::npos)
			continue;
		run_shell(t + " -c b.log > b." + t + " && head -c 3000 b." + t + " > cut." + t + " && cp b." + t +
		    " bad." + t + " && printf 'XXXX' | dd of=bad." + t + " bs=1 seek=1000 conv=notrunc status=none");
		/* Where this build's machine has no library for it, the tool alone decides. */
		bool lib = has_library(libraries[k]);
		std::string decided = t + " -dc exited with status ";
		for (std::string f : {"cut.", "bad."}) {
			std::string judged = f == "cut." ? "the data are cut short" : "the data are damaged";
			cases.push_back({"PATH=$PWD/none $Q a.log " + f + t, f + t,
			    lib ? judged : t + " is needed and not found on PATH", a});
			cases.push_back({"$Q a.log " + f + t, f + t, lib ? judged : decided, a});
			cases.push_back({TOOLS + "$Q a.log " + f + t, f + t, decided, a});
		}
	}
	for (const auto &c : cases) {
		run_result r = run_shell(c[0]);
		std::string said = "Cannot copy " + c[1] + ": " + c[2];
		EXPECT_EQ(r.out, c[3]) << c[0];
		if (c[2].back() == ' ') {
			size_t last = r.err.rfind('\n', r.err.size() - 2) + 1;
			EXPECT_EQ(r.err.compare(last, said.size(), said), 0) << c[0] << r.err;
			EXPECT_EQ(r.err.find("Cannot"), last) << c[0] << r.err;
		} else {
			EXPECT_EQ(r.err, said + "\n") << c[0];
		}
		EXPECT_EQ(r.status, 1) << c[0];
	}
}

/*
 * Each gzip decoder the system has, libdeflate, ISA-L's or both, gives
 * what zlib gives alone: the same text of whole data, the same message of
 * damaged or unusual data, to which zlib has the last word; big.gz's text
 * is more than libdeflate takes.
 */
TEST(Compressed, EveryGzipDecoderAsZlib)
{
	if (!write_logs({"gzip"}).empty())
		GTEST_SKIP() << "no gzip on PATH";
	ASSERT_EQ(run_shell("mkdir zlib noisal nodeflate && : > zlib/libisal.so.2 && : > zlib/libdeflate.so.0 && "
	    ": > noisal/libisal.so.2 && : > nodeflate/libdeflate.so.0 && gzip -c b.log > one.gz && gzip -c a.log | cat one.gz - > two.gz && "
	    "{ cat one.gz; printf junk; } > junk.gz && { cat one.gz; head -c 512 /dev/zero; } > zeros.gz && "
	    "n=$(wc -c < one.gz) && cp one.gz crc.gz && printf X | dd of=crc.gz bs=1 seek=$((n - 8)) conv=notrunc "
	    "status=none && cp one.gz len.gz && printf X | dd of=len.gz bs=1 seek=$((n - 4)) conv=notrunc status=none && "
	    "head -c $((n - 3)) one.gz > trailer.gz && head -c 1000 one.gz > cut.gz && cp one.gz flags.gz && "
	    "printf '\\040' | dd of=flags.gz bs=1 seek=3 conv=notrunc status=none && : | gzip > empty.gz && "
	    "head -c 300000 /dev/urandom | gzip -1 > stored.gz && for i in $(seq 50); do cat b.log; done | gzip > big.gz")
	    .status, 0);
	/* CI installs both for the 64-bit builds; 32-bit builds of them are rare. */
	const char *require = getenv("QUORVEL_REQUIRE_DECOMPRESSORS");
	if (sizeof(void *) == 8 && require != nullptr && std::string(require) == "1") {
		EXPECT_TRUE(has_library("libisal.so.2") && has_library("libdeflate.so.0"));
	}
	const std::string whole = " one two zeros empty stored big ";
	for (const char *f : {"one", "two", "junk", "zeros", "crc", "len", "trailer", "cut", "flags", "empty", "stored",
	    "big"}) {
		std::string run = "$Q a.log " + std::string(f) + ".gz";
		run_result want = run_shell("LD_LIBRARY_PATH=$PWD/zlib " + run);
		EXPECT_EQ(want.status, whole.find(" " + std::string(f) + " ") != std::string::npos ? 0 : 1) << f;
		for (const char *dir : {"", "noisal", "nodeflate"}) {
			run_result r = run_shell("LD_LIBRARY_PATH=$PWD/" + std::string(dir) + " " + run);
			EXPECT_EQ(r.out == want.out, true) << f << " " << dir;
			EXPECT_EQ(r.err, want.err) << f << " " << dir;
			EXPECT_EQ(r.status, want.status) << f << " " << dir;
		}
	}
	EXPECT_EQ(run_shell("gzip -dc big.gz > big.log && cmp <($Q big.log) <($Q big.gz)").status, 0);
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
	    "chmod +x spy/gzip && TMPDIR=$PWD/tmp PATH=$PWD/spy:$PATH LD_LIBRARY_PATH=$PWD/nolib $Q f b.gz b.gz | "
	    "cmp - <($Q a.log b.log b.log) && cat spy.log && ls tmp");
	EXPECT_EQ(r.out, "copies 1, inherited 1\ncopies 1, inherited 1\n");
	EXPECT_EQ(r.err, "");
}

}
