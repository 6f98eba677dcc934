/*
 * genlogs: write deterministic, realistic combined-format access logs for
 * benchmarking.
 *
 *	genlogs [-j] dir files lines
 *
 * Writes dir/access-1.log ... dir/access-N.log, each one server's log of
 * the given number of lines over the same three days, 29 November to
 * 1 December 2026, so the files interleave and cross a month end.  With
 * -j the dates are jittered by up to two seconds either way, as real logs
 * written by several workers are.  About one line in 5000 is blank and
 * one in 20000 is over 3999 bytes long.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static uint64_t rngstate;

static uint64_t
rng(void)
{
	/* splitmix64: small, fast and the same everywhere. */
	uint64_t z = (rngstate += 0x9e3779b97f4a7c15u);
	z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
	z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
	return z ^ (z >> 31);
}

static unsigned
pick(unsigned n)
{
	return unsigned(rng() % n);
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
static const char *months[] = {"Nov", "Dec"};
static const unsigned statuses[] = {200, 200, 200, 200, 200, 200, 304, 301, 404, 500};

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

/* Seconds since 29 Nov 2026 00:00:00 as a log date. */
static void
date(char *buf, size_t size, long t)
{
	long day = 29 + t / 86400;
	int month = day > 30;
	if (month)
		day -= 30;
	snprintf(buf, size, "%02ld/%s/2026:%02ld:%02ld:%02ld +0000", day, months[month],
	    t / 3600 % 24, t / 60 % 60, t % 60);
}

static void
writelog(FILE *f, unsigned long lines, bool jitter)
{
	const long span = 3 * 86400 - 3;
	std::string query;
	char when[64];

	for (unsigned long i = 0; i < lines; i++) {
		if (pick(5000) == 0) {
			fputc('\n', f);
			continue;
		}
		long t = long(double(i) * double(span) / double(lines)) + 2;
		if (jitter)
			t += long(pick(5)) - 2;
		date(when, sizeof when, t);
		query = "?id=" + std::to_string(rng() % 1000000) + "&ref=" + std::to_string(pick(100));
		if (pick(20000) == 0)
			query += "&blob=" + std::string(4000 + pick(3000), 'q');
		fprintf(f, "%u.%u.%u.%u - %s [%s] \"GET %s%s HTTP/1.1\" %u %u \"%s\" \"%s\"\n",
		    1 + pick(223), pick(256), pick(256), 1 + pick(254), users[pick(COUNT(users))], when,
		    paths[pick(COUNT(paths))], query.c_str(), statuses[pick(COUNT(statuses))],
		    pick(90000), referrers[pick(COUNT(referrers))], agents[pick(COUNT(agents))]);
	}
}

int
main(int argc, char *argv[])
{
	bool jitter = argc > 1 && strcmp(argv[1], "-j") == 0;
	if (jitter) {
		argc--;
		argv++;
	}
	if (argc != 4) {
		fputs("usage: genlogs [-j] dir files lines\n", stderr);
		return 2;
	}
	unsigned long files = strtoul(argv[2], nullptr, 10);
	unsigned long lines = strtoul(argv[3], nullptr, 10);
	for (unsigned long k = 1; k <= files; k++) {
		std::string name = std::string(argv[1]) + "/access-" + std::to_string(k) + ".log";
		FILE *f = fopen(name.c_str(), "w");
		if (f == nullptr) {
			perror(name.c_str());
			return 1;
		}
		rngstate = k * 1000003u + (jitter ? 7 : 0);
		writelog(f, lines, jitter);
		if (fclose(f) != 0) {
			perror(name.c_str());
			return 1;
		}
	}
	return 0;
}
