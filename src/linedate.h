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
	uint64_t pos;		/* offset of the line's first byte */
};

extern uint64_t linedates_totalcount;
extern linedate *linedates_buffer;

/* Writing to standard output failed; the output pass stopped. */
extern bool linedates_writefailed;

void linedate_createbuffer(void);

/*
 * The date key of one line of len bytes (a bounded read).  month is the
 * month carried from line to line; an unknown month name leaves it.
 */
uint32_t linedate_datekey(const char *line, size_t len, int *month);
/* The same key, worked out again without a trace line. */
uint32_t linedate_checkkey(const char *line, size_t len, int *month);

void linedate_parse(void);
linedate *linedate_parsefile(logfile *file, linedate *current);

int linedate_sort_function(const void *x, const void *y);
void linedate_sort(void);
void linedate_output(void);

#endif
