/*
 * The input files: one record per name on the command line, in
 * command-line order, and the counting pass that sizes the line index.
 */
#ifndef LOGFILE_H
#define LOGFILE_H

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

struct logfile {
	logfile *next;		/* next name on the command line, or null */
	char *name;		/* the name as given, kept whole */
	uint32_t lines;		/* bounded reads counted in the file */
	FILE *file;		/* stream of the output pass, or null */
	FILE *copy;		/* private copy of an input that is not a
				   regular file, read by every pass */
	uint32_t place;		/* 0 for the first name, 1 for the next... */
	uint64_t size;		/* bytes the scan went through */
	dev_t dev;		/* identity of the file the scan read, so the */
	ino_t ino;		/*   output pass can tell it was replaced */
};

extern logfile *logfiles_begin;
extern logfile *logfiles_end;

void logfile_add(const char *filename);
void logfile_linecount(void);

/*
 * Open the file every pass reads for f, or -1: the named file, or the copy
 * of an input that is not a regular file.  Close it with logfile_close,
 * which leaves the copy open for the next pass.
 */
int logfile_open(const logfile *f);
void logfile_close(const logfile *f, int fd);

#endif
