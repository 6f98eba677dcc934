/*
 * What the output pass (linedate_output.cpp) takes from the room that
 * fetches its lines' bytes (linedate_fetch.cpp): each log's window, the
 * line of a record read through it or in place, and the bytes the checks
 * of a line read back.
 */
#ifndef LINEDATE_FETCH_H
#define LINEDATE_FETCH_H

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "linedate.h"

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

static constexpr size_t linedate_page = 4096;

/* A window for each file of the list, in list order; the end of the run when there is no memory. */
linedate_window *linedate_windows(size_t files);
/* Give the windows back, and the mappings of the files read in place. */
void linedate_windowsfree(linedate_window *windows, size_t files);

/*
 * Open w's file again for output; at the limit on open files, in place of
 * another if evict.  A file that is no longer the one counted, or that
 * lost bytes the scan went through, is left without a descriptor.
 */
bool linedate_open(linedate_window *w, bool evict);

/* linedate_fetch of a line read in place, and of one not in the window already. */
const char *linedate_takeinplace(linedate_window *w, uint64_t pos, size_t len, bool *reread);
const char *linedate_refetch(linedate_window *w, uint64_t pos, size_t len, bool *reread);

/*
 * The read of len bytes at pos of w's file, with the byte before it, or
 * null when its bytes cannot be had.  Says whether the file was read for
 * it: a line read in place always is, each a read of its own.
 */
static inline const char *
linedate_fetch(linedate_window *w, uint64_t pos, size_t len, bool *reread)
{
	if (w->map != nullptr)
		return linedate_takeinplace(w, pos, len, reread);
	/* Most lines lie in the window the line before them was taken from, bytes of the file all. */
	if (pos > w->off && pos - w->off + len <= w->len) {
		w->taken++;
		w->last = pos;
		*reread = false;
		return w->buf + (pos - w->off);
	}
	return linedate_refetch(w, pos, len, reread);
}

/* Do the len bytes at off of w's file still have this checksum? */
bool linedate_holds(const linedate_window *w, uint64_t off, size_t len, uint64_t sum);
/* Does w's file, read in place, still end with the bytes it was counted with? */
bool linedate_endholds(const linedate_window *w);

/* Where in memory the line at pos of w's file lies, if it is read in place. */
static inline const char *
linedate_inplace(const linedate_window *w, uint64_t pos)
{
	return w->map != nullptr ? w->map + pos : nullptr;
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

#endif
