/* The program as a user runs it: exact stdout, stderr and exit status. */
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"
#include "quorvel_io.h"

namespace {

/* The switch that turns on level 1 in this build. */
const std::string V = quorvel_freebsd ? "-g" : "-v";

std::string
clf(const char *date, const std::string &path = "/")
{
	return std::string("192.0.2.1 - frank [") + date + " +0200] \"GET " + path +
	    " HTTP/1.1\" 200 2326\n";
}

const std::string usage_tail =
    " [-v] [-v] {files ...}\nuse one -v for debugging, and -v -v for extrem debug.\n"
    "sorted output will send via stdout.\n";

TEST(Run, NoArguments)
{
	run_result r = run_quorvel({});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

TEST(Run, HelpEndsAtOnceWithTheNameAsInvoked)
{
	if (quorvel_freebsd)
		GTEST_SKIP() << "no usage text in this build";
	run_result r = run_argv({"./merge", "a.log", "-v", "b.log", "-h", "-v", "c.log"}, QUORVEL_BIN);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "logfile_add (b.log)\n./merge" + usage_tail);
	EXPECT_EQ(r.status, 1);
	r = run_argv({"", "-h"}, QUORVEL_BIN);
	EXPECT_EQ(r.err, "quorvel" + usage_tail);
	EXPECT_EQ(r.status, 1);
}

TEST(Run, TraceOfAnEmptyRun)
{
	run_result r = run_quorvel({V});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "logfile_linecount ()\nlinedate_createbuffer ()\n" + alloc_trace(0) +
	    "linedate_sort ()\nlinedate_output ()\n");
	EXPECT_EQ(r.status, 0);
}

TEST(Run, TraceOfTwoFiles)
{
	std::string a = scratch_write("a.log", clf("05/Mar/2003:08:15:02") + clf("05/Mar/2003:08:15:04") +
	    clf("05/Mar/2003:08:15:06"));
	std::string b = scratch_write("b.log", clf("05/Mar/2003:08:15:03") + clf("05/Mar/2003:08:15:05"));
	run_result r = run_quorvel({V, a, b, scratch_dir() + "/missing.log"});
	EXPECT_EQ(r.out, expected_merge({a, b}));
	EXPECT_EQ(r.err, "logfile_add (" + a + ")\nlogfile_add (" + b + ")\nlogfile_add (" + scratch_dir() +
	    "/missing.log)\nlogfile_linecount ()\nFile " + a + " has 3 lines\nFile " + b + " has 2 lines\n"
	    "Cannot open " + scratch_dir() + "/missing.log: No such file or directory\nlinedate_createbuffer ()\n" + alloc_trace(8) + "linedate_parsefile (" + a + ")\n"
	    "linedate_parsefile (" + b + ")\nlinedate_parsefile (" + scratch_dir() + "/missing.log)\n"
	    "linedate_sort ()\nlinedate_output ()\n");
	EXPECT_EQ(r.status, 1);

	/* Only names after the switch are traced as they are added. */
	r = run_quorvel({a, V, b});
	EXPECT_EQ(r.err.find("logfile_add (" + a), std::string::npos);
	EXPECT_EQ(r.err.rfind("logfile_add (" + b + ")\nlogfile_linecount ()\n", 0), 0u);
}

TEST(Run, HigherTraceLevels)
{
	std::string a = scratch_write("a.log", clf("05/Mar/2003:08:15:02") + "\n");
	run_result r2 = run_quorvel({V, V, a});
	run_result r3 = run_quorvel({V, V, V, a});
	std::string open = "linedate_output (): openfile " + a + "\n";
	std::string line = "linedate_parsefile (2003/3/5 8:15:2 -> 104919302 -> 104919302)\n";
	if (quorvel_freebsd) {
		EXPECT_EQ(r3.err, run_quorvel({V, a}).err);
		return;
	}
	EXPECT_NE(r2.err.find("linedate_output ()\n" + open), std::string::npos);
	EXPECT_EQ(r2.err.find(line), std::string::npos);
	EXPECT_NE(r3.err.find("linedate_parsefile (" + a + ")\n" + line + "linedate_sort"), std::string::npos);
}

/* A name that cannot be read is said where its count would be, and every other input is merged. */
TEST(Run, NamesThatCannotBeOpened)
{
	scratch_write("a.log", clf("05/Mar/2003:08:15:02", "/a"));
	scratch_write("b.log", clf("05/Mar/2003:08:15:01", "/b"));
	scratch_write("secret", clf("05/Mar/2003:08:15:00", "/secret"));
	ASSERT_EQ(run_shell("mkdir d && chmod 755 . && chmod 644 a.log b.log && chmod 600 secret").status, 0);
	/* Root reads whatever it likes: the run is made as nobody. */
	std::string as = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "chmod 0 secret && ";
	const struct {
		const char *name, *why;
	} names[] = {{"nosuch", "No such file or directory"}, {"secret", "Permission denied"},
	    {"d", "Is a directory"}, {"-", "No such file or directory"}, {"--help", "No such file or directory"},
	    {"-vv", "No such file or directory"}};
	std::string args, said;
	for (const auto &n : names) {
		args += std::string(" ") + n.name;
		said += std::string("Cannot open ") + n.name + ": " + n.why + "\n";
	}
	run_result r = run_shell(as + "$Q a.log" + args + " b.log");
	EXPECT_EQ(r.out, clf("05/Mar/2003:08:15:01", "/b") + clf("05/Mar/2003:08:15:02", "/a"));
	EXPECT_EQ(r.err, said);
	EXPECT_EQ(r.status, 1);
	r = run_shell("$Q " + V + " a.log nosuch b.log");
	EXPECT_NE(r.err.find("logfile_linecount ()\nFile a.log has 1 lines\nCannot open nosuch: No such file or "
	    "directory\nFile b.log has 1 lines\nlinedate_createbuffer ()\n"), std::string::npos) << r.err;
	EXPECT_EQ(r.status, 1);
}

TEST(Run, OnlyWholeSwitchesAreSwitches)
{
	std::vector<std::string> names = {"-vv", "-x", "--help", "-", " lead", quorvel_freebsd ? "-v" : "-g"};
	for (const std::string &n : names)
		scratch_write(n, clf("05/Mar/2003:08:15:02", "/" + n));
	std::string script = "$Q";
	for (const std::string &n : names)
		script += " './" + n + "'";
	std::vector<std::string> paths;
	for (const std::string &n : names)
		paths.push_back(scratch_dir() + "/" + n);
	/* There -h is a file name too, given bare. */
	if (quorvel_freebsd) {
		paths.push_back(scratch_write("-h", clf("05/Mar/2003:08:15:02", "/-h")));
		script += " -h";
	}
	run_result r = run_shell(script);
	EXPECT_EQ(r.out, expected_merge(paths));
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

TEST(Run, MergedLinesAreWholeAndEnded)
{
	std::string longline = clf("05/Mar/2003:08:15:04", std::string(9000, 'l'));
	std::string exact = clf("05/Mar/2003:08:15:04", "/");
	exact.insert(exact.size() - 1, std::string(3999 - exact.size() + 1, 'e'));
	/* The entry written after a crash, behind the zero bytes left where data were lost. */
	std::string crashed = std::string(4, '\0') + clf("05/Mar/2003:08:15:07", "/after-crash");
	std::string a = scratch_write("a.log", clf("05/Mar/2003:08:15:02") + "\n\n" + exact + longline +
	    std::string("\0zero\n", 6) + clf("05/Mar/2003:08:15:06", std::string("/z\0z", 4)) + "\r\n" +
	    crashed + clf("05/Mar/2003:08:15:08").substr(0, 70));
	std::string last = clf("05/Mar/2003:08:15:05", "/");
	last.pop_back();
	last.append(3999 - last.size(), 'x');
	std::string b = scratch_write("b.log", clf("05/Mar/2003:08:15:03") + last);
	run_result r = run_quorvel({a, b, a});
	EXPECT_EQ(r.out, expected_merge({a, b, a}));
	EXPECT_NE(r.out.find(exact + longline + exact + longline), std::string::npos);
	EXPECT_NE(r.out.find(last + "\n"), std::string::npos);
	EXPECT_NE(r.out.find(crashed + clf("05/Mar/2003:08:15:08").substr(0, 70) + "\n"), std::string::npos);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

TEST(Run, DatesSortAsTheKeyDefinesThem)
{
	std::string a = scratch_write("a.log", clf("01/Jan/1933:00:00:00", "/1933") +
	    clf("30/Nov/1999:23:59:59", "/1999") + clf("01/Dec/1999:00:00:00", "/dec1999") +
	    clf("24/Sep/2066:03:14:07", "/2066"));
	std::string b = scratch_write("b.log", clf("31/Dec/2002:23:59:59", "/2002") +
	    clf("01/Jan/2003:00:00:00", "/2003") + clf("06/Feb/1933:20:45:52", "/feb1933"));
	run_result r = run_quorvel({a, b});
	EXPECT_EQ(r.out, clf("01/Dec/1999:00:00:00", "/dec1999") + clf("31/Dec/2002:23:59:59", "/2002") +
	    clf("01/Jan/2003:00:00:00", "/2003") + clf("01/Jan/1933:00:00:00", "/1933") +
	    clf("30/Nov/1999:23:59:59", "/1999") + clf("24/Sep/2066:03:14:07", "/2066") +
	    clf("06/Feb/1933:20:45:52", "/feb1933"));
}

/* Clients, virtual hosts and proxies that add pieces before the date. */
TEST(Run, LayoutsMergeByTheirBracketedDate)
{
	typedef std::string (*client)(int);
	client layouts[] = {
		[](int n) { return "2001:db8::" + std::to_string(n) + " - -"; },
		[](int n) { return "www.example.org:443 10.0.0." + std::to_string(n) + " - -"; },
		[](int n) { return n == 1 ? "10.0.0.1 - John Smith" : "203.0.113.9, 10.0.0." +
		    std::to_string(n) + (n == 0 ? " - -" : " - John Smith"); },
	};
	for (client host : layouts) {
		std::vector<std::string> paths, want(12);
		for (int s = 0; s < 3; s++) {
			std::string text;
			for (int i = 0; i < 4; i++) {
				int t = 3 * i + (s + i) % 3;
				char date[32];
				/* Across a month end, which the date's own pieces alone tell. */
				snprintf(date, sizeof date, "%02d/%s/2003:%02d:%02d:%02d", t < 6 ? 25 + t : t - 5,
				    t < 6 ? "Nov" : "Dec", t, 59 - t, t);
				want[size_t(t)] = host(s) + " [" + date + " +0100] \"GET /" + std::to_string(t) +
				    "\" 200 1\n";
				text += want[size_t(t)];
			}
			paths.push_back(scratch_write("s" + std::to_string(s), text));
		}
		run_result r = run_quorvel(paths);
		std::string merged;
		for (const std::string &l : want)
			merged += l;
		EXPECT_EQ(r.out, merged) << host(0);
		EXPECT_EQ(r.status, 0);
	}
}

/* Random logs of realistic and hostile lines merge as the rules say. */
TEST(Run, MergeProperty)
{
	static const char *dates[] = {"05/Mar/2003:08:15:02", "05/Mar/2003:08:15:03", "31/Dec/1999:23:59:59",
	    "01/Jan/2000:00:00:00", "30/Nov/1999:23:59:59", "01/Jan/1933:00:00:00", "24/Sep/2066:03:14:08",
	    "05/mar/2003:08:15:02", "00/Dec/1999:00:00:00"};
	static const size_t lengths[] = {3998, 3999, 4000, 7998, 7999, 12000};
	std::mt19937 rng(20261208);
	for (int round = 0; round < 40; round++) {
		std::vector<std::string> paths;
		int files = 1 + int(rng() % 4);
		for (int f = 0; f < files; f++) {
			std::string text;
			int lines = int(rng() % 30);
			for (int i = 0; i < lines; i++) {
				std::string l = clf(dates[rng() % 9], "/p" + std::to_string(rng() % 100));
				switch (rng() % 10) {
				case 0: l = "\n"; break;
				case 1: l.insert(l.size() - 1, "\r"); break;
				case 2: l[rng() % l.size()] = char(rng() % 3 == 0 ? 0 : '\t'); break;
				case 3: l.resize(lengths[rng() % 6] - 1, 'w'); l += '\n'; break;
				case 4: for (char &c : l) c = char(rng()); break;
				default: break;
				}
				text += l;
			}
			if (rng() % 3 == 0 && !text.empty() && text.back() == '\n')
				text.pop_back();
			paths.push_back(scratch_write("f" + std::to_string(f), text));
		}
		if (rng() % 4 == 0)
			paths.push_back(paths[0]);
		run_result r = run_quorvel(paths);
		ASSERT_EQ(r.out, expected_merge(paths)) << "round " << round;
		ASSERT_EQ(r.err, "");
		ASSERT_EQ(r.status, 0);
	}
}

}
