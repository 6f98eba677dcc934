/*
 * The sort of the line index.
 */
#include "linedate.h"

#include <algorithm>
#include <cstdio>

#include "quorvel_io.h"

int
linedate_sort_function(const void *x, const void *y)
{
	const linedate &a = *static_cast<const linedate *>(x);
	const linedate &b = *static_cast<const linedate *>(y);

	return linedate_less(a, b) ? -1 : linedate_less(b, a) ? 1 : 0;
}

/* Sort a short run by the whole order. */
static void
linedate_insertionsort(linedate *a, size_t n)
{
	for (size_t i = 1; i < n; i++) {
		linedate v = a[i];
		size_t j = i;
		for (; j > 0 && linedate_less(v, a[j - 1]); j--)
			a[j] = a[j - 1];
		a[j] = v;
	}
}

static constexpr size_t linedate_mergemax = 256 * 1024;

/* Put a run of records of one key in order; those without a line need none. */
static void
linedate_sortties(linedate *a, size_t n)
{
	if (a[0].time == 0)
		return;
	auto less = [](const linedate &x, const linedate &y) { return linedate_less(x, y); };

	/*
	 * The radix sort leaves ties in an order that drives quicksort to its
	 * heap fallback; a merge sort takes them well, at the price of a
	 * buffer of the run's size, which is kept small.
	 */
	if (n <= 32)
		linedate_insertionsort(a, n);
	else if (n <= linedate_mergemax)
		std::stable_sort(a, a + n, less);
	else
		std::sort(a, a + n, less);
}

static constexpr int linedate_radixbits = 10;
static constexpr unsigned linedate_radix = 1u << linedate_radixbits;

/* The digit of a key that a radix level sorts on: the bits below hi. */
static inline unsigned
linedate_digit(uint32_t key, int hi)
{
	return hi >= linedate_radixbits ? key >> (hi - linedate_radixbits) & (linedate_radix - 1) :
	    key & ((1u << hi) - 1);
}

/* The swaps land in a thousand places at once: ask for the next lines early. */
static inline void
linedate_prefetch(const linedate *p)
{
#if defined(__GNUC__)
	__builtin_prefetch(p, 1);
#else
	(void)p;
#endif
}

/*
 * In-place most-significant-digit radix sort on the low hi bits of the
 * keys (the bits above are equal in all of a), 8 bits a level: no second
 * table.  Runs of equal keys are then put in file and position order.
 */
static void
linedate_radixsort(linedate *a, size_t n, int hi)
{
	if (n < 32) {
		linedate_insertionsort(a, n);
		return;
	}
	if (hi <= 0) {
		linedate_sortties(a, n);
		return;
	}
	size_t next[linedate_radix] = {}, end[linedate_radix];
	for (size_t i = 0; i < n; i++)
		next[linedate_digit(a[i].time, hi)]++;
	for (size_t d = 0, sum = 0; d < linedate_radix; d++) {
		sum += next[d];
		end[d] = sum;
		next[d] = sum - next[d];
	}
	/* Each record is swapped straight into the bucket of its digit. */
	for (unsigned d = 0; d < linedate_radix; d++) {
		while (next[d] < end[d]) {
			linedate v = a[next[d]];
			unsigned vd;
			while ((vd = linedate_digit(v.time, hi)) != d) {
				if (next[vd] + 8 < n)
					linedate_prefetch(&a[next[vd] + 8]);
				std::swap(v, a[next[vd]++]);
			}
			a[next[d]++] = v;
		}
	}
	for (size_t d = 0, start = 0; d < linedate_radix; start = end[d++])
		if (end[d] - start > 1)
			linedate_radixsort(a + start, end[d] - start, hi - linedate_radixbits);
}

/*
 * Logs in date order are scanned as a few ascending runs, one a file, and
 * merging them as they are is cheaper than any sort.
 */
linedate_run linedates_runs[linedate_runmax];
size_t linedates_runcount;

/* Cut the n records of a into ascending runs; false when there are too many. */
static bool
linedate_findruns(const linedate *a, size_t n)
{
	size_t runs = 0;
	linedates_runs[0].next = a;
	for (size_t i = 1; i < n; i++) {
		if (!linedate_less(a[i], a[i - 1]))
			continue;
		if (++runs == linedate_runmax)
			return false;
		linedates_runs[runs - 1].end = linedates_runs[runs].next = a + i;
	}
	linedates_runs[runs].end = a + n;
	linedates_runcount = runs + 1;
	return true;
}

void
linedate_sort(void)
{
	linedate *a = linedates_buffer;
	size_t n = size_t(linedates_totalcount);

	if (debug)
		fputs("linedate_sort ()\n", stderr);
	linedates_runcount = 0;
	if (n == 0 || linedate_findruns(a, n))
		return;
	linedates_runs[0] = {a, a + n, 0};
	linedates_runcount = 1;
	/* Only the bits in which some keys differ need sorting. */
	uint32_t lo = a[0].time, hi = a[0].time;
	for (size_t i = 1; i < n; i++) {
		lo = std::min(lo, a[i].time);
		hi = std::max(hi, a[i].time);
	}
	int bits = 0;
	for (uint32_t diff = lo ^ hi; diff != 0; diff >>= 1)
		bits++;
	linedate_radixsort(a, n, bits);
}
