/* The stages one at a time, through their globals. */
#include <sys/stat.h>

#include <fcntl.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"
#include "quorvel_io.h"

namespace {

struct Stages : testing::Test {
	void SetUp() override { stages_reset(); }
	void TearDown() override { stages_reset(); }
};

std::string
clf(int day, const char *mon, const char *time, const std::string &path = "/")
{
	char buf[128];
	snprintf(buf, sizeof buf, "10.0.0.%d - - [%02d/%s/2003:%s +0000] \"GET ", day, day, mon, time);
	return buf + path + " HTTP/1.0\" 200 5\n";
}

std::string
merge(const std::vector<std::string> &names)
{
	testing::internal::CaptureStdout();
	stages_run(names);
	return testing::internal::GetCapturedStdout();
}

TEST_F(Stages, CountingTakesBoundedReads)
{
	std::string a = scratch_write("a", std::string(3999, 'x') + "\n");
	std::string b = scratch_write("b", "one\n\ntwo");
	std::string c = scratch_write("c", "");
	std::string d = scratch_write("d", std::string(7998, 'x') + "\n" + std::string(4000, 'y'));
	debug = 1;
	testing::internal::CaptureStderr();
	stages_count({a, b, c, scratch_dir() + "/missing", d});
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err, "logfile_add (" + a + ")\nlogfile_add (" + b + ")\nlogfile_add (" + c +
	    ")\nlogfile_add (" + scratch_dir() + "/missing)\nlogfile_add (" + d + ")\n"
	    "logfile_linecount ()\nFile " + a + " has 2 lines\nFile " + b + " has 3 lines\n"
	    "File " + c + " has 0 lines\nCannot open " + scratch_dir() + "/missing: No such file or directory\n"
	    "File " + d + " has 5 lines\n"
	    "linedate_createbuffer ()\n" + alloc_trace(10 + 5));
	EXPECT_EQ(linedates_totalcount, 10u);
}

/*
 * Lines of every length around the limits, given in blocks cut anywhere:
 * the same reads counted, and the checksums of the first read and the last
 * bytes, as of the whole file.
 */
TEST_F(Stages, BlocksCutAnywhereCountAndSumAsTheFile)
{
	static const size_t lengths[] = {0, 1, 15, 16, 17, 63, 200, 2047, 2048, 2049, 3998, 3999, 4000,
	    4095, 6000, 7997, 7998, 7999, 12000};
	std::mt19937 rng(17);
	for (int round = 0; round < 200; round++) {
		std::string text;
		for (size_t size = rng() % 3 == 0 ? rng() % 100 : 40000; text.size() < size;)
			text += std::string(lengths[rng() % 19], 'x') + "\n";
		text.resize(text.size() - std::min<size_t>(text.size(), rng() % 3));
		for (size_t k = 0; k < text.size(); k++)
			text[k] = text[k] == '\n' ? '\n' : char('a' + k % 23);
		uint64_t want = 0, run = 0;
		for (char ch : text)
			if (++run, ch == '\n') {
				want += (run + 3998) / 3999;
				run = 0;
			}
		want += (run + 3998) / 3999;
		logfile_counter c = {0, 0};
		logfile_sum sum = {};
		/* The last few bytes come in small blocks, as a short last read brings them. */
		size_t tail = text.size() - std::min<size_t>(text.size(), rng() % 70);
		for (size_t at = 0, n; at < text.size(); at += n) {
			n = at < tail ? std::min<size_t>(tail - at, 1 + rng() % (rng() % 2 ? 20 : 9000)) :
			    std::min<size_t>(text.size() - at, 1 + rng() % 8);
			logfile_countblock(&c, text.data() + at, n);
			logfile_sumblock(&sum, text.data() + at, n);
		}
		ASSERT_EQ(logfile_countend(&c), want) << round;
		size_t nl = text.find('\n');
		size_t first = std::min({text.size(), size_t(3999), nl == std::string::npos ? text.size() : nl + 1});
		size_t last = std::min<size_t>(text.size(), 64);
		uint64_t head = 0, sum64 = 0;
		logfile_sumend(&sum, &head, &sum64);
		EXPECT_EQ(head, logfile_checksum(text.data(), first)) << round;
		EXPECT_EQ(sum64, logfile_checksum(text.data() + text.size() - last, last)) << round;
	}
}

TEST_F(Stages, TableHasOneSpareRecordPerFile)
{
	std::string a = scratch_write("a", "1\n2\n3\n");
	std::string b = scratch_write("b", "1\n2\n");
	debug = 1;
	testing::internal::CaptureStderr();
	stages_count({a, b});
	std::string err = testing::internal::GetCapturedStderr();
	if (sizeof(linedate) == 24) {
		EXPECT_NE(err.find(" 0.000160 "), std::string::npos);
	} else {
		EXPECT_EQ(sizeof(linedate), 16u);
		EXPECT_NE(err.find(" 0.000107 "), std::string::npos);
	}
	ASSERT_EQ(linedates_totalcount, 5u);
	for (int i = 0; i < 7; i++)
		EXPECT_TRUE(linedates_buffer[i].file == nullptr && linedates_buffer[i].time == 0 &&
		    linedate_offset(&linedates_buffer[i]) == 0);

	stages_reset();
	debug = 1;
	testing::internal::CaptureStderr();
	stages_count({});
	err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err, "logfile_linecount ()\nlinedate_createbuffer ()\n" + alloc_trace(0));
	EXPECT_NE(alloc_trace(0).find(" 0.000000 "), std::string::npos);
}

TEST_F(Stages, ScanFillsRecordsInFileOrder)
{
	std::string a = scratch_write("a", clf(5, "Mar", "08:15:02") + clf(5, "Mar", "08:15:04") +
	    clf(5, "Mar", "08:15:06"));
	std::string b = scratch_write("b", clf(5, "Mar", "08:15:03") + clf(5, "Mar", "08:15:05"));
	stages_count({a, b});
	linedate_parse();
	size_t len = clf(5, "Mar", "08:15:02").size();
	uint32_t keys[] = {104919302, 104919304, 104919306, 104919303, 104919305};
	for (int i = 0; i < 5; i++) {
		EXPECT_EQ(linedates_buffer[i].file, i < 3 ? logfiles_begin : logfiles_end);
		EXPECT_EQ(linedates_buffer[i].time, keys[i]);
		EXPECT_EQ(linedate_offset(&linedates_buffer[i]), (i < 3 ? i : i - 3) * len);
	}
	EXPECT_EQ(linedates_buffer[5].file, logfiles_end);
	EXPECT_EQ(linedates_buffer[5].time, 0u);
	EXPECT_EQ(linedate_offset(&linedates_buffer[5]), 2 * len);
}

TEST_F(Stages, ScanPassesOverBlankLinesOnly)
{
	std::string l = clf(5, "Mar", "08:15:02"), z(5000, '\0');
	const uint32_t key = 104919302, any = 1;
	int month = 3;
	/* A date cut by the end of a read: the key is of what the read holds. */
	const uint32_t cut = linedate_checkkey("1", 1, &month);
	/*
	 * Each line, and the keys of its records: one that begins with zero
	 * bytes has the key of its first read that holds another byte, from
	 * that byte on; a line of zero bytes alone is blank.
	 */
	const struct {
		std::string text;
		std::vector<uint32_t> keys;
	} lines[] = {
		{l, {key}}, {"\n", {}}, {z.substr(0, 3) + "\n", {}}, {z.substr(0, 3999) + "\n", {}},
		{std::string("\0x\n", 3), {any}}, {z.substr(0, 2) + l, {key}}, {z + l, {key, key}},
		{z.substr(0, 3998) + l, {cut, cut}}, {" " + l, {key}}, {"\r\n", {any}}, {l.substr(0, l.size() - 1), {key}},
		{z.substr(0, 3), {}},
	};
	std::string text;
	std::vector<std::pair<uint64_t, uint32_t>> want;
	for (const auto &line : lines) {
		for (size_t i = 0; i < line.keys.size(); i++)
			want.push_back({text.size() + i * 3999, line.keys[i]});
		text += line.text;
	}
	stages_count({scratch_write("a", text)});
	linedate_parse();
	for (size_t i = 0; i < want.size(); i++) {
		const linedate *r = &linedates_buffer[i];
		EXPECT_EQ(linedate_offset(r), want[i].first) << i;
		if (want[i].second == any)
			EXPECT_NE(r->time, 0u) << i;
		else
			EXPECT_EQ(r->time, want[i].second) << i;
	}
	EXPECT_EQ(linedates_buffer[want.size()].time, 0u);
	EXPECT_EQ(linedate_offset(&linedates_buffer[want.size()]), text.size());
}

TEST_F(Stages, MonthIsCarriedAcrossLinesAndFiles)
{
	std::string a = scratch_write("a", clf(5, "Apr", "08:15:02") + clf(5, "apr", "08:15:02"));
	std::string b = scratch_write("b", clf(5, "oct", "08:15:02"));
	stages_count({a, b});
	linedate_parse();
	EXPECT_EQ(linedates_buffer[0].time, linedates_buffer[1].time);
	EXPECT_EQ(linedates_buffer[0].time, linedates_buffer[2].time);
}

TEST_F(Stages, LongLinesKeepOneKey)
{
	std::string l = clf(5, "Mar", "08:15:02");
	std::string longline = l.substr(0, l.size() - 1) + std::string(9000 - l.size(), 'q') + "\n";
	std::string exact = l.substr(0, l.size() - 1) + std::string(3999 - l.size() + 1, 'q') + "\n";
	std::string a = scratch_write("a", longline + exact + clf(5, "Mar", "08:15:03"));
	stages_count({a});
	EXPECT_EQ(linedates_totalcount, 3u + 2u + 1u);
	linedate_parse();
	uint64_t pos[] = {0, 3999, 7998, 9000, 12999, 13000};
	for (int i = 0; i < 5; i++) {
		EXPECT_EQ(linedates_buffer[i].time, 104919302u) << i;
		EXPECT_EQ(linedate_offset(&linedates_buffer[i]), pos[i]) << i;
		/* Each record knows the length of its read, up to the next one. */
		EXPECT_EQ(linedate_length(&linedates_buffer[i]), pos[i + 1] - pos[i]) << i;
	}
	EXPECT_EQ(linedates_buffer[5].time, 104919303u);
	EXPECT_EQ(linedate_offset(&linedates_buffer[5]), pos[5]);
}

TEST_F(Stages, ScanOfAGrownFileStaysInTheTable)
{
	std::string l = clf(5, "Mar", "08:15:02");
	std::string a = scratch_write("a", l + l);
	std::string b = scratch_write("b", l);
	stages_count({a, b});
	/* a grows by many lines, b by one long line, after they were counted. */
	std::string more;
	for (int i = 0; i < 1000; i++)
		more += l;
	scratch_write("a", l + l + more);
	scratch_write("b", l + std::string(10000, 'z'));
	linedate_parse();
	EXPECT_EQ(linedate_offset(&linedates_buffer[1]), l.size());
	EXPECT_EQ(linedates_buffer[2].file, logfiles_end);
	EXPECT_EQ(linedates_buffer[3].time, 0u);
}

TEST_F(Stages, SortOrdersByKeyThenPlaceThenPosition)
{
	logfile_add("first");
	logfile_add("second");
	linedate a = {logfiles_begin, 7, 100};
	linedate b = {logfiles_end, 7, 50};
	linedate c = {logfiles_begin, 7, 200};
	linedate d = {logfiles_end, 6, 900};
	EXPECT_LT(linedate_sort_function(&a, &b), 0);
	EXPECT_GT(linedate_sort_function(&b, &a), 0);
	EXPECT_LT(linedate_sort_function(&a, &c), 0);
	EXPECT_GT(linedate_sort_function(&c, &a), 0);
	EXPECT_GT(linedate_sort_function(&a, &d), 0);
	EXPECT_EQ(linedate_sort_function(&a, &a), 0);
}

TEST_F(Stages, OutputMergesAndEndsEveryLine)
{
	std::string a = scratch_write("a", clf(5, "Mar", "08:15:02") + "\n" + clf(5, "Mar", "08:15:05", "/last"));
	std::string b = scratch_write("b", clf(5, "Mar", "08:15:03") + clf(5, "Mar", "08:15:04", std::string("/x\0y", 4)));
	std::string a1 = clf(5, "Mar", "08:15:05", "/last");
	a1.pop_back();
	std::string a2 = scratch_write("a2", a1);
	std::string out = merge({a2, a, b});
	EXPECT_EQ(out, clf(5, "Mar", "08:15:02") + clf(5, "Mar", "08:15:03") +
	    clf(5, "Mar", "08:15:04", std::string("/x\0y", 4)) + a1 + "\n" + clf(5, "Mar", "08:15:05", "/last"));
	EXPECT_EQ(logfiles_lost, 0u);
}

TEST_F(Stages, OutputRefusesFilesChangedSinceTheScan)
{
	const char *changes[] = {"rm b", "truncate -s 10 b", "rm b && mkdir b", "mv c b"};
	for (const char *change : changes) {
		stages_reset();
		std::string dir = scratch_dir();
		ASSERT_EQ(system(("rm -rf " + dir + "/*").c_str()), 0);
		std::string a = scratch_write("a", clf(5, "Mar", "08:15:02") + clf(5, "Mar", "08:15:04"));
		std::string b = scratch_write("b", clf(5, "Mar", "08:15:03") + clf(5, "Mar", "08:15:05"));
		scratch_write("c", clf(5, "Mar", "08:15:03", "/foreign") + clf(5, "Mar", "08:15:05"));
		stages_count({a, b});
		linedate_parse();
		linedate_sort();
		ASSERT_EQ(system(("cd " + dir + " && " + change).c_str()), 0);
		testing::internal::CaptureStdout();
		testing::internal::CaptureStderr();
		linedate_output();
		fflush(stdout);
		std::string err = testing::internal::GetCapturedStderr();
		std::string out = testing::internal::GetCapturedStdout();
		EXPECT_EQ(out, clf(5, "Mar", "08:15:02") + clf(5, "Mar", "08:15:04")) << change;
		EXPECT_EQ(err, "Cannot read " + b + " again\n") << change;
		EXPECT_EQ(logfiles_lost, 1u) << change;
	}
}

TEST_F(Stages, OutputOfAGrownFileIsWhatWasScanned)
{
	std::string a = scratch_write("a", clf(5, "Mar", "08:15:02") + "partial");
	stages_count({a});
	linedate_parse();
	linedate_sort();
	scratch_write("a", clf(5, "Mar", "08:15:02") + "partial line\n" + clf(5, "Mar", "08:15:01"));
	testing::internal::CaptureStdout();
	linedate_output();
	fflush(stdout);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), clf(5, "Mar", "08:15:02") + "partial\n");
	EXPECT_EQ(logfiles_lost, 0u);
}

}

namespace {

TEST_F(Stages, SortGivesTheWholeOrderOnManyRecords)
{
	for (int i = 0; i < 5; i++)
		logfile_add(("f" + std::to_string(i)).c_str());
	logfile *files[5];
	int i = 0;
	for (logfile *f = logfiles_begin; f != nullptr; f = f->next)
		files[i++] = f;
	/* Wide and narrow key ranges, many ties, and empty records. */
	for (uint32_t range : {3u, 1000u, 2147483647u}) {
		const size_t n = 100000;
		linedates_totalcount = n;
		free(linedates_buffer);
		linedates_buffer = static_cast<linedate *>(calloc(n + 1, sizeof(linedate)));
		uint64_t seed = range;
		for (size_t k = 0; k < n; k++) {
			seed = seed * 6364136223846793005u + 1442695040888963407u;
			uint32_t key = uint32_t(seed >> 33) % range;
			linedates_buffer[k] = {key == 0 ? nullptr : files[seed % 5], key, seed >> 40};
		}
		linedates_buffer[n] = {files[0], 0, 77};
		std::vector<linedate> want(linedates_buffer, linedates_buffer + n);
		std::stable_sort(want.begin(), want.end(), [](const linedate &x, const linedate &y) {
			return linedate_sort_function(&x, &y) < 0;
		});
		linedate_sort();
		for (size_t k = 0; k < n; k++) {
			ASSERT_EQ(linedates_buffer[k].time, want[k].time) << range << " " << k;
			if (want[k].time != 0) {
				ASSERT_TRUE(linedates_buffer[k].file == want[k].file &&
				    linedates_buffer[k].pos == want[k].pos) << range << " " << k;
			}
		}
		EXPECT_EQ(linedates_buffer[n].pos, 77u);
	}
}

}

namespace {

/*
 * Files in date order are merged as they were scanned, a few at a time,
 * else sorted: either way equal dates keep command-line and file order.
 */
TEST_F(Stages, FilesInOrderMergeAsTheSortOrders)
{
	const char *times[] = {"08:15:02", "08:15:02", "08:15:03", "08:15:03", "08:15:05"};
	for (size_t files : {1, 3, 63, 64, 65, 200}) {
		stages_reset();
		std::vector<std::string> paths;
		for (size_t f = 0; f < files; f++) {
			std::string text;
			for (size_t i = f % 3; i < 5; i++)
				text += clf(5, "Mar", times[i], "/" + std::to_string(f) + "." + std::to_string(i)) +
				    (i == 2 ? "\n" : "");
			paths.push_back(scratch_write("f" + std::to_string(f), text));
		}
		EXPECT_TRUE(merge(paths) == expected_merge(paths)) << files;
	}
}

/*
 * However the lines lie in their files (shuffled, newest first, sorted by
 * host, in order), and so however the output walks each file, the merge
 * is the one the rules define.
 */
TEST_F(Stages, EveryWalkOfTheFilesMergesTheSame)
{
	std::mt19937 rng(10);
	std::vector<std::string> lines;
	for (int i = 0; i < 6000; i++) {
		char host[32];
		snprintf(host, sizeof host, "10.%u.%u.%u", unsigned(rng() % 256), unsigned(rng() % 256), unsigned(rng() % 256));
		std::string path = rng() % 300 == 0 ? std::string(4000 + rng() % 6000, 'q') : std::to_string(rng());
		char date[32];
		snprintf(date, sizeof date, "%02d/Mar/2003:%02d:%02d:%02d", 1 + i / 3000, i / 3600 % 24, i / 60 % 60, i % 60);
		lines.push_back(rng() % 500 == 0 ? "\n" : std::string(host) + " - - [" + date + " +0000] \"GET /" + path + "\" 200 1\n");
	}
	auto join = [](const std::vector<std::string> &v) {
		std::string text;
		for (const std::string &l : v)
			text += l;
		return text;
	};
	std::vector<std::string> shuffled = lines, reversed(lines.rbegin(), lines.rend()), byhost = lines;
	std::shuffle(shuffled.begin(), shuffled.end(), rng);
	std::stable_sort(byhost.begin(), byhost.end(), [](const std::string &x, const std::string &y) {
		return x.substr(0, x.find(' ')) < y.substr(0, y.find(' '));
	});
	std::vector<std::string> paths = {scratch_write("shuffled", join(shuffled)),
	    scratch_write("reversed", join(reversed)), scratch_write("byhost", join(byhost)),
	    scratch_write("inorder", join(lines))};
	EXPECT_TRUE(merge(paths) == expected_merge(paths));
	EXPECT_EQ(logfiles_lost, 0u);
	for (const std::string &p : paths) {
		stages_reset();
		EXPECT_TRUE(merge({p}) == expected_merge({p})) << p;
	}
}

}
