/*
 * The output pass: every indexed line read again and written in key order,
 * merging the ascending runs the sort leaves.
 *
 * Each file is read through a window of its own, whose reads follow the
 * way the sorted index walks the file: they grow while the walk goes
 * forward (a log in date order) or backward (a log written newest
 * first), and shrink to a few lines while the lines are wanted in
 * scattered order.  A line is taken from the window when all of its read,
 * whose length the record carries, is in it.  Where many logs share the
 * windows' room, a log larger than its window is read in place instead,
 * from the start, as one read in scattered order is once seen to be.
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

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quorvel_io.h"

bool linedates_writefailed;

struct linedate_window {
	logfile *file;
	char *buf;		/* cap bytes, and a cache line more */
	size_t cap;		/* bytes a read may want */
	uint64_t off;		/* file offset of buf[0] */
	size_t len;		/* bytes held */
	size_t step;		/* size of the next read */
	size_t small;		/* size of a read for one line: a few lines */
	uint64_t last;		/* offset of the line taken before */
	bool fresh;		/* no key of this read has been checked yet */
	bool used;		/* read since the clock's hand last passed */
	const char *map;	/* the file's text mapped, once read in place */
	bool unmappable;	/* a mapping was tried and failed */
	uint32_t taken;		/* lines taken from the file */
	uint32_t jumps;		/* reads for lines far from the line before */
};

/*
 * A file whose lines are wanted in scattered order, nearly a read a line,
 * is read in place once it is seen to be: at least this many reads jumped,
 * one in four of the lines taken or more.
 */
static constexpr uint32_t linedate_mapjumps = 32;

/*
 * The windows of the files that hold a descriptor, copies apart, which
 * share one.  At the limit on open files, the first the clock's hand comes
 * to that was not read since it last passed gives its descriptor up.
 */
static linedate_window **linedate_held;
static size_t linedate_heldcount, linedate_hand;
/* How many can be held, once the limit has been met. */
static size_t linedate_heldmax = SIZE_MAX;

/*
 * All windows together; a file gets at least the smallest.  A window the
 * kernel has just filled is still in the cache as its lines are copied
 * out, which larger windows of a few files together are not.
 */
static constexpr size_t linedate_windowbudget = 8 * 1024 * 1024;
static constexpr size_t linedate_windowmax = 128 * 1024;
static constexpr size_t linedate_windowmin = 512;
static constexpr size_t linedate_page = 4096;

/* A read too long for a small window is read here on its own. */
static char linedate_scratch[quorvel_linemax + 1];

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
static char linedate_midbuf[quorvel_linemax];

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
 * Copy n bytes of a read to out; true when no newline lies among them
 * before the last.  With SSE2 the bytes are looked at as they are copied.
 */
static inline bool
linedate_copyread(char *out, const char *p, size_t n)
{
#if defined(__SSE2__)
	if (n >= 16) {
		__m128i nl = _mm_set1_epi8('\n'), seen = _mm_setzero_si128(), v;
		for (size_t i = 0; i + 16 < n; i += 16) {
			v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
			_mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), v);
			seen = _mm_or_si128(seen, _mm_cmpeq_epi8(v, nl));
		}
		/* The last 16 bytes, which may overlap those before. */
		v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + n - 16));
		_mm_storeu_si128(reinterpret_cast<__m128i *>(out + n - 16), v);
		return _mm_movemask_epi8(seen) == 0 && (_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl)) & 0x7fff) == 0;
	}
#endif
	memcpy(out, p, n);
	return memchr(p, '\n', n - 1) == nullptr;
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

/* Close a file the clock's hand finds unread since it last passed: false when none is open. */
static bool
linedate_release(void)
{
	while (linedate_heldcount > 0) {
		if (linedate_hand >= linedate_heldcount)
			linedate_hand = 0;
		linedate_window *w = linedate_held[linedate_hand];
		if (w->used) {
			w->used = false;
			linedate_hand++;
			continue;
		}
		close(w->file->fd);
		w->file->fd = -1;
		linedate_held[linedate_hand] = linedate_held[--linedate_heldcount];
		return true;
	}
	return false;
}

/*
 * Where many logs share the windows' room, one larger than its window
 * would cost a read call every few lines: it is read in place from the
 * start, which costs one call to map it and needs no descriptor after.
 */
static bool
linedate_mapfirst(const linedate_window *w)
{
	return linedates_map && !w->unmappable && w->cap < linedate_windowmax && w->file->size > w->cap;
}

/* Does w's file, mapped, still begin and end as counted?  One cut short under the check does not. */
static bool
linedate_mapunchanged(const linedate_window *w)
{
	const logfile *f = w->file;
	size_t n = size_t(std::min<uint64_t>(f->size, logfile_tailsize));

	if (f->copy != nullptr)
		return true;
	if (sigsetjmp(linedates_mapfault, 0) != 0)
		return false;
	linedate_guard(f, w->map);
	bool same = logfile_checksum(w->map, f->headlen) == f->head &&
	    logfile_checksum(w->map + f->size - n, n) == f->tail;
	linedates_mapguarded = 0;
	return same;
}

/* Is fd, w's file opened again, still the file counted?  Mapped first where it is to be read in place. */
static bool
linedate_unchanged(linedate_window *w, int fd)
{
	if (linedate_mapfirst(w))
		w->unmappable = (w->map = linedate_map(w->file, fd)) == nullptr;
	if (w->map == nullptr)
		return logfile_unchanged(w->file, fd);
	if (linedate_mapunchanged(w))
		return true;
	linedate_unmap(w->file, w->map);
	w->map = nullptr;
	return false;
}

/*
 * Open w's file again for output; at the limit on open files, in place of
 * another if evict.  A file that is no longer the one counted, or that
 * lost bytes the scan went through, is left without a descriptor.
 */
static bool
linedate_open(linedate_window *w, bool evict)
{
	logfile *f = w->file;
	int fd;

	if (f->copy == nullptr && linedate_heldcount >= linedate_heldmax) {
		/* Opened when first read. */
		if (!evict)
			return false;
		linedate_release();
	}
	while ((fd = logfile_reopen(f)) < 0 && (errno == EMFILE || errno == ENFILE)) {
		linedate_heldmax = std::min(linedate_heldmax, linedate_heldcount);
		if (!evict || !linedate_release())
			break;
	}
	if (fd >= 0 && !linedate_unchanged(w, fd)) {
		logfile_close(f, fd);
		fd = -1;
	}
	f->fd = fd;
	if (fd >= 0 && f->copy == nullptr)
		linedate_held[linedate_heldcount++] = w;
	return fd >= 0;
}

/*
 * The read of len bytes at pos among the bytes of a buffer holding
 * [off, off + held), if all of it is held, and so is the byte before it.
 */
static inline const char *
linedate_find(const char *buf, uint64_t off, size_t held, uint64_t pos, size_t len)
{
	if (pos < off || (pos == off && pos > 0) || pos - off + len > held)
		return nullptr;
	return buf + (pos - off);
}

/*
 * Read the window again for the line at pos.  A walk that goes on in
 * the same direction doubles the read, up to the window's room; one that
 * jumps about reads a few lines.  Reads forward keep a little of what lies
 * behind, for lines slightly out of order; reads backward end with the
 * line.  False when the file no longer holds the bytes.
 */
static bool
linedate_refill(linedate_window *w, const logfile *f, uint64_t pos, size_t want)
{
	bool forward = pos >= w->last && pos - w->last <= w->step;
	bool backward = pos < w->last && w->last - pos <= w->step;
	w->step = forward || backward ? std::min(w->step * 2, w->cap) : w->small;
	/* Lines wanted pages apart, one way and the other, may be wanted in scattered order. */
	w->jumps += !(forward || backward) && (pos > w->last ? pos - w->last : w->last - pos) > linedate_page;

	uint64_t from;
	if (backward) {
		from = pos + want > w->step ? pos + want - w->step : 0;
	} else {
		size_t behind = std::max<size_t>(1, std::min(w->step / 8, w->step > want ? w->step - want - 1 : 0));
		from = pos - std::min<uint64_t>(pos, behind);
	}
	/* Begun where the file's cache line begins, which the buffer's room allows. */
	size_t align = size_t(std::min<uint64_t>(from, (f->copybase + from) % quorvel_cacheline));
	from -= align;
	size_t n = size_t(std::min<uint64_t>(w->step + align, f->size - from));
	w->off = from;
	w->len = quorvel_readat(f->fd, w->buf, n, f->copybase + from);
	w->fresh = true;
	return w->len == n;
}

/* A read longer than the window can hold, read alone with the byte before it. */
static const char *
linedate_fetchlong(const logfile *f, uint64_t pos, size_t len)
{
	uint64_t from = pos > 0 ? pos - 1 : 0;
	size_t n = size_t(pos - from) + len;

	if (quorvel_readat(f->fd, linedate_scratch, n, f->copybase + from) != n)
		return nullptr;
	return linedate_scratch + (pos - from);
}

/*
 * The read of len bytes at pos of w's file, or null when its bytes cannot
 * be had.  Says whether the file was read for it.
 */
static const char *
linedate_fetch(linedate_window *w, uint64_t pos, size_t len, bool *reread)
{
	const logfile *f = w->file;

	if (pos >= f->size || len > f->size - pos)
		return nullptr;
	w->taken++;
	if (w->map != nullptr) {
		/*
		 * Each line read in place is a read of its own, its key checked;
		 * taken, as a window's read, with the byte before it, so that the
		 * checks and the copy out see the same bytes however the file
		 * changes meanwhile.
		 */
		size_t before = pos > 0;
		/* Its newlines are looked at as it is copied out, after the checks. */
		(void)linedate_copyread(linedate_scratch, w->map + pos - before, before + len);
		*reread = true;
		w->fresh = true;
		return linedate_scratch + before;
	}
	const char *line = linedate_find(w->buf, w->off, w->len, pos, len);
	*reread = line == nullptr;
	if (line == nullptr) {
		/* A file closed for others' sake is opened again, and checked again. */
		if (f->fd < 0 && !linedate_open(w, true))
			return nullptr;
		w->used = true;
		size_t want = size_t(std::min<uint64_t>(quorvel_linemax, f->size - pos));
		if (!linedate_refill(w, f, pos, want)) {
			w->len = 0;
			return nullptr;
		}
		line = linedate_find(w->buf, w->off, w->len, pos, len);
		if (line == nullptr && (line = linedate_fetchlong(f, pos, len)) == nullptr)
			return nullptr;
		/* The next line on is read in place, under guard. */
		if (w->jumps >= linedate_mapjumps && w->jumps >= w->taken / 4 && linedates_map && !w->unmappable)
			w->unmappable = (w->map = linedate_map(f, f->fd)) == nullptr;
	}
	w->last = pos;
	return line;
}

static bool
linedate_pieceholds(const linedate_window *w, const linedate_piece *p)
{
	const logfile *f = w->file;

	if (w->map != nullptr)
		return logfile_checksum(w->map + p->off, p->len) == p->sum;
	return quorvel_readat(f->fd, linedate_midbuf, p->len, f->copybase + p->off) == p->len &&
	    logfile_checksum(linedate_midbuf, p->len) == p->sum;
}

/*
 * A long line's read taken from a new read of its file must not join
 * those printed from the file as it was before: the line's first read,
 * which holds its date, and the read just before must still be there.
 */
static bool
linedate_sameread(const linedate_window *w)
{
	return linedate_pieceholds(w, &linedate_last) &&
	    (linedate_first.off == linedate_last.off || linedate_pieceholds(w, &linedate_first));
}

/* Does w's file, read in place, still end with the bytes it was counted with? */
static bool
linedate_tailholds(const linedate_window *w)
{
	const logfile *f = w->file;
	size_t n = size_t(std::min<uint64_t>(f->size, logfile_tailsize));

	return logfile_checksum(w->map + f->size - n, n) == f->tail;
}

/*
 * Is this the line the scan indexed?  It starts a line, or continues the
 * long line printed just before it; and the
 * first line taken from a read, when it names its own month, still has
 * its key.  The first line of a file, which starts a line wherever the
 * file's bytes moved, must have the bytes it had.
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
	if (w->map != nullptr && line[len - 1] != '\n' && !linedate_tailholds(w))
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
linedate_printfrom(linedate_window *w, const linedate *r)
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

/* Print the line of record r, or leave its file out, saying so once. */
static void
linedate_print(linedate_window *windows, const linedate *r)
{
	linedate_window *w = &windows[r->file->place];

	if (r->file->lost)
		return;
	/* One to be read in place from the start opens now if it must, so that its first read is guarded too. */
	if (w->map == nullptr && r->file->fd < 0 && linedate_mapfirst(w))
		linedate_open(w, true);
	if (w->map == nullptr) {
		linedate_printfrom(w, r);
		return;
	}
	if (sigsetjmp(linedates_mapfault, 0) == 0) {
		linedate_guard(r->file, w->map);
		linedate_printfrom(w, r);
		linedates_mapguarded = 0;
		return;
	}
	/* The file was cut short under its mapping. */
	linedate_endline();
	logfile_lose(r->file, "Cannot read %s again\n");
}

/*
 * A read for one line wanted out of order: a few of the file's average
 * lines, a page at most.  A longer line takes a read of its own.
 */
static size_t
linedate_smallread(const logfile *f, size_t cap)
{
	uint64_t average = f->lines > 0 ? f->size / f->lines : 0;
	size_t n = 512;

	while (n < linedate_page && n < 4 * average)
		n *= 2;
	return std::min(n, cap);
}

/*
 * The room of all windows.  Where the logs cannot all keep a descriptor,
 * every read of one that lost its own costs an open and the checks: the
 * windows take half as much again, and each the smallest window more.
 */
static size_t
linedate_windowroom(size_t files)
{
	size_t plain = 0;
	struct rlimit rl;

	for (const logfile *f = logfiles_begin; f != nullptr; f = f->next)
		plain += f->copy == nullptr;
	if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && plain + 16 > rl.rlim_cur)
		return linedate_windowbudget + linedate_windowbudget / 2 + files * linedate_windowmin;
	return linedate_windowbudget;
}

/* Windows share a fixed budget; memory for them and for the output fills. */
static linedate_window *
linedate_windows(size_t files)
{
	size_t cap = std::clamp(linedate_windowroom(files) / files, linedate_windowmin, linedate_windowmax);
	cap -= cap % quorvel_cacheline;
	size_t room = cap + quorvel_cacheline;
	linedate_window *windows = static_cast<linedate_window *>(calloc(files, sizeof(linedate_window)));
	char *space = nullptr;
	if (files <= SIZE_MAX / room)
		space = static_cast<char *>(quorvel_blockalloc(files * room));
	linedate_held = static_cast<linedate_window **>(calloc(files, sizeof(linedate_window *)));
	linedate_outsize = linedate_outputsize();
	/* A pipe's pages, into which the fills are copied, start at a page too. */
	linedate_out = static_cast<char *>(quorvel_blockalloc(linedate_outsize));
	if (windows == nullptr || space == nullptr || linedate_held == nullptr || linedate_out == nullptr)
		quorvel_nomemory();
	size_t i = 0;
	for (logfile *f = logfiles_begin; f != nullptr; f = f->next, i++) {
		windows[i].file = f;
		windows[i].buf = space + i * room;
		windows[i].cap = cap;
		windows[i].small = linedate_smallread(f, cap);
		windows[i].step = windows[i].small;
	}
	return windows;
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
linedate_inplace(const linedate_window *windows, const linedate *r)
{
	const char *map = r->time != 0 ? windows[r->file->place].map : nullptr;

	return map != nullptr ? map + linedate_offset(r) : nullptr;
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
		const char *ahead = heap[0].end - r > linedate_ahead ? linedate_inplace(windows, r + linedate_ahead) : nullptr;
		if (ahead != nullptr) {
			__builtin_prefetch(ahead - 1);
			__builtin_prefetch(ahead + 63);
			__builtin_prefetch(ahead + 127);
			__builtin_prefetch(ahead + 191);
		}
#endif
		if (r->time != 0)
			linedate_print(windows, r);
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
	for (size_t i = 0; i < files; i++)
		if (windows[i].map != nullptr)
			linedate_unmap(windows[i].file, windows[i].map);
	free(windows[0].buf);
	free(windows);
	free(linedate_held);
	linedate_held = nullptr;
	linedate_heldcount = linedate_hand = 0;
	linedate_heldmax = SIZE_MAX;
	free(linedate_out);
	linedate_out = nullptr;
	linedate_outlen = 0;
}
