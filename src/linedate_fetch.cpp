/*
 * What fetches the output pass's lines from their files.  Each file is
 * read through a window of its own, whose reads follow the way the sorted
 * index walks the file: they grow while the walk goes forward (a log in
 * date order) or backward (a log written newest first), and shrink to a
 * few lines while the lines are wanted in scattered order.  A line is
 * taken from the window when all of its read, whose length the record
 * carries, is in it.  A log whose lines are seen to be wanted in scattered
 * order is read in place from then on, through a mapping of the file
 * (linedate_map.cpp); so is, from the start, one larger than its window
 * where so many logs share the windows' room that its window would hold
 * fewer than 16 of its lines.  Every read of a mapping is guarded: a
 * file cut short under it is a line that cannot be had.
 *
 * The files keep their descriptors as far as the limit on open files
 * allows; past it, one not read lately gives its own up to the file
 * being read, which is opened again, and checked again, when next read.
 */
#include "linedate_fetch.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "linedate_map.h"
#include "quorvel_io.h"

bool linedates_map = true;

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

/* A read too long for a small window, or read in place, is taken here on its own. */
static char linedate_scratch[quorvel_linemax + 1];
/* Bytes read back for a check. */
static char linedate_checkbuf[quorvel_linemax];

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
 * Where many logs share the windows' room, a window may hold only a few
 * lines of its log, and a log larger than it would cost a read call every
 * few lines: such a log is read in place from the start, which costs one
 * call to map it and needs no descriptor after.  A window of more lines
 * costs less than the checks of lines read in place.
 */
static constexpr uint64_t linedate_fewlines = 16;

static bool
linedate_mapfirst(const linedate_window *w)
{
	const logfile *f = w->file;

	return linedates_map && !w->unmappable && f->size > w->cap && w->cap < linedate_fewlines * f->size / f->lines;
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

bool
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
 * A line read in place is a read of its own, its key checked: the bytes
 * under a mapping may change between any two lines.  It is taken, as a
 * window's read, with the byte before it, so that the checks and the copy
 * out see the same bytes however the file changes meanwhile; null when
 * the file was cut short under its mapping.
 */
const char *
linedate_takeinplace(linedate_window *w, uint64_t pos, size_t len, bool *reread)
{
	size_t before = pos > 0;

	if (pos >= w->file->size || len > w->file->size - pos)
		return nullptr;
	w->taken++;
	*reread = true;
	if (sigsetjmp(linedates_mapfault, 0) != 0)
		return nullptr;
	linedate_guard(w->file, w->map);
	/* Its newlines are looked at as it is copied out, after the checks. */
	(void)linedate_copyread(linedate_scratch, w->map + pos - before, before + len);
	linedates_mapguarded = 0;
	w->fresh = true;
	return linedate_scratch + before;
}

const char *
linedate_refetch(linedate_window *w, uint64_t pos, size_t len, bool *reread)
{
	const logfile *f = w->file;

	if (pos >= f->size || len > f->size - pos)
		return nullptr;
	const char *line = linedate_find(w->buf, w->off, w->len, pos, len);
	/* A file closed for others' sake is opened again, and checked again; it may be read in place from now. */
	if (line == nullptr && f->fd < 0 && !linedate_open(w, true))
		return nullptr;
	if (w->map != nullptr)
		return linedate_takeinplace(w, pos, len, reread);
	w->taken++;
	*reread = line == nullptr;
	if (line == nullptr) {
		w->used = true;
		size_t want = size_t(std::min<uint64_t>(quorvel_linemax, f->size - pos));
		if (!linedate_refill(w, f, pos, want)) {
			w->len = 0;
			return nullptr;
		}
		line = linedate_find(w->buf, w->off, w->len, pos, len);
		if (line == nullptr && (line = linedate_fetchlong(f, pos, len)) == nullptr)
			return nullptr;
		/* The next line on is read in place. */
		if (w->jumps >= linedate_mapjumps && w->jumps >= w->taken / 4 && linedates_map && !w->unmappable)
			w->unmappable = (w->map = linedate_map(f, f->fd)) == nullptr;
	}
	w->last = pos;
	return line;
}

bool
linedate_holds(const linedate_window *w, uint64_t off, size_t len, uint64_t sum)
{
	const logfile *f = w->file;

	if (w->map == nullptr)
		return quorvel_readat(f->fd, linedate_checkbuf, len, f->copybase + off) == len &&
		    logfile_checksum(linedate_checkbuf, len) == sum;
	if (sigsetjmp(linedates_mapfault, 0) != 0)
		return false;
	linedate_guard(f, w->map);
	bool same = logfile_checksum(w->map + off, len) == sum;
	linedates_mapguarded = 0;
	return same;
}

bool
linedate_endholds(const linedate_window *w)
{
	const logfile *f = w->file;
	size_t n = size_t(std::min<uint64_t>(f->size, logfile_tailsize));

	return linedate_holds(w, f->size - n, n, f->tail);
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

/* Windows share a fixed budget. */
linedate_window *
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
	if (windows == nullptr || space == nullptr || linedate_held == nullptr)
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

void
linedate_windowsfree(linedate_window *windows, size_t files)
{
	for (size_t i = 0; i < files; i++)
		if (windows[i].map != nullptr)
			linedate_unmap(windows[i].file, windows[i].map);
	free(windows[0].buf);
	free(windows);
	free(linedate_held);
	linedate_held = nullptr;
	linedate_heldcount = linedate_hand = 0;
	linedate_heldmax = SIZE_MAX;
}
