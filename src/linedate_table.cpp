/*
 * The line index's table: one record a line of all inputs, made once
 * from the counts, in memory made present before the scan writes it.
 */
#include "linedate.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "quorvel_io.h"

uint64_t linedates_totalcount;
linedate *linedates_buffer;

/* The mapping the table lies in, when it was mapped; else it was allocated. */
static void *linedate_tablemap;
static size_t linedate_tablemapsize;

#if defined(MADV_HUGEPAGE) && defined(MADV_POPULATE_WRITE)
/*
 * The scan writes the table whole and the sort and merge read it: in
 * pages of 2 MiB it takes one fault where pages of 4 KiB take 512, and
 * the sort and merge miss the TLB less.  But a huge page can be slow to
 * come: where the system must compact memory for it, or where the host
 * of a virtual machine must back it anew, it takes twenty to forty times
 * as long as one of memory freed lately, and several times as long as
 * the same span of small pages.  So the table is made
 * present a huge page at a time, each timed against a span of small pages
 * made present first; from the first that comes slower on, the rest takes
 * small pages.
 */
static constexpr size_t linedate_hugepage = 2 << 20;

static double
linedate_clock(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

/* Make n bytes at p present, timed; false when there is no memory for them. */
static bool
linedate_populate(char *p, size_t n, double *took)
{
	double t0 = linedate_clock();

	if (madvise(p, n, MADV_POPULATE_WRITE) != 0 && errno == ENOMEM)
		return false;
	*took = linedate_clock() - t0;
	return true;
}

/*
 * A mapping of bytes that starts a huge page, or null.  The larger one
 * made to find it gives its slack back, so that the table takes no more
 * of the address space than allocated memory would.
 */
static char *
linedate_hugealigned(size_t bytes)
{
	size_t huge = linedate_hugepage, page = size_t(sysconf(_SC_PAGESIZE));
	size_t len = (bytes + page - 1) / page * page;
	void *map = mmap(nullptr, len + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (map == MAP_FAILED)
		return nullptr;
	char *p = static_cast<char *>(map);
	size_t head = (huge - reinterpret_cast<uintptr_t>(p) % huge) % huge;
	if (head > 0)
		munmap(p, head);
	munmap(p + head + len, huge - head);
	linedate_tablemap = p + head, linedate_tablemapsize = len;
	return p + head;
}

/* Make the table at p present, in huge pages while they come at once; false when there is no memory. */
static bool
linedate_tablepages(char *p, size_t bytes)
{
	size_t huge = linedate_hugepage;
	double small, took;

	madvise(p, huge, MADV_NOHUGEPAGE);
	/* A system that cannot say how long pages take gets the small ones. */
	if (!linedate_populate(p, huge, &small) || madvise(p + huge, bytes - huge, MADV_HUGEPAGE) != 0)
		return linedate_populate(p, bytes, &took);
	size_t done = huge;
	while (done < bytes) {
		size_t n = std::min(huge, bytes - done);
		if (!linedate_populate(p + done, n, &took))
			return false;
		done += n;
		if (took > small)
			break;
	}
	if (done == bytes)
		return true;
	madvise(p + done, bytes - done, MADV_NOHUGEPAGE);
	return linedate_populate(p + done, bytes - done, &took);
}
#endif

/* A table of bytes of zeros, or the end of the run when there is no memory for it. */
static linedate *
linedate_tablealloc(size_t bytes)
{
#if defined(MADV_HUGEPAGE) && defined(MADV_POPULATE_WRITE)
	/* A small table is not worth a mapping of its own; one that cannot be had is allocated. */
	char *map = bytes >= 4 * linedate_hugepage ? linedate_hugealigned(bytes) : nullptr;
	if (map != nullptr && linedate_tablepages(map, bytes))
		return reinterpret_cast<linedate *>(map);
	if (map != nullptr)
		linedate_freebuffer();
#endif
	void *p = calloc(1, bytes);
	if (p == nullptr)
		quorvel_nomemory();
	return static_cast<linedate *>(p);
}

void
linedate_createbuffer(void)
{
	uint64_t files = 0;

	if (debug)
		fputs("linedate_createbuffer ()\n", stderr);
	linedates_totalcount = 0;
	for (logfile *f = logfiles_begin; f != nullptr; f = f->next) {
		linedates_totalcount += f->lines;
		files++;
	}
	/* One spare record a file: the scan leaves the end offset in it. */
	uint64_t count = linedates_totalcount + files;
	if (debug)
		fprintf(stderr, QUORVEL_ALLOCTRACE,
		    double(count) * double(sizeof(linedate)) / 1024.0 / 1024.0);
	linedates_buffer = nullptr;
	if (count == 0)
		return;
	if (count > (SIZE_MAX - (4 << 20)) / sizeof(linedate))
		quorvel_nomemory();
	linedates_buffer = linedate_tablealloc(size_t(count) * sizeof(linedate));
}

void
linedate_freebuffer(void)
{
	if (linedate_tablemap != nullptr)
		munmap(linedate_tablemap, linedate_tablemapsize);
	else
		free(linedates_buffer);
	linedate_tablemap = nullptr;
	linedates_buffer = nullptr;
}
