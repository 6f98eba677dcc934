/*
 * genlogs: write deterministic, realistic combined-format access logs for
 * benchmarking.
 *
 *	genlogs [-j] [-d] [-r rate] [-o order] [-6 percent] [-x percent] [-V]
 *	    dir files lines
 *
 * Writes dir/access-1.log ... dir/access-N.log, each one server's log of
 * the given number of lines over the same three days, 29 November to
 * 1 December 2026, so the files interleave and cross a month end.  With
 * -j the dates are jittered by up to two seconds either way, as real logs
 * written by several workers are.  About one line in 5000 is blank and
 * one in 20000 is over 3999 bytes long.
 *
 * -y hours writes, instead, each server's lines over the year 2026 into one
 * log for every `hours' hours, as logrotate leaves them: dir/access-K.log.1
 * the newest, up to dir/access-K.log.(8760 / hours) the oldest, where K
 * counts the servers.
 * -d deals one stream of `lines' lines in all round-robin into the files,
 * line i to file i mod N: each file is in date order and the files
 * interleave line by line, as many small logs of one busy site do.
 * -r rate writes `rate' lines in every second from the first instead of
 * spreading them over three days: long runs of equal dates.
 * -o order rearranges the lines of each file once written, the way logs
 * reach a merger after other tools had them:
 *	shuffled  in random order (the same order every time);
 *	byhost    stably sorted by the first field (the client) as bytes,
 *	          as LC_ALL=C sort -s -t' ' -k1,1 leaves a file;
 *	reversed  last line first, so in reverse date order.
 *
 * The layout of the client fields, as today's servers write them:
 * -6 percent writes that share of the clients as IPv6 addresses
 * (2001:db8:...); -x percent writes that share as a proxy's address list
 * (client, proxy), and a tenth of that share with a user name holding a
 * space; -V starts every line with the virtual host and port, as Apache's
 * vhost_combined does.  These draw from a stream of their own, so the
 * lines are otherwise those written without them.
 */
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

static uint64_t rngstate, layoutstate;

/* splitmix64: small, fast and the same everywhere. */
static uint64_t
splitmix(uint64_t *state)
{
	uint64_t z = (*state += 0x9e3779b97f4a7c15u);
	z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
	z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
	return z ^ (z >> 31);
}

static uint64_t
rng(void)
{
	return splitmix(&rngstate);
}

static unsigned
pick(unsigned n)
{
	return unsigned(rng() % n);
}

/* The client fields' layout: shares in percent, and the virtual host. */
struct layout {
	unsigned ipv6;
	unsigned proxy;
	bool vhost;
};

static bool
chance(unsigned percent)
{
	return splitmix(&layoutstate) % 1000 < percent * 10;
}

static const char *paths[] = {"/", "/index.html", "/blog/2026/11/log-merging", "/images/header.jpg",
    "/css/main.css", "/js/app.min.js", "/api/v2/items", "/search", "/feed/atom.xml", "/login",
    "/products/shoes/running", "/cart/checkout", "/static/fonts/inter.woff2", "/robots.txt"};
static const char *users[] = {"-", "-", "-", "-", "-", "-", "-", "-", "alice", "bob"};
static const char *referrers[] = {"-", "https://www.example.com/", "https://duckduckgo.com/",
    "https://www.example.com/blog/", "https://news.example.net/item?id=4242"};
static const char *agents[] = {
    "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0.0.0 Safari/537.36",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1",
    "curl/8.5.0", "Googlebot/2.1 (+http://www.google.com/bot.html)"};
static const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct",
    "Nov", "Dec"};
static const int monthdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
static const unsigned statuses[] = {200, 200, 200, 200, 200, 200, 304, 301, 404, 500};

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

/* The day of 2026 the dates start on: 29 November, or 1 January for a year of rotations. */
static long firstday = 332;

/* Seconds since the first day's midnight as a log date. */
static void
date(char *buf, size_t size, long t)
{
	long day = firstday + t / 86400, year = 2026 + day / 365;
	int month = 0;
	for (day %= 365; day >= monthdays[month]; month++)
		day -= monthdays[month];
	snprintf(buf, size, "%02ld/%s/%ld:%02ld:%02ld:%02ld +0000", day + 1, months[month], year,
	    t / 3600 % 24, t / 60 % 60, t % 60);
}

/* Where the lines go in time: spread over three days or a year, or at a fixed rate. */
struct timing {
	unsigned long total;	/* lines in the whole stream */
	unsigned long rate;	/* lines a second, or 0 to spread them */
	bool jitter;
	layout lay;
	long span;		/* seconds they are spread over */
	long period;		/* seconds a rotated log holds, or 0 */
};

/* Where the lines of one stream go: one file, or each period's log. */
struct sink {
	FILE *f;
	std::string name;	/* dir/access-K.log */
	long period, count;	/* of a rotated log, and logs in the year */
	long current;		/* the period f holds */
};

/* The file for a line at second t, opening the logs of the periods up to it. */
static FILE *
sink_at(sink *s, long t)
{
	if (s->period == 0)
		return s->f;
	while (s->current < t / s->period) {
		if (s->f != nullptr && fclose(s->f) != 0)
			s->f = nullptr;
		std::string name = s->name + "." + std::to_string(s->count - ++s->current);
		if ((s->f = fopen(name.c_str(), "w")) == nullptr) {
			perror(name.c_str());
			exit(1);
		}
	}
	return s->f;
}

/*
 * The fields before the date, "host ident user", for client a.b.c.d in
 * the layout asked for.
 */
static std::string
client(const layout *lay, const unsigned a[4], const char *user)
{
	char buf[128];
	int n = 0;

	if (lay->vhost)
		n += snprintf(buf + n, sizeof buf - size_t(n), "www%u.example.com:%u ", a[3] % 3 + 1,
		    a[0] % 4 != 0 ? 443 : 80);
	bool proxied = lay->proxy != 0 && chance(lay->proxy);
	if (lay->ipv6 != 0 && chance(lay->ipv6))
		n += snprintf(buf + n, sizeof buf - size_t(n), "2001:db8:%x:%x:%x::%x", a[0], a[1], a[2], a[3]);
	else
		n += snprintf(buf + n, sizeof buf - size_t(n), "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
	if (proxied)
		n += snprintf(buf + n, sizeof buf - size_t(n), ", 10.0.%u.%u", a[2], a[1] % 254 + 1);
	if (proxied && splitmix(&layoutstate) % 10 == 0)
		user = "John Smith";
	snprintf(buf + n, sizeof buf - size_t(n), " - %s", user);
	return buf;
}

/* Write lines first, first + step, ... below the stream's total. */
static void
writelog(sink *out, const timing *tm, unsigned long first, unsigned long step)
{
	std::string query;
	char when[64];

	for (unsigned long i = first; i < tm->total; i += step) {
		long t = tm->rate != 0 ? long(i / tm->rate) + 2 :
		    long(double(i) * double(tm->span) / double(tm->total)) + 2;
		FILE *f = sink_at(out, t);
		if (pick(5000) == 0) {
			fputc('\n', f);
			continue;
		}
		if (tm->jitter)
			t += long(pick(5)) - 2;
		date(when, sizeof when, t);
		query = "?id=" + std::to_string(rng() % 1000000) + "&ref=" + std::to_string(pick(100));
		if (pick(20000) == 0)
			query += "&blob=" + std::string(4000 + pick(3000), 'q');
		/* One draw after the other: the same lines from every compiler. */
		unsigned a[4];
		a[0] = 1 + pick(223), a[1] = pick(256), a[2] = pick(256), a[3] = 1 + pick(254);
		const char *user = users[pick(COUNT(users))];
		const char *path = paths[pick(COUNT(paths))];
		unsigned status = statuses[pick(COUNT(statuses))], size = pick(90000);
		const char *referrer = referrers[pick(COUNT(referrers))];
		fprintf(f, "%s [%s] \"GET %s%s HTTP/1.1\" %u %u \"%s\" \"%s\"\n",
		    client(&tm->lay, a, user).c_str(), when, path, query.c_str(), status, size,
		    referrer, agents[pick(COUNT(agents))]);
	}
}

/* A line of a file's text: where it starts and how long it is, newline included. */
typedef std::pair<size_t, size_t> linespan;

/* The first space-separated field of a line, as sort -t' ' -k1,1 takes it. */
static std::string
firstfield(const std::string &text, const linespan &l)
{
	size_t n = 0;
	while (n < l.second && text[l.first + n] != ' ' && text[l.first + n] != '\n')
		n++;
	return text.substr(l.first, n);
}

/* Rewrite the file at name with its lines in the given order. */
static bool
reorder(const char *name, const char *order)
{
	std::string text;
	char buf[65536];
	size_t n;
	FILE *f = fopen(name, "r");
	if (f == nullptr)
		return false;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		text.append(buf, n);
	bool bad = ferror(f) != 0;
	if (fclose(f) != 0 || bad)
		return false;

	std::vector<linespan> lines;
	for (size_t at = 0; at < text.size(); at = lines.back().first + lines.back().second) {
		size_t nl = text.find('\n', at);
		lines.emplace_back(at, (nl == std::string::npos ? text.size() : nl + 1) - at);
	}
	if (strcmp(order, "reversed") == 0) {
		std::reverse(lines.begin(), lines.end());
	} else if (strcmp(order, "shuffled") == 0) {
		for (size_t i = lines.size(); i > 1; i--)
			std::swap(lines[i - 1], lines[size_t(rng() % i)]);
	} else {
		/* Compare copies of the fields: the files are small enough. */
		std::vector<std::pair<std::string, linespan>> keyed;
		keyed.reserve(lines.size());
		for (const linespan &l : lines)
			keyed.emplace_back(firstfield(text, l), l);
		std::stable_sort(keyed.begin(), keyed.end(),
		    [](const auto &x, const auto &y) { return x.first < y.first; });
		for (size_t i = 0; i < lines.size(); i++)
			lines[i] = keyed[i].second;
	}

	f = fopen(name, "w");
	if (f == nullptr)
		return false;
	for (const linespan &l : lines)
		fwrite(text.data() + l.first, 1, l.second, f);
	bad = ferror(f) != 0;
	return fclose(f) == 0 && !bad;
}

static void
usage(void)
{
	fputs("usage: genlogs [-j] [-d] [-r rate] [-o shuffled|byhost|reversed] [-6 percent]"
	    " [-x percent] [-V] [-y hours] dir files lines\n", stderr);
	exit(2);
}

int
main(int argc, char *argv[])
{
	timing tm = {0, 0, false, {0, 0, false}, 3 * 86400 - 3, 0};
	bool deal = false;
	const char *order = nullptr;
	int c;

	while ((c = getopt(argc, argv, "jdr:o:6:x:Vy:")) != -1) {
		switch (c) {
		case 'y':
			tm.period = long(strtoul(optarg, nullptr, 10)) * 3600;
			if (tm.period <= 0 || 8760 * 3600 % tm.period != 0)
				usage();
			/* From 1 January to the last second of the year. */
			firstday = 0;
			tm.span = 365 * 86400 - 3;
			break;
		case '6':
		case 'x':
			(c == '6' ? tm.lay.ipv6 : tm.lay.proxy) = unsigned(strtoul(optarg, nullptr, 10));
			if (tm.lay.ipv6 > 100 || tm.lay.proxy > 100)
				usage();
			break;
		case 'V':
			tm.lay.vhost = true;
			break;
		case 'j':
			tm.jitter = true;
			break;
		case 'd':
			deal = true;
			break;
		case 'r':
			tm.rate = strtoul(optarg, nullptr, 10);
			if (tm.rate == 0)
				usage();
			break;
		case 'o':
			order = optarg;
			if (strcmp(order, "shuffled") != 0 && strcmp(order, "byhost") != 0 &&
			    strcmp(order, "reversed") != 0)
				usage();
			break;
		default:
			usage();
		}
	}
	if (argc - optind != 3)
		usage();
	const char *dir = argv[optind];
	unsigned long files = strtoul(argv[optind + 1], nullptr, 10);
	unsigned long lines = strtoul(argv[optind + 2], nullptr, 10);
	tm.total = lines;
	if (tm.period != 0 && (deal || order != nullptr || tm.rate != 0))
		usage();
	for (unsigned long k = 1; k <= files; k++) {
		std::string name = std::string(dir) + "/access-" + std::to_string(k) + ".log";
		sink out = {nullptr, name, tm.period, 365 * 86400 / std::max(tm.period, 1L), -1};
		if (tm.period == 0 && (out.f = fopen(name.c_str(), "w")) == nullptr) {
			perror(name.c_str());
			return 1;
		}
		rngstate = k * 1000003u + (tm.jitter ? 7 : 0);
		layoutstate = k;
		if (deal)
			writelog(&out, &tm, k - 1, files);
		else
			writelog(&out, &tm, 0, 1);
		/* Every period has its log, the last ones too. */
		sink_at(&out, 365 * 86400 - 1);
		if (out.f == nullptr || fclose(out.f) != 0 || (order != nullptr && !reorder(name.c_str(), order))) {
			perror(name.c_str());
			return 1;
		}
	}
	return 0;
}
