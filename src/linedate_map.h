/*
 * Reading a log in place, through a mapping of the file, for the room
 * that fetches the output pass's lines (linedate_fetch.cpp).
 */
#ifndef LINEDATE_MAP_H
#define LINEDATE_MAP_H

#include <csetjmp>
#include <csignal>

#include "logfile.h"

/* f's text, through fd, mapped whole: its first byte, or null when no mapping can be made. */
const char *linedate_map(const logfile *f, int fd);
void linedate_unmap(const logfile *f, const char *text);

/*
 * Reads of f's mapped text are guarded from linedate_guard until
 * linedates_mapguarded is cleared: a file cut short under them jumps to
 * linedates_mapfault instead of ending the process.
 */
extern sigjmp_buf linedates_mapfault;
extern volatile sig_atomic_t linedates_mapguarded;
void linedate_guard(const logfile *f, const char *text);

#endif
