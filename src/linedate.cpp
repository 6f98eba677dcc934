/*
 * The scanning pass, which fills the line index.  The table, the date
 * key, the sort and the output pass have files of their own.
 */
#include "linedate.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "quorvel_io.h"

/* The month carried from line to line and from file to file by the scan. */
static int linedate_month;

/*
 * The scanning pass reads each file in large blocks and cuts them into
 * the same bounded reads as the counting pass.  A read that continues a
 * physical line (the one before it took the whole limit without reaching
 * a newline) shares that line's key and blankness, so a long line keeps
 * together in the sort.  A block is small enough to stay in the cache
 * while its lines are scanned.
 */
static constexpr size_t linedate_blocksize = 256 * 1024;
static char *linedate_scanbuf;

struct linedate_scan {
	logfile *file;
	linedate *current;	/* next record to fill */
	uint64_t left;		/* reads the table has room for */
	uint32_t key;		/* key of the physical line being read */
	bool blank;		/* the physical line is blank, or keyless yet */
	bool keyless;		/* it began with zero bytes and no other has come */
	bool continued;		/* the next read continues that line */
	linedate *line;		/* its first record */
	logfile_sum sum;	/* of the bytes read */
};

/* Fill the next record with the read of len bytes at offset pos. */
static inline void
linedate_record(linedate_scan *s, uint64_t pos, size_t len)
{
	s->current->file = s->file;
	s->current->time = s->key;
	s->current->pos = linedate_makepos(pos, len);
	s->current++;
}

/*
 * A line that begins with zero bytes, as a crash leaves them where data
 * were never written, often goes on with the first entry written after
 * the restart.  It takes the key of its first read that holds another
 * byte, from that byte on, and its reads before that take the same key
 * once it is known.  A line of zero bytes alone is blank after all.
 */
static void
linedate_zeroled(linedate_scan *s, const char *p, size_t len, uint64_t pos)
{
	const char *q = p, *end = p + len;

	while (q < end && *q == 0)
		q++;
	if (q < end && *q != '\n') {
		s->key = linedate_datekey(q, size_t(end - q), &linedate_month);
		for (linedate *r = s->line; r < s->current; r++)
			r->time = s->key;
		s->blank = s->keyless = false;
	} else if (!s->continued) {
		memset(static_cast<void *>(s->line), 0, size_t(s->current - s->line) * sizeof(linedate));
		s->current = s->line;
		s->keyless = false;
		return;
	}
	linedate_record(s, pos, len);
}

/* Take one read of len bytes found at offset pos; false when the table is full. */
static inline bool
linedate_take(linedate_scan *s, const char *p, size_t len, uint64_t pos)
{
	if (s->left == 0)
		return false;
	s->left--;
	if (!s->continued) {
		s->blank = p[0] == 0 || p[0] == '\n';
		if (!s->blank) {
			s->key = linedate_datekey(p, len, &linedate_month);
		} else if ((s->keyless = p[0] == 0)) {
			s->key = 0;
			s->line = s->current;
		}
	}
	s->continued = len == quorvel_linemax && p[len - 1] != '\n';
	if (!s->blank)
		linedate_record(s, pos, len);
	else if (s->keyless)
		linedate_zeroled(s, p, len, pos);
	return true;
}

/*
 * Read the bytes of f's text, through fd, that follow the have bytes at
 * buf, from offset off, up to the end the counting pass saw: the count, 0
 * at that end, -1 when the file fails to read or ends before it.
 */
static ssize_t
linedate_fill(const logfile *f, int fd, char *buf, size_t have, uint64_t off)
{
	size_t want = size_t(std::min<uint64_t>(linedate_blocksize - have, f->size - (off + have)));

	if (want == 0)
		return 0;
	ssize_t n = quorvel_pread(fd, buf + have, want, f->copybase + off + have);
	return n > 0 ? n : -1;
}

/*
 * Scan the bytes of fd that were counted; false when they cannot all be
 * read or do not cut into the reads that were counted.
 */
static bool
linedate_scanfd(linedate_scan *s, int fd, char *buf)
{
	uint64_t bufoff = 0;	/* file offset of buf[0] */
	size_t have = 0, start = 0;
	bool eof = false;

	for (;;) {
		const char *p = buf + start;
		size_t avail = have - start;
		size_t lim = std::min(avail, quorvel_linemax);
		const char *nl = static_cast<const char *>(memchr(p, '\n', lim));
		if (nl == nullptr && lim < quorvel_linemax && !eof) {
			/* The read may go on in the next block, read in line with the file's pages. */
			uint64_t at = bufoff + start;
			size_t a = size_t(std::min<uint64_t>(at, (s->file->copybase + at) % quorvel_cacheline));
			memmove(buf + a, p, avail);
			bufoff = at - a;
			have = a + avail;
			start = a;
			ssize_t n = linedate_fill(s->file, fd, buf, have, bufoff);
			if (n < 0)
				return false;
			logfile_sumblock(&s->sum, buf + have, size_t(n));
			eof = n == 0;
			have += size_t(n);
			continue;
		}
		if (avail == 0)
			return true;
		size_t len = nl != nullptr ? size_t(nl - p) + 1 : lim;
		if (!linedate_take(s, p, len, bufoff + start))
			return false;
		start += len;
	}
}

/*
 * Scan one file into the records from current on; the cursor after them.
 * A file that is no longer the one counted, or no longer reads as it was
 * counted, leaves no record and no trace in the carried month.
 */
static linedate *
linedate_scanfile(logfile *file, linedate *current, char *buf)
{
	int fd = file->size <= linedate_offsetmax ? logfile_reopen(file) : -1;
	if (fd < 0) {
		if (file->counted)
			logfile_lose(file, "Cannot read %s again\n");
		return current;
	}
	int month = linedate_month;
	/* A file that grew since it was counted gives only what was counted. */
	linedate_scan s = {file, current, file->lines, 0, false, false, false, current, {}};
	/* The file was read as counted: the same reads, the same ends. */
	bool ok = linedate_scanfd(&s, fd, buf) && s.left == 0 && logfile_sameas(file, &s.sum);
	logfile_close(file, fd);
	if (!ok) {
		memset(static_cast<void *>(current), 0, size_t(s.current - current) * sizeof(linedate));
		linedate_month = month;
		logfile_lose(file, "Cannot read %s again\n");
		return current;
	}
	/* The record after the last leaves where the scan ended, with key 0. */
	s.current->file = file;
	s.current->pos = linedate_makepos(file->size, 0);
	return s.current;
}

linedate *
linedate_parsefile(logfile *file, linedate *current)
{
	if (debug)
		fprintf(stderr, "linedate_parsefile (%s)\n", file->name);
	if (file->lost)
		return current;
	if (linedate_scanbuf == nullptr &&
	    (linedate_scanbuf = static_cast<char *>(quorvel_blockalloc(linedate_blocksize))) == nullptr)
		quorvel_nomemory();
	return linedate_scanfile(file, current, linedate_scanbuf);
}

void
linedate_parse(void)
{
	linedate *current = linedates_buffer;

	linedate_month = 0;
	for (logfile *f = logfiles_begin; f != nullptr; f = f->next)
		current = linedate_parsefile(f, current);
	/* The output pass wants the memory more. */
	free(linedate_scanbuf);
	linedate_scanbuf = nullptr;
}
