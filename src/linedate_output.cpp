/*
 * The output pass: every indexed line read again and written in key order,
 * merging the ascending runs the sort leaves.  The bytes of a line are
 * fetched from its file by linedate_fetch.cpp; here they are checked and
 * copied to standard output through a buffer of its own.
 *
 * Before a line goes out it is checked to be the line that was scanned:
 * it starts where a line starts, the first line taken from each read
 * still has the date key the scan gave it (linedate_check says all), and
 * its read has the length the scan found, ending at its first newline
 * (linedate_emitread, as it copies the read out).  A file rewritten under
 * the run fails one of these almost at once; from then on none of its
 * lines are printed.
 */
#include "linedate.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "linedate_fetch.h"
#include "quorvel_io.h"

bool linedates_writefailed;

/* Fills of standard output: a pipe's size, or what a file takes best. */
static constexpr size_t linedate_outmax = 1024 * 1024;
static constexpr size_t linedate_outfile = 128 * 1024;
static char *linedate_out;
static size_t linedate_outsize, linedate_outlen;

/*
 * The long line being printed, if its next read is yet to come: where
 * that read starts, and where its first read and the read before it lie,
 * with their checksums.
 */
struct linedate_piece {
	uint64_t off;
	size_t len;
	uint64_t sum;
};

static const logfile *linedate_midfile;
static uint64_t linedate_midpos;
static linedate_piece linedate_first, linedate_last;

static void
linedate_flush(void)
{
	if (!linedates_writefailed && !quorvel_writeall(STDOUT_FILENO, linedate_out, linedate_outlen))
		linedates_writefailed = true;
	linedate_outlen = 0;
}

static inline void
linedate_emit(const char *p, size_t n)
{
	if (linedate_outlen + n > linedate_outsize)
		linedate_flush();
	memcpy(linedate_out + linedate_outlen, p, n);
	linedate_outlen += n;
}

/*
 * Write the read of n bytes at p, one of at most want bytes, if it is
 * whole: it ends at its first newline, or takes all it may.
 */
static inline bool
linedate_emitread(const char *p, size_t n, size_t want)
{
	if (linedate_outlen + n > linedate_outsize)
		linedate_flush();
	if (!linedate_copyread(linedate_out + linedate_outlen, p, n) || (p[n - 1] != '\n' && n != want))
		return false;
	linedate_outlen += n;
	return true;
}

/* End a long line cut short: nothing may run on from it. */
static void
linedate_endline(void)
{
	if (linedate_midfile != nullptr) {
		linedate_emit("\n", 1);
		linedate_midfile = nullptr;
	}
}

/*
 * A reader of a pipe wakes once a fill: fill a pipe whole, and widen it
 * first where the system lets us.
 */
static size_t
linedate_outputsize(void)
{
	struct stat st;

	if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISFIFO(st.st_mode))
		return linedate_outfile;
#if defined(F_SETPIPE_SZ) && defined(F_GETPIPE_SZ)
	(void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, int(linedate_outmax));
	int size = fcntl(STDOUT_FILENO, F_GETPIPE_SZ);
	if (size > 0)
		return std::clamp(size_t(size), linedate_page, linedate_outmax);
#endif
	return linedate_outfile;
}

/*
 * A long line's read taken from a new read of its file must not join
 * those printed from the file as it was before: the line's first read,
 * which holds its date, and the read just before must still be there.
 */
static bool
linedate_sameread(const linedate_window *w)
{
	return linedate_holds(w, linedate_last.off, linedate_last.len, linedate_last.sum) &&
	    (linedate_first.off == linedate_last.off ||
		linedate_holds(w, linedate_first.off, linedate_first.len, linedate_first.sum));
}

/*
 * Is this the line the scan indexed?  It starts a line, or continues the
 * long line printed just before it; and the first line taken from a read,
 * when it names its own month, still has its key.  The first line of a
 * file, which starts a line wherever the file's bytes moved, must have the
 * bytes it had.
 */
static bool
linedate_check(linedate_window *w, const linedate *r, uint64_t pos, const char *line, size_t len,
    bool reread)
{
	bool continues = linedate_midfile == r->file && linedate_midpos == pos;

	/*
	 * Past the end of a file cut short, the rest of its last page reads
	 * as zero bytes, which a read without a newline would take: its file
	 * must still end as it did.
	 */
	if (w->map != nullptr && line[len - 1] != '\n' && !linedate_endholds(w))
		return false;
	if (pos == 0)
		return logfile_checksum(line, len) == r->file->head;
	if (line[-1] != '\n')
		return continues && (!reread || linedate_sameread(w));
	if (continues)
		return false;
	if (!w->fresh)
		return true;
	int month = 0;
	uint32_t key = linedate_checkkey(line, len, &month);
	if (month == 0)
		return true;
	w->fresh = false;
	return key == r->time;
}

/* Print the line of record r from w, or leave its file out, saying so once. */
static void
linedate_print(linedate_window *w, const linedate *r)
{
	logfile *f = r->file;
	uint64_t pos = linedate_offset(r);
	size_t len = linedate_length(r);
	bool reread;

	const char *line = linedate_fetch(w, pos, len, &reread);
	if (line == nullptr || !linedate_check(w, r, pos, line, len, reread)) {
		linedate_endline();
		logfile_lose(f, "Cannot read %s again\n");
		return;
	}
	bool continues = linedate_midfile == f && linedate_midpos == pos;
	if (linedate_midfile != nullptr && !continues)
		linedate_endline();
	if (!linedate_emitread(line, len, size_t(std::min<uint64_t>(quorvel_linemax, f->size - pos)))) {
		linedate_endline();
		logfile_lose(f, "Cannot read %s again\n");
		return;
	}
	linedate_midfile = nullptr;
	if (line[len - 1] == '\n')
		return;
	/* The unterminated end of a file must not run into the next line. */
	if (pos + len == f->size) {
		linedate_emit("\n", 1);
		return;
	}
	linedate_last = {pos, len, logfile_checksum(line, len)};
	if (!continues)
		linedate_first = linedate_last;
	linedate_midfile = f;
	linedate_midpos = pos + len;
}

static inline bool
linedate_runless(const linedate_run &x, const linedate_run &y)
{
	return x.key != y.key ? x.key < y.key : x.next->pos < y.next->pos;
}

/* linedate_less in one number, but for the position: each run's first record's. */
static inline void
linedate_runkey(linedate_run *run)
{
	const linedate *r = run->next;

	run->key = r->time == 0 ? 0 : uint64_t(r->time) << 32 | r->file->place;
}

/* Restore the heap of runs below place i, whose run has a new first record. */
static inline void
linedate_siftdown(linedate_run *heap, size_t n, size_t i)
{
	linedate_run moved = heap[i];

	for (size_t c; (c = 2 * i + 1) < n; i = c) {
		if (c + 1 < n && linedate_runless(heap[c + 1], heap[c]))
			c++;
		if (!linedate_runless(heap[c], moved))
			break;
		heap[i] = heap[c];
	}
	heap[i] = moved;
}

/*
 * Lines read in place lie anywhere in their file: ask for the line of a
 * record a few ahead in the run while this one is printed.
 */
static constexpr ptrdiff_t linedate_ahead = 16;

static inline const char *
linedate_ahead_inplace(const linedate_window *windows, const linedate *r)
{
	return r->time != 0 ? linedate_inplace(&windows[r->file->place], linedate_offset(r)) : nullptr;
}

/* Print the records of the n runs of heap in order, merging them. */
static void
linedate_merge(linedate_window *windows, linedate_run *heap, size_t n)
{
	for (size_t i = 0; i < n; i++)
		linedate_runkey(&heap[i]);
	for (size_t i = n / 2; i-- > 0;)
		linedate_siftdown(heap, n, i);
	while (n > 0 && !linedates_writefailed) {
		const linedate *r = heap[0].next++;
#if defined(__GNUC__)
		/* Written out here: a function that only prefetches is taken for one without effect. */
		const char *ahead = heap[0].end - r > linedate_ahead ? linedate_ahead_inplace(windows, r + linedate_ahead) : nullptr;
		if (ahead != nullptr) {
			__builtin_prefetch(ahead - 1);
			__builtin_prefetch(ahead + 63);
			__builtin_prefetch(ahead + 127);
			__builtin_prefetch(ahead + 191);
		}
#endif
		if (r->time != 0 && !r->file->lost)
			linedate_print(&windows[r->file->place], r);
		if (heap[0].next == heap[0].end)
			heap[0] = heap[--n];
		else
			linedate_runkey(&heap[0]);
		linedate_siftdown(heap, n, 0);
	}
}

void
linedate_output(void)
{
	size_t files = 0;

	if (debug)
		fputs("linedate_output ()\n", stderr);
	for (const logfile *f = logfiles_begin; f != nullptr; f = f->next)
		files++;
	if (files == 0)
		return;

	linedate_window *windows = linedate_windows(files);
	linedate_outsize = linedate_outputsize();
	/* A pipe's pages, into which the fills are copied, start at a page too. */
	linedate_out = static_cast<char *>(quorvel_blockalloc(linedate_outsize));
	if (linedate_out == nullptr)
		quorvel_nomemory();
	/* Every file is opened now, as far as the limit on open files allows; the others when read. */
	for (size_t i = 0; i < files; i++) {
		if (quorvel_trace(2))
			fprintf(stderr, "linedate_output (): openfile %s\n", windows[i].file->name);
		if (!windows[i].file->lost)
			linedate_open(&windows[i], false);
	}
	linedate_merge(windows, linedates_runs, linedates_runcount);
	linedate_endline();
	linedate_flush();
	linedate_windowsfree(windows, files);
	free(linedate_out);
	linedate_out = nullptr;
	linedate_outlen = 0;
}
