/*
 * The list of input files and the counting pass.
 */
#include "logfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quorvel_io.h"

logfile *logfiles_begin;
logfile *logfiles_end;
unsigned logfiles_lost;

void
logfile_add(const char *filename)
{
	if (debug)
		fprintf(stderr, "logfile_add (%s)\n", filename);

	/* The name lives right behind the record: one allocation each. */
	size_t len = strlen(filename);
	logfile *f = static_cast<logfile *>(calloc(1, sizeof(logfile) + len + 1));
	if (f == nullptr)
		quorvel_nomemory();
	f->name = reinterpret_cast<char *>(f + 1);
	f->fd = -1;
	memcpy(f->name, filename, len + 1);

	if (logfiles_begin == nullptr) {
		logfiles_begin = f;
	} else {
		f->place = logfiles_end->place + 1;
		logfiles_end->next = f;
	}
	logfiles_end = f;
}

/* Bounded reads of a physical line of len bytes, its newline included. */
static inline uint64_t
logfile_reads(uint64_t len)
{
	return (len + quorvel_linemax - 1) / quorvel_linemax;
}

#if defined(__SSE2__)
/*
 * Lines are counted a chunk at a time.  Two newlines of one chunk lie
 * less than a bounded read apart, so only a chunk's first line can take
 * more than one read.
 */
static constexpr size_t logfile_chunk = 2048;

static inline unsigned
logfile_nlmask(const char *p)
{
	__m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
	return unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
}

/* Newlines in a chunk; fewer than 256 fall in each byte's counter. */
static inline size_t
logfile_newlines(const char *p)
{
	__m128i nl = _mm_set1_epi8('\n'), count = _mm_setzero_si128();

	for (size_t i = 0; i < logfile_chunk; i += 16) {
		__m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
		count = _mm_sub_epi8(count, _mm_cmpeq_epi8(v, nl));
	}
	count = _mm_sad_epu8(count, _mm_setzero_si128());
	return size_t(_mm_cvtsi128_si32(count)) + size_t(_mm_extract_epi16(count, 4));
}

/* Count a chunk that holds a newline: its first line goes on from before. */
static void
logfile_countchunk(logfile_counter *c, const char *p, size_t newlines)
{
	size_t first = 0, last = logfile_chunk - 16;
	unsigned m;

	while ((m = logfile_nlmask(p + first)) == 0)
		first += 16;
	first += unsigned(__builtin_ctz(m));
	while ((m = logfile_nlmask(p + last)) == 0)
		last -= 16;
	last += 31 - unsigned(__builtin_clz(m));
	c->lines += logfile_reads(c->run + first + 1) + newlines - 1;
	c->run = logfile_chunk - last - 1;
}
#endif

void
logfile_countblock(logfile_counter *c, const char *p, size_t n)
{
	const char *end = p + n;
	const char *nl;

#if defined(__SSE2__)
	for (; size_t(end - p) >= logfile_chunk; p += logfile_chunk) {
		if (size_t newlines = logfile_newlines(p))
			logfile_countchunk(c, p, newlines);
		else
			c->run += logfile_chunk;
	}
#endif
	while ((nl = static_cast<const char *>(memchr(p, '\n', size_t(end - p)))) != nullptr) {
		c->lines += logfile_reads(c->run + uint64_t(nl - p) + 1);
		c->run = 0;
		p = nl + 1;
	}
	c->run += uint64_t(end - p);
}

uint64_t
logfile_countend(const logfile_counter *c)
{
	return c->lines + logfile_reads(c->run);
}

/* FNV-1a */
static constexpr uint64_t logfile_checksumbasis = 0xcbf29ce484222325u;

uint64_t
logfile_checksumon(uint64_t h, const char *p, size_t n)
{
	for (size_t i = 0; i < n; i++)
		h = (h ^ static_cast<unsigned char>(p[i])) * 0x100000001b3u;
	return h;
}

uint64_t
logfile_checksum(const char *p, size_t n)
{
	return logfile_checksumon(logfile_checksumbasis, p, n);
}

void
logfile_lose(logfile *f, const char *format)
{
	if (f->lost)
		return;
	fprintf(stderr, format, f->name);
	f->lost = true;
	logfiles_lost++;
}

bool
logfile_unchanged(const logfile *f, int fd)
{
	char buf[quorvel_linemax];
	size_t n = size_t(std::min<uint64_t>(f->size, logfile_tailsize));

	if (f->copy != nullptr)
		return true;
	/* The first read, as far as it went, and the last bytes. */
	return quorvel_readat(fd, buf, f->headlen, 0) == f->headlen && logfile_checksum(buf, f->headlen) == f->head &&
	    quorvel_readat(fd, buf, n, f->size - n) == n && logfile_checksum(buf, n) == f->tail;
}

void
logfile_sumblock(logfile_sum *s, const char *p, size_t n)
{
	if (n == 0)
		return;
	if (s->seen == 0)
		s->head = logfile_checksumbasis;
	/* The first read may take more than one block. */
	if (!s->headwhole) {
		size_t lim = size_t(std::min<uint64_t>(n, quorvel_linemax - s->seen));
		const char *nl = static_cast<const char *>(memchr(p, '\n', lim));
		size_t len = nl != nullptr ? size_t(nl - p) + 1 : lim;
		s->head = logfile_checksumon(s->head, p, len);
		s->headlen += uint32_t(len);
		s->headwhole = nl != nullptr || s->seen + len == quorvel_linemax;
	}
	if (n >= logfile_tailsize) {
		memcpy(s->tail, p + n - logfile_tailsize, logfile_tailsize);
	} else {
		memmove(s->tail, s->tail + n, logfile_tailsize - n);
		memcpy(s->tail + logfile_tailsize - n, p, n);
	}
	s->seen += n;
}

void
logfile_sumend(const logfile_sum *s, uint64_t *head, uint64_t *tail)
{
	size_t n = size_t(std::min<uint64_t>(s->seen, logfile_tailsize));

	*head = s->seen > 0 ? s->head : logfile_checksumbasis;
	*tail = logfile_checksum(s->tail + logfile_tailsize - n, n);
}

bool
logfile_sameas(const logfile *f, const logfile_sum *s)
{
	uint64_t head, tail;

	if (f->copy != nullptr)
		return true;
	logfile_sumend(s, &head, &tail);
	return s->seen == f->size && head == f->head && tail == f->tail;
}

int
logfile_reopen(const logfile *f)
{
	if (f->copy != nullptr)
		return fileno(f->copy);
	if (!f->counted)
		return -1;
	/* A FIFO put in the file's place must not stop the run. */
	int fd = open(f->name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
	if (fd < 0)
		return -1;
	struct stat st;
	if (fstat(fd, &st) != 0 || st.st_dev != f->dev || st.st_ino != f->ino ||
	    (S_ISREG(st.st_mode) && uint64_t(st.st_size) < f->size)) {
		close(fd);
		errno = ESTALE;
		return -1;
	}
	return fd;
}

void
logfile_close(const logfile *f, int fd)
{
	if (f->copy == nullptr)
		close(fd);
}

/*
 * Count the bounded reads of fd, whose first n bytes are at buf, and the
 * bytes they took; false on a read error.  A short read that reaches the
 * size the file had when opened is its end, as a read that returns
 * nothing is.
 */
static bool
logfile_countfd(logfile *f, int fd, uint64_t size, char *buf, size_t n)
{
	logfile_counter c = {0, 0};
	logfile_sum sum = {};
	uint64_t off = 0;

	while (n > 0) {
		logfile_countblock(&c, buf, n);
		logfile_sumblock(&sum, buf, n);
		off += n;
		if (n < logfile_blocksize && off == size)
			break;
		ssize_t r = quorvel_pread(fd, buf, logfile_blocksize, off);
		if (r < 0)
			return false;
		n = size_t(r);
	}
	f->lines = logfile_countend(&c);
	f->size = off;
	f->headlen = sum.headlen;
	logfile_sumend(&sum, &f->head, &f->tail);
	return true;
}

/* Count one file and note which file it was, for the later passes. */
static void
logfile_countone(logfile *f, char *buf)
{
	int fd = open(f->name, O_RDONLY);
	if (fd < 0)
		return;
	struct stat st;
	if (fstat(fd, &st) != 0) {
		close(fd);
		return;
	}
	f->dev = st.st_dev;
	f->ino = st.st_ino;
	/* The first block says whether the file is compressed. */
	ssize_t first = S_ISREG(st.st_mode) ? quorvel_pread(fd, buf, logfile_blocksize, 0) : 0;
	logfile_packing format = first > 0 ? logfile_format(buf, size_t(first)) : logfile_plain;
	/* A copy is counted as it is written. */
	if ((!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) || format != logfile_plain) {
		f->counted = format != logfile_plain ? logfile_decompress(f, fd, format, buf, size_t(first)) :
		    logfile_copy(f, fd, buf);
	} else {
		f->counted = true;
		/* A directory reads as an empty file. */
		if (S_ISDIR(st.st_mode)) {
			f->head = f->tail = logfile_checksum(nullptr, 0);
		} else if (first < 0 || !logfile_countfd(f, fd, uint64_t(st.st_size), buf, size_t(first))) {
			f->lines = 0;
			logfile_lose(f, "Cannot read %s again\n");
		}
	}
	close(fd);
	if (!f->counted)
		return;
	if (debug && !f->lost)
		fprintf(stderr, "File %s has %" PRIu64 " lines\n", f->name, f->lines);
}

void
logfile_linecount(void)
{
	if (debug)
		fputs("logfile_linecount ()\n", stderr);
	/* Not kept: the pages go back before the table is made. */
	char *buf = static_cast<char *>(quorvel_blockalloc(2 * logfile_blocksize));
	if (buf == nullptr)
		quorvel_nomemory();
	for (logfile *f = logfiles_begin; f != nullptr; f = f->next) {
		f->lines = 0;
		logfile_countone(f, buf);
	}
	free(buf);
}
