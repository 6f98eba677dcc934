/*
 * Files that change under the run, as log rotation changes them: each is
 * said once, leaves the status 1, and never puts a torn or foreign line
 * in the output, while every other file is printed whole.
 */
#include <algorithm>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"
#include "quorvel_io.h"

namespace {

struct Change : testing::Test {
	void SetUp() override { stages_reset(); }
	void TearDown() override { stages_reset(); }
};

/* A line of t seconds after 08:00:00 on 5 March 2003, in a given year. */
std::string
clf(int t, const std::string &path, int year = 2003)
{
	char buf[96];
	snprintf(buf, sizeof buf, "10.0.0.1 - - [05/Mar/%d:%02d:%02d:%02d +0000] \"GET ", year,
	    8 + t / 3600, t / 60 % 60, t % 60);
	return buf + path + " HTTP/1.0\" 200 5\n";
}

/* n lines from second first on, every step seconds, tagged. */
std::string
log(const std::string &tag, int n, int first, int step, int year = 2003)
{
	std::string text;
	for (int i = 0; i < n; i++)
		text += clf(first + i * step, "/" + tag + std::to_string(i), year);
	return text;
}

std::vector<std::string>
lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string l; std::getline(in, l);)
		lines.push_back(l);
	return lines;
}

/* Every line of out is a line of texts, or a prefix of one of long. */
testing::AssertionResult
whole_lines(const std::string &out, const std::vector<std::string> &texts, const std::string &longline = "")
{
	std::set<std::string> known;
	for (const std::string &t : texts)
		for (const std::string &l : lines_of(t))
			known.insert(l);
	for (const std::string &l : lines_of(out))
		if (known.count(l) == 0 && (l.empty() || longline.compare(0, l.size(), l) != 0)) {
			return testing::AssertionFailure() << "foreign line: " << l.substr(0, 120);
		}
	return testing::AssertionSuccess();
}

/* Every line of text is in out. */
testing::AssertionResult
all_lines(const std::string &out, const std::string &text)
{
	std::vector<std::string> have = lines_of(out);
	std::set<std::string> got(have.begin(), have.end());
	for (const std::string &l : lines_of(text))
		if (got.count(l) == 0) {
			return testing::AssertionFailure() << "missing line: " << l;
		}
	return testing::AssertionSuccess();
}

struct output {
	std::string out, err;
};

/* The stages after the count, with a shell command run where asked. */
output
run_changed(const std::string &change, bool after_scan)
{
	output o;
	testing::internal::CaptureStderr();
	if (!after_scan) {
		EXPECT_EQ(system(("cd " + scratch_dir() + " && " + change).c_str()), 0);
	}
	linedate_parse();
	linedate_sort();
	if (after_scan) {
		EXPECT_EQ(system(("cd " + scratch_dir() + " && " + change).c_str()), 0);
	}
	testing::internal::CaptureStdout();
	linedate_output();
	fflush(stdout);
	o.out = testing::internal::GetCapturedStdout();
	o.err = testing::internal::GetCapturedStderr();
	return o;
}

TEST_F(Change, BetweenTheCountAndTheScan)
{
	/* A FIFO in a file's place must not stop the run, at either pass. */
	/* Emptied and written anew, as copytruncate and the server do. */
	const char *changes[] = {"rm b", "truncate -s 10 b", "mv c b", "cat c > b", "rm b && cp c b",
	    "rm b && mkfifo b", "rm b && mkfifo b"};
	for (const char *change : changes) {
		bool after_scan = &change == &changes[6];
		stages_reset();
		ASSERT_EQ(system(("rm -rf " + scratch_dir() + "/*").c_str()), 0);
		std::string a = scratch_write("a", log("a", 3, 0, 2));
		std::string b = scratch_write("b", log("b", 3, 1, 2));
		scratch_write("c", log("c", 6, 1, 1));
		stages_count({a, b});
		output o = run_changed(change, after_scan);
		EXPECT_EQ(o.out, log("a", 3, 0, 2)) << change;
		EXPECT_EQ(o.err, "Cannot read " + b + " again\n") << change;
		EXPECT_EQ(logfiles_lost, 1u) << change;
	}
}

TEST_F(Change, RewrittenInPlaceBeforeTheOutput)
{
	/* b in order, read through a window, and in scattered order, read in place. */
	std::vector<std::string> shuffled = lines_of(log("b", 2000, 1, 2));
	std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
	std::string a_text = log("a", 200, 0, 2), b_orders[] = {log("b", 2000, 1, 2), ""};
	for (const std::string &l : shuffled)
		b_orders[1] += l + "\n";
	/* And where no file is read in place, as where a mapping fails. */
	for (int i = 0; i < 3; i++) {
		const std::string &b_text = b_orders[i > 0];
		linedates_map = i < 2;
		/* Same file, same or larger size, its bytes moved by a few places. */
		/* Or its second line's year changed, every length and the ends kept. */
		std::string redated = b_text;
		redated.replace(redated.find("/2003:", redated.find('\n')), 6, "/2004:");
		std::string shifts[] = {"xy" + b_text, b_text.substr(3) + "abc",
		    b_text.substr(0, 5000) + b_text.substr(5004) + "tail", redated};
		for (const std::string &shifted : shifts) {
			stages_reset();
			std::string a = scratch_write("a", a_text), b = scratch_write("b", b_text);
			scratch_write("shifted", shifted);
			stages_count({a, b});
			output o = run_changed("dd if=shifted of=b conv=notrunc status=none", true);
			EXPECT_EQ(o.err, "Cannot read " + b + " again\n");
			EXPECT_EQ(logfiles_lost, 1u);
			EXPECT_TRUE(whole_lines(o.out, {a_text, b_text}));
			EXPECT_TRUE(all_lines(o.out, a_text));
		}
	}
	linedates_map = true;
}

/*
 * The output pass reads a copy that is cut short: the file shrinks while
 * its lines go out in scattered order, one of them a long line.
 */
TEST_F(Change, ShrinksWhileItIsPrinted)
{
	std::string longline = clf(3, "/" + std::string(11000, 'l'));
	std::vector<std::string> shuffled = lines_of(log("a", 300, 10, 7));
	std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
	std::string a_text = longline;
	for (const std::string &l : shuffled)
		a_text += l + "\n";
	std::string b_text = log("b", 300, 1, 7);
	bool some_long_piece = false;
	for (size_t cut = 2000; cut < 16000; cut += 1700) {
		stages_reset();
		std::string a = scratch_write("a", a_text), b = scratch_write("b", b_text);
		std::string cutpath = scratch_write("a.cut", a_text.substr(0, cut));
		stages_count({a, b});
		linedate_parse();
		linedate_sort();
		logfiles_begin->copy = fopen(cutpath.c_str(), "r");
		testing::internal::CaptureStderr();
		testing::internal::CaptureStdout();
		linedate_output();
		fflush(stdout);
		std::string out = testing::internal::GetCapturedStdout();
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot read " + a + " again\n") << cut;
		EXPECT_TRUE(whole_lines(out, {a_text, b_text}, longline)) << cut;
		EXPECT_TRUE(all_lines(out, b_text)) << cut;
		some_long_piece |= out.find("llll\n") != std::string::npos;
	}
	EXPECT_TRUE(some_long_piece);
}

/* Truncated and refilled, as copytruncate does, while the output waits on a full pipe. */
TEST(ChangeRun, RefilledWhileTheOutputWaits)
{
	std::string live = log("live", 100000, 0, 2), other = log("other", 100000, 1, 2);
	scratch_write("live.log", live);
	scratch_write("other.log", other);
	scratch_write("refill", log("new-and-longer", 120000, 0, 1, 2004));
	run_result r = run_shell("$Q live.log other.log 2>err | "
	    "{ dd bs=65536 count=1 iflag=fullblock 2>/dev/null; : > live.log; cat refill >> live.log; cat; }; "
	    "echo ${PIPESTATUS[0]} > status");
	EXPECT_EQ(scratch_read(scratch_dir() + "/status"), "1\n");
	EXPECT_EQ(scratch_read(scratch_dir() + "/err"), "Cannot read live.log again\n");
	EXPECT_TRUE(whole_lines(r.out, {live, other}));
	EXPECT_TRUE(all_lines(r.out, other));
}

/*
 * Run a command of quorvel's, make the change once its output waits on a
 * full pipe, then read the rest: the output, what was said and the status.
 */
output
changed_while_waiting(const std::string &command, const std::string &change, std::string *status)
{
	output o;
	o.out = run_shell("export ASAN_OPTIONS=detect_leaks=0; " + command + " 2>err | "
	    "{ dd bs=65536 count=1 iflag=fullblock 2>/dev/null; " + change + "; cat; }; "
	    "echo ${PIPESTATUS[0]} > status").out;
	o.err = scratch_read(scratch_dir() + "/err");
	*status = scratch_read(scratch_dir() + "/status");
	return o;
}

/*
 * Cut short while the output waits on a pipe: a log read through its
 * window, and one whose lines, in scattered order, are read in place,
 * where a read past its new end would fault.
 */
TEST(ChangeRun, CutShortWhileTheOutputWaits)
{
	std::string other = log("other", 100000, 1, 2);
	std::vector<std::string> lines = lines_of(log("live", 100000, 0, 2));
	std::string inorder, scattered;
	for (const std::string &l : lines)
		inorder += l + "\n";
	std::shuffle(lines.begin(), lines.end(), std::mt19937(11));
	for (const std::string &l : lines)
		scattered += l + "\n";
	scratch_write("other.log", other);
	for (const std::string &live : {inorder, scattered}) {
		std::string status;
		scratch_write("live.log", live);
		output o = changed_while_waiting("$Q live.log other.log", "truncate -s 1000000 live.log", &status);
		EXPECT_EQ(status, "1\n");
		EXPECT_EQ(o.err, "Cannot read live.log again\n");
		EXPECT_TRUE(whole_lines(o.out, {live, other}));
		EXPECT_TRUE(all_lines(o.out, other));
	}
}

/*
 * A log read in place, changed while the output waits: redated in place,
 * cut short where its unterminated last line starts, inside the last page,
 * whose rest then reads as zero bytes; or sent a SIGBUS from outside,
 * which still ends the run as it always did.
 */
TEST(ChangeRun, ReadInPlaceWhileChanged)
{
	std::vector<std::string> lines = lines_of(log("t", 100000, 0, 2));
	std::shuffle(lines.begin(), lines.end(), std::mt19937(3));
	std::string text;
	for (const std::string &l : lines)
		text += l + "\n";
	std::string pad = clf(0, "/pad");
	text += pad.insert(pad.find(" HTTP"), std::string((4096 + 100 - (text.size() + pad.size()) % 4096) % 4096, 'p'));
	std::string last = clf(300000, "/last");
	const std::string changes[][3] = {
		{"$Q t.log", "sed s#/2003:#/2002:# t.log > t2 && dd if=t2 of=t.log conv=notrunc status=none", "1\n"},
		{"$Q t.log", "truncate -s " + std::to_string(text.size()) + " t.log", "1\n"},
		{"( $Q t.log & echo $! > pid; wait $! )", "kill -BUS $(cat pid)", "135\n"}};
	for (const auto &c : changes) {
		std::string status;
		scratch_write("t.log", text + last.substr(0, last.size() - 1));
		output o = changed_while_waiting(c[0], c[1], &status);
		EXPECT_EQ(status, c[2]) << c[1];
		if (c[2] != "1\n") {
			/* Killed: what it wrote ends anywhere. */
			EXPECT_EQ(o.err.find("Cannot"), std::string::npos) << o.err;
			continue;
		}
		EXPECT_EQ(o.err, "Cannot read t.log again\n") << c[1];
		EXPECT_TRUE(whole_lines(o.out, {text, last})) << c[1];
		EXPECT_EQ(o.out.find('\0'), std::string::npos) << c[1];
	}
}

/*
 * Closed for the other logs' sake at the limit on open files, then
 * replaced or emptied and refilled before its next line goes out.
 */
TEST(ChangeRun, ReplacedWhileClosedAtTheOpenLimit)
{
	/* r.log's first line goes out first, its others last; the rest fill the pipe between. */
	std::string r_text = clf(0, "/r0") + log("r", 50, 50000, 1), names;
	std::vector<std::string> texts = {r_text};
	scratch_write("new", clf(0, "/s0") + log("s", 50, 50000, 1));
	for (int k = 0; k < 40; k++) {
		texts.push_back(log("o" + std::to_string(k + 10), 1000, k + 1, 40));
		scratch_write("o" + std::to_string(k), texts.back());
		names += " o" + std::to_string(k);
	}
	for (const char *change : {"mv new r.log", ": > r.log && cat new >> r.log"}) {
		std::string status;
		scratch_write("r.log", r_text);
		scratch_write("new", clf(0, "/s0") + log("s", 50, 50000, 1));
		output o = changed_while_waiting("ulimit -n 12; $Q r.log" + names, change, &status);
		EXPECT_EQ(status, "1\n") << change;
		EXPECT_EQ(o.err, "Cannot read r.log again\n") << change;
		EXPECT_TRUE(whole_lines(o.out, texts)) << change;
		for (size_t k = 1; k < texts.size(); k++)
			EXPECT_TRUE(all_lines(o.out, texts[k])) << change;
	}
}

/*
 * Among many logs, whose windows hold a few long lines only, one larger
 * than its window is read in place from the start: changed while it is
 * read, or, opened only when first read at the limit on open files,
 * changed before that.  Once mapped, it is read as counted whatever takes
 * its name, as one held open is.
 */
TEST(ChangeRun, ReadInPlaceFromTheStartAmongManyLogs)
{
	std::string others, names, tag = "live" + std::string(3500, 'x');
	for (int k = 0; k < 300; k++) {
		std::string text = log("o" + std::to_string(k), 100, k + 1, 400);
		others += text;
		scratch_write("o" + std::to_string(k), text);
		names += " o" + std::to_string(k);
	}
	std::string redate = "sed s#/2003:#/2002:# live.log > t2 && dd if=t2 of=live.log conv=notrunc status=none";
	std::string refill = ": > live.log && cat new >> live.log";
	std::string lost = "Cannot read live.log again\n";
	/* live.log read alongside the others, or only after them. */
	const std::string cases[][4] = {
		{"$Q live.log" + names, "truncate -s 1000000 live.log", "0", lost},
		{"$Q live.log" + names, refill, "0", lost},
		{"$Q live.log" + names, redate, "0", lost},
		{"ulimit -n 24; $Q live.log" + names, "mv new live.log", "0", ""},
		{"ulimit -n 24; $Q" + names + " live.log", "mv new live.log", "100000", lost},
		{"ulimit -n 24; $Q" + names + " live.log", refill, "100000", lost},
	};
	for (const auto &c : cases) {
		std::string status, live = log(tag, 3000, std::stoi(c[2]), 2);
		scratch_write("live.log", live);
		scratch_write("new", log(tag, 3000, 0, 2, 2004));
		output o = changed_while_waiting(c[0], c[1], &status);
		EXPECT_EQ(status, c[3].empty() ? "0\n" : "1\n") << c[0] << c[1];
		EXPECT_EQ(o.err, c[3]) << c[0] << c[1];
		EXPECT_TRUE(whole_lines(o.out, {others, live})) << c[1];
		EXPECT_TRUE(all_lines(o.out, c[3].empty() ? others + live : others)) << c[1];
	}
}

/* Rewritten in place while the output waits on a pipe, in the middle of a long line. */
TEST(ChangeRun, ALongLineIsNeverJoinedFromTwoVersions)
{
	if (access("/proc/self/wchan", R_OK) != 0)
		GTEST_SKIP() << "no /proc/PID/wchan to tell when the output waits";
	std::string date = "10.0.0.1 - - [05/Mar/2003:08:00:01 +0000] \"GET /";
	std::string text = std::string(3 << 20, 'x'), longline = date + text + "\" 200 1\n";
	/* Changed all through, or at its start and its end only. */
	std::string ends = "NEW" + text.substr(3, text.size() - 6) + "NEW";
	for (const std::string &changed : {std::string(3 << 20, 'y'), ends}) {
		scratch_write("g.log", longline + log("g", 100, 2, 1));
		scratch_write("new", date + changed + "\" 200 1\n" + log("g", 100, 2, 1));
		run_result r = run_shell("rm -f out && mkfifo out && { $Q g.log > out 2>err & pid=$!; exec 3<out; "
		    "for i in $(seq 1000); do case $(cat /proc/$pid/wchan) in *pipe_write) break;; esac; "
		    "sleep 0.01; done; "
		    "dd if=new of=g.log conv=notrunc status=none; cat <&3; wait $pid; echo $? > status; }");
		EXPECT_EQ(scratch_read(scratch_dir() + "/status"), "1\n");
		EXPECT_EQ(scratch_read(scratch_dir() + "/err"), "Cannot read g.log again\n");
		/* The long line went out in part, from the file as it was, and was ended. */
		EXPECT_EQ(r.out.rfind(date + "xxx", 0), 0u);
		EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
		EXPECT_TRUE(whole_lines(r.out, {}, longline));
	}
}

TEST(Count, BeyondThirtyTwoBits)
{
	/* As if 2^32 - 2 blocks' worth of one-newline reads had gone before. */
	std::string block(65536, '\n');
	logfile_counter c = {(UINT64_C(1) << 32) - 2 * block.size(), 0};
	for (int i = 0; i < 4; i++)
		logfile_countblock(&c, block.data(), block.size());
	logfile_countblock(&c, std::string(3999 * 3, 'x').data(), 3999 * 3);
	EXPECT_EQ(logfile_countend(&c), (UINT64_C(1) << 32) + 2 * block.size() + 3);
}

}
