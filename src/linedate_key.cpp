/*
 * The date key of a line.
 */
#include "linedate.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quorvel_io.h"

/*
 * Date keys.  A line is cut into pieces at '[', '/', ':', ' ' and ']';
 * in the usual layout, host ident user [date, the day is piece 5, then
 * month name, year, hour, minute and second.  An IPv6 client, a virtual
 * host's port, a proxy's address list or a user name with a space adds
 * pieces before the date: a line whose fifth piece does not follow a '['
 * is read from the first '[' that opens a whole date instead.  The line
 * ends at its first zero byte: pieces past that are empty.  The line is
 * only read, never changed or read past len.
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

#if defined(__SSE2__)
/* Bit i set where byte i of 16 ends a piece, as a delimiter or a zero byte. */
static inline unsigned
linedate_endmask(__m128i v)
{
	__m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('[')), _mm_cmpeq_epi8(v, _mm_set1_epi8('/')));
	m = _mm_or_si128(m, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(':')), _mm_cmpeq_epi8(v, _mm_set1_epi8(' '))));
	m = _mm_or_si128(m, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(']')), _mm_cmpeq_epi8(v, _mm_setzero_si128())));
	return unsigned(_mm_movemask_epi8(m));
}

/* Ends of pieces, and zero bytes, among the 16 bytes at p, as bits at shift. */
static inline void
linedate_endsof(const unsigned char *p, int shift, uint64_t *ends, uint64_t *zeros)
{
	__m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
	*ends |= uint64_t(linedate_endmask(v)) << shift;
	*zeros |= uint64_t(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())))) << shift;
}

/* Start the fifth piece after the fourth end among these, if no zero byte comes first. */
static inline bool
linedate_fourthend(linedate_walk *w, uint64_t ends, uint64_t zeros)
{
	ends &= ends - 1;
	ends &= ends - 1;
	ends &= ends - 1;
	if (ends == 0)
		return false;
	unsigned at = unsigned(__builtin_ctzll(ends));
	if ((zeros & ((uint64_t(2) << at) - 1)) != 0)
		return false;
	w->p += at + 1;
	return true;
}
#endif

/*
 * Move four pieces on, as four skips do.  Where SSE2 is there, the ends
 * of pieces among the first 32 bytes, or 64 for a virtual host or a long
 * client, are found at once: nearly always the fourth is a delimiter among
 * them, with no zero byte before it.
 */
static inline void
linedate_skipfour(linedate_walk *w)
{
#if defined(__SSE2__)
	const unsigned char *p = w->p;
	uint64_t ends = 0, zeros = 0;
	if (w->end - p >= 32) {
		linedate_endsof(p, 0, &ends, &zeros);
		linedate_endsof(p + 16, 16, &ends, &zeros);
		if (linedate_fourthend(w, ends, zeros))
			return;
	}
	if (w->end - p >= 64 && zeros == 0) {
		linedate_endsof(p + 32, 32, &ends, &zeros);
		linedate_endsof(p + 48, 48, &ends, &zeros);
		if (linedate_fourthend(w, ends, zeros))
			return;
	}
#endif
	for (int i = 0; i < 4; i++)
		linedate_skip(w);
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

/* The month of a name's first three bytes; 0 when not a name. */
static inline int
linedate_monthof(unsigned b0, unsigned b1, unsigned b2)
{
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

/* The month of the piece's name, as its bytes read. */
static int
linedate_monthname(const linedate_walk *w)
{
	const unsigned char *p = w->p;
	unsigned b0 = linedate_byte(w, p);
	unsigned b1 = linedate_byte(w, p + 1);
	/* The third byte lies past the end if the second is the line's end. */
	unsigned b2 = p + 1 < w->end && p[1] != 0 ? linedate_byte(w, p + 2) : 0;

	return linedate_monthof(b0, b1, b2);
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
 * Is there a whole date, dd/Mon/yyyy:hh:mm:ss not followed by a digit,
 * at p?  Nearly every line holds one where the piece walk looks, and the
 * test is strict enough that the walk would read the very same fields.
 */
static inline bool
linedate_iswhole(const unsigned char *p, const unsigned char *end)
{
	if (end - p < 20 || (end - p > 20 && unsigned(p[20] - '0') <= 9))
		return false;
#if defined(__SSE2__)
	/* dd/Mon/yyyy:hh:m at once: digits, separators, a name of text bytes. */
	__m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
	__m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
	unsigned digits = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d)));
	__m128i seps = _mm_setr_epi8(0, 0, '/', 0, 0, 0, '/', 0, 0, 0, 0, ':', 0, 0, ':', 0);
	unsigned sep = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, seps)));
	return (digits & 0xb783) == 0xb783 && (sep & 0x4844) == 0x4844 && (linedate_endmask(v) & 0x38) == 0 &&
	    linedate_digits(p + 16, 1) && p[17] == ':' && linedate_digits(p + 18, 2);
#else
	if (p[2] != '/' || p[6] != '/' || p[11] != ':' || p[14] != ':' || p[17] != ':')
		return false;
	if (!(linedate_digits(p, 2) && linedate_digits(p + 7, 4) && linedate_digits(p + 12, 2) &&
	    linedate_digits(p + 15, 2) && linedate_digits(p + 18, 2)))
		return false;
	return (linedate_class.of[p[3]] | linedate_class.of[p[4]] | linedate_class.of[p[5]]) == LINEDATE_TEXT;
#endif
}

static void
linedate_wholefields(const unsigned char *p, int *month, int field[5])
{
	field[LINEDATE_DAY] = linedate_two(p);
	if (int m = linedate_monthof(p[3], p[4], p[5]))
		*month = m;
	field[LINEDATE_YEAR] = linedate_two(p + 7) * 100 + linedate_two(p + 9);
	field[LINEDATE_HOUR] = linedate_two(p + 12);
	field[LINEDATE_MINUTE] = linedate_two(p + 15);
	field[LINEDATE_SECOND] = linedate_two(p + 18);
}

/* The first '[' from q on, or null where the line ends before one. */
static inline const unsigned char *
linedate_bracket(const unsigned char *q, const unsigned char *end)
{
#if defined(__SSE2__)
	for (; end - q >= 16; q += 16) {
		__m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
		unsigned open = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('['))));
		unsigned stop = open | unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
		if (stop != 0)
			return open >> __builtin_ctz(stop) & 1 ? q + __builtin_ctz(stop) : nullptr;
	}
#endif
	for (; q < end && *q != 0; q++)
		if (*q == '[')
			return q;
	return nullptr;
}

/*
 * The whole date after the first '[' that opens one before the line's
 * first zero byte, or null.
 */
static const unsigned char *
linedate_bracketdate(const unsigned char *p, const unsigned char *end)
{
	for (const unsigned char *q = p; (q = linedate_bracket(q, end)) != nullptr;)
		if (linedate_iswhole(++q, end))
			return q;
	return nullptr;
}

/* The sum of seconds of a line's date, and its fields. */
static uint32_t
linedate_seconds(const char *line, size_t len, int *month, int f[5])
{
	const unsigned char *p = reinterpret_cast<const unsigned char *>(line);
	linedate_walk w = {p, p + len};

	linedate_skipfour(&w);
	/*
	 * A line with fewer than four delimiters holds no whole date, so the
	 * byte before the piece tells the usual layout well enough.
	 */
	const unsigned char *date = nullptr;
	if (!(w.p > p && w.p[-1] == '['))
		date = linedate_bracketdate(p, p + len);
	if (date == nullptr && linedate_iswhole(w.p, p + len))
		date = w.p;
	if (date != nullptr)
		linedate_wholefields(date, month, f);
	else
		linedate_fields(&w, month, f);
	/* Months of 31 days, years of 12 such months, wrapping at 2^32. */
	return uint32_t(f[LINEDATE_SECOND]) + 60u * uint32_t(f[LINEDATE_MINUTE]) +
	    3600u * uint32_t(f[LINEDATE_HOUR]) + 86400u * uint32_t(f[LINEDATE_DAY]) +
	    2678400u * uint32_t(*month) + 32140800u * (uint32_t(f[LINEDATE_YEAR]) - 2000u);
}

static inline uint32_t
linedate_keyofsum(uint32_t seconds)
{
	uint32_t key = seconds < 0x80000000u ? seconds : 0x7fffffffu;
	/* Key 0 marks an empty record; the line must not vanish with it. */
	return key == 0 ? 1 : key;
}

uint32_t
linedate_datekey(const char *line, size_t len, int *month)
{
	int f[5];
	uint32_t seconds = linedate_seconds(line, len, month, f);
	uint32_t key = linedate_keyofsum(seconds);

	if (quorvel_trace(3))
		fprintf(stderr, "linedate_parsefile (%d/%d/%d %d:%d:%d -> %u -> %u)\n",
		    f[LINEDATE_YEAR], *month, f[LINEDATE_DAY], f[LINEDATE_HOUR],
		    f[LINEDATE_MINUTE], f[LINEDATE_SECOND], unsigned(seconds), unsigned(key));
	return key;
}

uint32_t
linedate_checkkey(const char *line, size_t len, int *month)
{
	int f[5];

	/* A line that begins with zero bytes was keyed from the first other byte on. */
	for (; len > 0 && *line == 0; len--)
		line++;
	return linedate_keyofsum(linedate_seconds(line, len, month, f));
}
