/*
 * What is known of a file from the blocks read of it, below every pass:
 * how many bounded reads they hold, and checksums of its first read and
 * last bytes, which tell the file a later pass opens again from one put
 * in its place; the checks made then, and a file left out.
 */
#include "logfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quorvel_io.h"

unsigned logfiles_lost;

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
logfile_lose(logfile *f, const char *format, const char *why)
{
	if (f->lost)
		return;
	fprintf(stderr, format, f->name, why);
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
