/*
 * The line index: the table, the date key of a line, the scanning pass
 * that fills the table, the sort and the output pass that prints it.
 */
#include "linedate.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "quorvel.h"

uint64_t linedates_totalcount;
linedate *linedates_buffer;
unsigned linedates_lost;

/* The month carried from line to line and from file to file by the scan. */
static int linedate_month;

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
	if (count > SIZE_MAX / sizeof(linedate))
		quorvel_nomemory();
	linedates_buffer = static_cast<linedate *>(calloc(size_t(count), sizeof(linedate)));
	if (linedates_buffer == nullptr)
		quorvel_nomemory();
}

/*
 * Date keys.  A line is cut into pieces at '[', '/', ':', ' ' and ']';
 * the day is piece 5, then month name, year, hour, minute and second.
 * The line ends at its first zero byte: pieces past that are empty.  The
 * line is only read, never changed or read past len.
 */
enum { LINEDATE_TEXT, LINEDATE_DELIM, LINEDATE_END };

struct linedate_classes {
	unsigned char of[256];
};

static constexpr linedate_classes
linedate_makeclasses(void)
{
	linedate_classes c{};
	const char delimiters[] = "[/: ]";
	for (size_t i = 0; delimiters[i] != 0; i++)
		c.of[static_cast<unsigned char>(delimiters[i])] = LINEDATE_DELIM;
	c.of[0] = LINEDATE_END;
	return c;
}

static constexpr linedate_classes linedate_class = linedate_makeclasses();

struct linedate_walk {
	const unsigned char *p;		/* start of the current piece */
	const unsigned char *end;	/* end of the line */
};

/* Move to the next piece; past the end of the line every piece is empty. */
static inline void
linedate_skip(linedate_walk *w)
{
	const unsigned char *q = w->p;

	while (q < w->end && linedate_class.of[*q] == LINEDATE_TEXT)
		q++;
	if (q < w->end && *q != 0)
		w->p = q + 1;
	else
		w->p = w->end = q;
}

/* A byte of a piece as the month test sees it: delimiters and the end read 0. */
static inline unsigned
linedate_byte(const linedate_walk *w, const unsigned char *q)
{
	return q < w->end && linedate_class.of[*q] == LINEDATE_TEXT ? *q : 0;
}

/* atoi of the piece, saturating at the limits of a 32-bit int. */
static int
linedate_number(const linedate_walk *w)
{
	const unsigned char *q = w->p;
	bool negative = false;
	int64_t v = 0;

	/* A space never gets here: it ends the piece. */
	while (q < w->end && (*q == '\t' || *q == '\n' || *q == '\v' || *q == '\f' || *q == '\r'))
		q++;
	if (q < w->end && (*q == '-' || *q == '+'))
		negative = *q++ == '-';
	for (; q < w->end && *q >= '0' && *q <= '9'; q++)
		v = std::min<int64_t>(v * 10 + (*q - '0'), INT64_C(2147483648));
	return int(negative ? -v : std::min<int64_t>(v, INT32_MAX));
}

/* The month of a name, by its first three bytes; 0 when not a name. */
static int
linedate_monthname(const linedate_walk *w)
{
	const unsigned char *p = w->p;
	unsigned b0 = linedate_byte(w, p);
	unsigned b1 = linedate_byte(w, p + 1);
	/* The third byte lies past the end if the second is the line's end. */
	unsigned b2 = p + 1 < w->end && p[1] != 0 ? linedate_byte(w, p + 2) : 0;

	switch (b0) {
	case 'J': return b1 == 'a' ? 1 : b2 == 'l' ? 7 : 6;
	case 'F': return 2;
	case 'M': return b2 == 'r' ? 3 : 5;
	case 'A': return b1 == 'p' ? 4 : 8;
	case 'S': return 9;
	case 'O': return 10;
	case 'N': return 11;
	case 'D': return 12;
	default: return 0;
	}
}

/* The date fields, in the order a line holds them. */
enum { LINEDATE_DAY, LINEDATE_YEAR, LINEDATE_HOUR, LINEDATE_MINUTE, LINEDATE_SECOND };

/* Read the fields piece by piece from the day's piece on. */
static void
linedate_fields(linedate_walk *w, int *month, int field[5])
{
	field[LINEDATE_DAY] = linedate_number(w);
	linedate_skip(w);
	if (int m = linedate_monthname(w))
		*month = m;
	for (int i = LINEDATE_YEAR; i <= LINEDATE_SECOND; i++) {
		linedate_skip(w);
		field[i] = linedate_number(w);
	}
}

static inline int
linedate_two(const unsigned char *p)
{
	return (p[0] - '0') * 10 + (p[1] - '0');
}

static inline bool
linedate_digits(const unsigned char *p, int n)
{
	bool ok = true;
	for (int i = 0; i < n; i++)
		ok &= unsigned(p[i] - '0') <= 9;
	return ok;
}

/*
 * Nearly every line holds its date as dd/Mon/yyyy:hh:mm:ss; read that at
 * once.  The test is strict enough that the piece walk would read the very
 * same fields: false for anything else.
 */
static bool
linedate_usualfields(const linedate_walk *w, int *month, int field[5])
{
	const unsigned char *p = w->p;

	if (w->end - p < 20 || (w->end - p > 20 && unsigned(p[20] - '0') <= 9))
		return false;
	if (p[2] != '/' || p[6] != '/' || p[11] != ':' || p[14] != ':' || p[17] != ':')
		return false;
	if (!(linedate_digits(p, 2) && linedate_digits(p + 7, 4) && linedate_digits(p + 12, 2) &&
	    linedate_digits(p + 15, 2) && linedate_digits(p + 18, 2)))
		return false;
	if ((linedate_class.of[p[3]] | linedate_class.of[p[4]] | linedate_class.of[p[5]]) != LINEDATE_TEXT)
		return false;
	field[LINEDATE_DAY] = linedate_two(p);
	linedate_walk name = {p + 3, p + 6};
	if (int m = linedate_monthname(&name))
		*month = m;
	field[LINEDATE_YEAR] = linedate_two(p + 7) * 100 + linedate_two(p + 9);
	field[LINEDATE_HOUR] = linedate_two(p + 12);
	field[LINEDATE_MINUTE] = linedate_two(p + 15);
	field[LINEDATE_SECOND] = linedate_two(p + 18);
	return true;
}

uint32_t
linedate_datekey(const char *line, size_t len, int *month)
{
	const unsigned char *p = reinterpret_cast<const unsigned char *>(line);
	linedate_walk w = {p, p + len};
	int f[5];

	for (int i = 0; i < 4; i++)
		linedate_skip(&w);
	if (!linedate_usualfields(&w, month, f))
		linedate_fields(&w, month, f);
	int day = f[LINEDATE_DAY], year = f[LINEDATE_YEAR], hour = f[LINEDATE_HOUR];
	int minute = f[LINEDATE_MINUTE], second = f[LINEDATE_SECOND];

	/* Months of 31 days, years of 12 such months, wrapping at 2^32. */
	uint32_t seconds = uint32_t(second) + 60u * uint32_t(minute) +
	    3600u * uint32_t(hour) + 86400u * uint32_t(day) +
	    2678400u * uint32_t(*month) + 32140800u * (uint32_t(year) - 2000u);
	uint32_t key = seconds < 0x80000000u ? seconds : 0x7fffffffu;
	/* Key 0 marks an empty record; the line must not vanish with it. */
	if (key == 0)
		key = 1;
	if (quorvel_trace(3))
		fprintf(stderr, "linedate_parsefile (%d/%d/%d %d:%d:%d -> %u -> %u)\n",
		    year, *month, day, hour, minute, second, unsigned(seconds), unsigned(key));
	return key;
}

/*
 * The scanning pass reads each file in large blocks and cuts them into
 * the same bounded reads as the counting pass.  A read that continues a
 * physical line (the one before it took the whole limit without reaching
 * a newline) shares that line's key and blankness, so a long line keeps
 * together in the sort.
 */
static constexpr size_t linedate_blocksize = 1024 * 1024;

struct linedate_scan {
	logfile *file;
	linedate *current;	/* next record to fill */
	uint64_t left;		/* reads the table has room for */
	uint32_t key;		/* key of the physical line being read */
	bool blank;		/* the physical line is blank */
	bool continued;		/* the next read continues that line */
};

/* Take one read of len bytes found at offset pos; false when the table is full. */
static inline bool
linedate_take(linedate_scan *s, const char *p, size_t len, uint64_t pos)
{
	if (s->left == 0)
		return false;
	s->left--;
	if (!s->continued) {
		s->blank = p[0] == 0 || p[0] == '\n';
		if (!s->blank)
			s->key = linedate_datekey(p, len, &linedate_month);
	}
	if (!s->blank) {
		s->current->file = s->file;
		s->current->time = s->key;
		s->current->pos = pos;
		s->current++;
	}
	s->continued = len == quorvel_linemax && p[len - 1] != '\n';
	return true;
}

/* Read the bytes of fd that follow the have bytes at buf, from offset off. */
static size_t
linedate_fill(int fd, char *buf, size_t have, uint64_t off)
{
	for (;;) {
		ssize_t n = pread(fd, buf + have, linedate_blocksize - have, off_t(off + have));
		if (n < 0 && errno == EINTR)
			continue;
		/* A read error ends the file as its end does. */
		return n > 0 ? size_t(n) : 0;
	}
}

/* Scan fd from its start; return the offset where the scan ended. */
static uint64_t
linedate_scanfd(linedate_scan *s, int fd)
{
	static char buf[linedate_blocksize];
	uint64_t bufoff = 0;	/* file offset of buf[0] */
	size_t have = 0, start = 0;
	bool eof = false;

	for (;;) {
		const char *p = buf + start;
		size_t avail = have - start;
		size_t lim = std::min(avail, quorvel_linemax);
		const char *nl = static_cast<const char *>(memchr(p, '\n', lim));
		if (nl == nullptr && lim < quorvel_linemax && !eof) {
			/* The read may go on in the next block. */
			memmove(buf, p, avail);
			bufoff += start;
			have = avail;
			start = 0;
			size_t n = linedate_fill(fd, buf, have, bufoff);
			eof = n == 0;
			have += n;
			continue;
		}
		if (avail == 0)
			break;
		size_t len = nl != nullptr ? size_t(nl - p) + 1 : lim;
		if (!linedate_take(s, p, len, bufoff + start))
			break;
		start += len;
	}
	return bufoff + start;
}

linedate *
linedate_parsefile(logfile *file, linedate *current)
{
	if (debug)
		fprintf(stderr, "linedate_parsefile (%s)\n", file->name);
	int fd = logfile_open(file);
	if (fd < 0)
		return current;
	struct stat st;
	if (fstat(fd, &st) == 0) {
		file->dev = st.st_dev;
		file->ino = st.st_ino;
	}
	/* A file that grew since it was counted gives only what was counted. */
	linedate_scan s = {file, current, file->lines, 0, false, false};
	file->size = linedate_scanfd(&s, fd);
	logfile_close(file, fd);
	/* The record after the last leaves where the scan ended, with key 0. */
	s.current->file = file;
	s.current->pos = file->size;
	return s.current;
}

void
linedate_parse(void)
{
	linedate *current = linedates_buffer;

	linedate_month = 0;
	for (logfile *f = logfiles_begin; f != nullptr; f = f->next)
		current = linedate_parsefile(f, current);
}

/*
 * Sort: by key, then by the file's place on the command line, then by
 * position, so that equal dates keep command-line and file order and the
 * reads of one long line stay together.  Records without a line (key 0)
 * are all alike; they may not even have a file.
 */
static inline bool
linedate_less(const linedate &x, const linedate &y)
{
	if (x.time != y.time)
		return x.time < y.time;
	if (x.time == 0)
		return false;
	if (x.file != y.file)
		return x.file->place < y.file->place;
	return x.pos < y.pos;
}

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

/* Put a run of records of one key in order; those without a line need none. */
static void
linedate_sortties(linedate *a, size_t n)
{
	if (a[0].time == 0)
		return;
	if (n <= 32)
		linedate_insertionsort(a, n);
	else
		std::sort(a, a + n, [](const linedate &x, const linedate &y) { return linedate_less(x, y); });
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

void
linedate_sort(void)
{
	linedate *a = linedates_buffer;
	size_t n = size_t(linedates_totalcount);

	if (debug)
		fputs("linedate_sort ()\n", stderr);
	if (n == 0)
		return;
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

/*
 * The output pass reads the lines again through one window a file, so
 * that lines printed in file order cost one read call a window, not one
 * a line.  A window starts a little before the line it was read for:
 * lines slightly out of order in their file stay within it.
 */
struct linedate_window {
	char *buf;
	uint64_t off;		/* file offset of buf[0] */
	size_t len;		/* bytes held */
	bool lost;		/* "Cannot read again" was said for the file */
};

static constexpr size_t linedate_windowbudget = 8 * 1024 * 1024;
static size_t linedate_windowsize;

static char linedate_out[128 * 1024];
static size_t linedate_outlen;

static void
linedate_flush(void)
{
	fwrite(linedate_out, 1, linedate_outlen, stdout);
	linedate_outlen = 0;
}

static inline void
linedate_emit(const char *p, size_t n)
{
	if (linedate_outlen + n > sizeof(linedate_out))
		linedate_flush();
	memcpy(linedate_out + linedate_outlen, p, n);
	linedate_outlen += n;
}

/*
 * Open f again for output.  A file that is no longer the one scanned, or
 * that lost bytes the scan went through, would give stale or foreign
 * lines: it is left without a stream.
 */
static void
linedate_reopen(logfile *f)
{
	if (quorvel_trace(2))
		fprintf(stderr, "linedate_output (): openfile %s\n", f->name);
	if (f->copy != nullptr) {
		f->file = f->copy;
		return;
	}
	f->file = fopen(f->name, "r");
	if (f->file == nullptr)
		return;
	struct stat st;
	if (fstat(fileno(f->file), &st) != 0 || st.st_dev != f->dev ||
	    st.st_ino != f->ino || uint64_t(st.st_size) < f->size) {
		fclose(f->file);
		f->file = nullptr;
	}
}

/* Read n bytes of fd at off into buf; the count read. */
static size_t
linedate_readat(int fd, char *buf, size_t n, uint64_t off)
{
	size_t got = 0;

	while (got < n) {
		ssize_t r = pread(fd, buf + got, n - got, off_t(off + got));
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			break;
		got += size_t(r);
	}
	return got;
}

/* Find the read at pos of f; false when its bytes cannot be had. */
static bool
linedate_fetch(linedate_window *w, const logfile *f, uint64_t pos, const char **line, size_t *len)
{
	if (f->file == nullptr || pos >= f->size)
		return false;
	size_t want = size_t(std::min<uint64_t>(quorvel_linemax, f->size - pos));
	if (pos < w->off || pos + want > w->off + w->len) {
		/* Look behind, but never so far that the read itself does not fit. */
		uint64_t back = std::min<uint64_t>({pos, linedate_windowsize / 8, linedate_windowsize - want});
		uint64_t from = pos - back;
		size_t n = size_t(std::min<uint64_t>(linedate_windowsize, f->size - from));
		w->off = from;
		w->len = linedate_readat(fileno(f->file), w->buf, n, from);
		if (w->len < back + want) {
			w->len = 0;
			return false;
		}
	}
	*line = w->buf + (pos - w->off);
	const char *nl = static_cast<const char *>(memchr(*line, '\n', want));
	*len = nl != nullptr ? size_t(nl - *line) + 1 : want;
	return true;
}

/* Print the line of record r, or say once a file that it cannot be read. */
static void
linedate_print(linedate_window *windows, const linedate *r)
{
	const logfile *f = r->file;
	linedate_window *w = &windows[f->place];
	const char *line;
	size_t len;

	if (!linedate_fetch(w, f, r->pos, &line, &len)) {
		if (!w->lost) {
			fprintf(stderr, "Cannot read %s again\n", f->name);
			w->lost = true;
			linedates_lost++;
		}
		return;
	}
	linedate_emit(line, len);
	/* The unterminated end of a file must not run into the next line. */
	if (line[len - 1] != '\n' && r->pos + len == f->size)
		linedate_emit("\n", 1);
}

void
linedate_output(void)
{
	size_t files = 0;

	if (debug)
		fputs("linedate_output ()\n", stderr);
	for (logfile *f = logfiles_begin; f != nullptr; f = f->next, files++)
		linedate_reopen(f);
	if (files == 0)
		return;

	/* Windows share a fixed budget, but each holds at least a whole read. */
	linedate_windowsize = std::max<size_t>(4096, std::min<size_t>(linedate_windowbudget / files, 1024 * 1024));
	linedate_window *windows = static_cast<linedate_window *>(calloc(files, sizeof(linedate_window)));
	char *space = nullptr;
	if (files <= SIZE_MAX / linedate_windowsize)
		space = static_cast<char *>(malloc(files * linedate_windowsize));
	if (windows == nullptr || space == nullptr)
		quorvel_nomemory();
	for (size_t i = 0; i < files; i++)
		windows[i].buf = space + i * linedate_windowsize;

	for (uint64_t i = 0; i < linedates_totalcount; i++)
		if (linedates_buffer[i].time != 0)
			linedate_print(windows, &linedates_buffer[i]);
	linedate_flush();
	free(space);
	free(windows);
}
