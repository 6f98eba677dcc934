/* Date keys of single lines. */
#include <string>

#include <gtest/gtest.h>

#include "support.h"
#include "quorvel_io.h"

namespace {

uint32_t
key(const std::string &line, int *month)
{
	return linedate_datekey(line.data(), line.size(), month);
}

uint32_t
key(const std::string &line)
{
	int month = 0;
	return key(line, &month);
}

std::string
clf(const std::string &date)
{
	return "10.0.0.7 - - [" + date + " +0100] \"GET /index.html\" 200 512\n";
}

TEST(DateKey, KnownDates)
{
	struct { const char *date; uint32_t key; } cases[] = {
		{"05/Mar/2003:08:15:02", 104919302},
		{"05/Mar/2003:08:15:03", 104919303},
		{"31/Dec/2002:23:59:59", 99187199},
		{"01/Jan/2003:00:00:00", 99187200},
		{"01/Dec/1999:00:00:00", 86400},
		{"30/Nov/1999:23:59:59", 2147483647},	/* wrapped past 2^31 */
		{"06/Feb/1933:20:45:51", 2147483647},
		{"01/Jan/1933:00:00:00", 2144298496},	/* wrapped below 2^31 again */
		{"24/Sep/2066:03:14:07", 2147483647},
		{"01/Jan/xx:00:00:00", 145674240},	/* year 0 */
		{"00/Dec/1999:00:00:00", 1},		/* 0 would mark an empty record */
	};
	for (const auto &c : cases)
		EXPECT_EQ(key(clf(c.date)), c.key) << c.date;
	EXPECT_EQ(key(clf("05/Mar/2003:08:15:02").replace(37, 5, "-0700")), 104919302u);
}

TEST(DateKey, MonthNames)
{
	struct { const char *name; int month; } cases[] = {
		{"Jan", 1}, {"Feb", 2}, {"Mar", 3}, {"Apr", 4}, {"May", 5}, {"Jun", 6},
		{"Jul", 7}, {"Aug", 8}, {"Sep", 9}, {"Oct", 10}, {"Nov", 11}, {"Dec", 12},
		{"March", 3}, {"Sept", 9}, {"J", 6}, {"Ma", 5}, {"Ju", 6},
	};
	for (const auto &c : cases) {
		int month = 99;
		key(clf(std::string("05/") + c.name + "/2003:08:15:02"), &month);
		EXPECT_EQ(month, c.month) << c.name;
	}
	/* Unknown names keep the month carried from the line before. */
	for (const char *name : {"oct", "xyz", ""}) {
		int month = 4;
		key(clf(std::string("05/") + name + "/2003:08:15:02"), &month);
		EXPECT_EQ(month, 4) << name;
	}
}

TEST(DateKey, MonthBytesPastThePiece)
{
	/* A delimiter reads as zero, but the byte after it is read as it lies. */
	int month = 0;
	key(std::string("a b c [5/J/l", 12), &month);
	EXPECT_EQ(month, 7);
	/* Past the line's first zero byte every byte reads as zero. */
	key(std::string("a b c [5/J\0l", 12), &month);
	EXPECT_EQ(month, 6);
	key(std::string("a b c [5/M\0r", 12), &month);
	EXPECT_EQ(month, 5);
	/* The line's end is the end of the read, whatever lies beyond it. */
	std::string buf = "a b c [5/Ja";
	month = 0;
	linedate_datekey(buf.data(), buf.size() - 1, &month);
	EXPECT_EQ(month, 6);
}

TEST(DateKey, ShortLinesDependOnlyOnThemselves)
{
	std::string cut("x y\0", 4);
	cut += clf("05/Mar/2003:08:15:02");
	int month = 3;
	/* No day, no time: the carried month of year 0. */
	EXPECT_EQ(key("x y", &month), 150944640u);
	EXPECT_EQ(key(cut, &month), 150944640u);
	EXPECT_EQ(key("x y z w [", &month), 150944640u);
	EXPECT_EQ(key("[", &month), 150944640u);
}

TEST(DateKey, NumbersReadLikeAtoi)
{
	EXPECT_EQ(key(clf("\t5/Mar/+2003:08:15:02")), 104919302u);
	EXPECT_EQ(key(clf("05x/Mar/2003:08:15:02")), 104919302u);
	EXPECT_EQ(key(clf("05/Mar/2003:08:15:-2")), 104919298u);
	EXPECT_EQ(key(clf("05/Mar/2003:08:15:\n2")), 104919302u);
}

/* The key of these fields, as the sum wraps and saturates. */
uint32_t
sum(int day, int month, int year, int hour, int minute, int second)
{
	uint32_t s = uint32_t(second + 60 * minute + 3600 * hour + 86400 * day + 2678400 * month) +
	    32140800u * (uint32_t(year) - 2000u);
	return s < 0x80000000u ? s : 0x7fffffffu;
}

TEST(DateKey, DateAfterMorePieces)
{
	const std::string date = "[05/Mar/2003:08:15:02 +0100] \"GET /\" 200 1\n";
	const uint32_t k = 104919302;
	struct { std::string line; uint32_t key; } cases[] = {
		{"2001:db8::1 - - " + date, k},
		{"www.example.org:443 10.0.0.7 - - " + date, k},
		{"203.0.113.9, 10.0.0.1 - - " + date, k},
		{"10.0.0.7 - John Smith " + date, k},
		{"[2001:db8::1]:80 - - " + date, k},
		{"2001:db8::1 - - [05/Mar/2003:08:15:02.123 +0000] \"GET /\" 200 1\n", k},
		{"  10.0.0.7 - - " + date, k},
		{"10.0.0.7\t-\t-\t" + date, k},
		{"::1 - - [05/Mar/2003:08:15:02", k},
		/* No whole date before the line's end: the pieces as ever. */
		{"::1 - - [05/Mar/2003:08:15 +0100]", sum(0, 3, 5, 0, 2003, 8)},
		{"::1 - - [05/Mar/2003:08:15:021]", sum(0, 3, 5, 0, 2003, 8)},
		{std::string("::1 - \0 [05/Mar/2003:08:15:02]", 30), sum(0, 3, 0, 0, 0, 0)},
		/* The usual layout reads piece 5 whatever it holds. */
		{"h - - [5/Mar/2003:08:15:02] [06/Mar/2003:08:15:02]", k},
	};
	for (const auto &c : cases) {
		int month = 3;
		EXPECT_EQ(key(c.line, &month), c.key) << c.line;
		EXPECT_EQ(month, 3) << c.line;
	}
	int month = 4;
	EXPECT_EQ(key("a b c d [05/oct/2003:08:15:02 +0100]", &month), 107597702u);
	EXPECT_EQ(month, 4);
	EXPECT_EQ(key("a b c d [05/Feb/2003:08:15:02 +0100]", &month), sum(5, 2, 2003, 8, 15, 2));
	EXPECT_EQ(month, 2);
}

TEST(DateKey, TraceAtLevelThree)
{
	std::string lines[] = {clf("05/Mar/2003:08:15:02"), clf("00/Dec/1999:00:00:00"),
	    clf("30/Nov/1999:23:59:59"), clf("05/Mar/99999999999:08:15:-99999999999"),
	    "::1 - - [06/Mar/2003:08:15:02] x"};
	debug = 3;
	testing::internal::CaptureStderr();
	for (const std::string &l : lines)
		key(l);
	std::string err = testing::internal::GetCapturedStderr();
	debug = 0;
	if (quorvel_freebsd) {
		EXPECT_EQ(err, "");
		return;
	}
	EXPECT_EQ(err,
	    "linedate_parsefile (2003/3/5 8:15:2 -> 104919302 -> 104919302)\n"
	    "linedate_parsefile (1999/12/0 0:0:0 -> 0 -> 1)\n"
	    "linedate_parsefile (1999/11/30 23:59:59 -> 4294967295 -> 2147483647)\n"
	    "linedate_parsefile (2147483647/3/5 8:15:-2147483648 -> 2266749188 -> 2147483647)\n"
	    "linedate_parsefile (2003/3/6 8:15:2 -> 105005702 -> 105005702)\n");
}

}
