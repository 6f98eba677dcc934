/*
 * What every unit of quorvel shares, below all the passes: the trace
 * level, the wording that differs between the ordinary build and the
 * FreeBSD one, and the helpers of quorvel_io.cpp.
 */
#ifndef QUORVEL_IO_H
#define QUORVEL_IO_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

/* Trace level: raised by each -v (set to 1 by -g on FreeBSD). */
extern int debug;

/*
 * Every pass reads a file in the same bounded reads: up to and with the
 * next newline, but never more than this many bytes.
 */
static constexpr size_t quorvel_linemax = 3999;

#ifdef QUORVEL_FREEBSD
/* The FreeBSD build knows only level 1 and words two messages its own way. */
static constexpr bool quorvel_freebsd = true;
#define QUORVEL_NOMEMORY "No Memory\n"
#define QUORVEL_ALLOCTRACE "Try to allocate %f Megabytes of memory\n"
#else
static constexpr bool quorvel_freebsd = false;
#define QUORVEL_NOMEMORY "No memory\n"
#define QUORVEL_ALLOCTRACE "Try to allocate %f megabytes of memory\n"
#endif

/* Level 2 and 3 messages exist only outside the FreeBSD build. */
static inline bool
quorvel_trace(int level)
{
	return debug >= level && (level == 1 || !quorvel_freebsd);
}

/* Report a failed allocation and end the process with status 1. */
[[noreturn]] void quorvel_nomemory(void);

/*
 * Some processors copy up to three times slower when the source and the
 * destination of a copy lie at different places within a cache line, and
 * the kernel copies a file's bytes from pages: reads land in memory that
 * starts a cache line, at an offset that matches the file's.
 */
static constexpr size_t quorvel_cacheline = 64;

/* n bytes starting a cache line, freed with free(); null when there are none. */
void *quorvel_blockalloc(size_t n);

/* Write all of buf to fd, through short writes and signals; false on failure. */
bool quorvel_writeall(int fd, const char *buf, size_t n);
/* The same, at offset off of fd. */
bool quorvel_writeat(int fd, const char *buf, size_t n, uint64_t off);

/* Read n bytes of fd at offset off, through short reads and signals; the count read. */
size_t quorvel_readat(int fd, char *buf, size_t n, uint64_t off);

/* One read of at most n bytes of fd at offset off, through signals: the count, or -1. */
ssize_t quorvel_pread(int fd, char *buf, size_t n, uint64_t off);

#endif
