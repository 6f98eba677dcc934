/*
 * The line index: one small record per non-blank line of all inputs,
 * its date key, and the passes that fill, sort and print it.
 */
#ifndef LINEDATE_H
#define LINEDATE_H

#include <cstddef>
#include <cstdint>

#include "logfile.h"

struct linedate {
	logfile *file;		/* the file the line is in */
	uint32_t time;		/* date key; 0 marks a record without a line */
	uint64_t pos;		/* offset of the line's first byte and the
				   length of its read, packed below */
};

/*
 * The length of a read (at most 3999) rides in the low bits of pos, so
 * that the output pass can tell the line it reads again is the line it
 * indexed, at no cost in memory; positions still sort as offsets do.
 */
static constexpr unsigned linedate_lengthbits = 12;
static constexpr uint64_t linedate_offsetmax = UINT64_MAX >> linedate_lengthbits;

static inline uint64_t
linedate_makepos(uint64_t offset, size_t len)
{
	return offset << linedate_lengthbits | len;
}

static inline uint64_t
linedate_offset(const linedate *r)
{
	return r->pos >> linedate_lengthbits;
}

static inline size_t
linedate_length(const linedate *r)
{
	return size_t(r->pos & ((uint64_t(1) << linedate_lengthbits) - 1));
}

extern uint64_t linedates_totalcount;
extern linedate *linedates_buffer;

/* Writing to standard output failed; the output pass stopped. */
extern bool linedates_writefailed;

void linedate_createbuffer(void);
/* Give the table back; the program leaves that to its end. */
void linedate_freebuffer(void);

/*
 * The date key of one line of len bytes (a bounded read).  month is the
 * month carried from line to line; an unknown month name leaves it.
 */
uint32_t linedate_datekey(const char *line, size_t len, int *month);
/*
 * The same key, worked out again without a trace line; a read that begins
 * with zero bytes is read from its first other byte, as the scan reads it.
 */
uint32_t linedate_checkkey(const char *line, size_t len, int *month);

void linedate_parse(void);
linedate *linedate_parsefile(logfile *file, linedate *current);

/*
 * The order of the index: by key, then by the file's place on the command
 * line, then by position, so that equal dates keep command-line and file
 * order and the reads of one long line stay together.  Records without a
 * line (key 0) are all alike; they may not even have a file.
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

/*
 * The sort leaves the index in ascending runs, which the output pass
 * merges: the files' own runs when each was in date order as scanned,
 * else the whole index sorted as one.
 */
struct linedate_run {
	const linedate *next;	/* its first record not yet output */
	const linedate *end;
	uint64_t key;		/* next's key and file's place, as the merge orders them */
};

/* Past this many runs, merging them is slower than sorting the index. */
static constexpr size_t linedate_runmax = 64;

extern linedate_run linedates_runs[linedate_runmax];
extern size_t linedates_runcount;

/* The output pass may read logs in place, through mappings; false keeps every log to reads. */
extern bool linedates_map;

int linedate_sort_function(const void *x, const void *y);
void linedate_sort(void);
void linedate_output(void);

#endif
