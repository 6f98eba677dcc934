/*
 * What every pass shares: the trace level, reads and writes that go
 * through signals and short counts, memory for blocks read, and the end
 * of a run that ran out of memory.
 */
#include "quorvel_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int debug;

void
quorvel_nomemory(void)
{
	fputs(QUORVEL_NOMEMORY, stderr);
	exit(1);
}

void *
quorvel_blockalloc(size_t n)
{
	void *p;

	return posix_memalign(&p, quorvel_cacheline, n) == 0 ? p : nullptr;
}

ssize_t
quorvel_pread(int fd, char *buf, size_t n, uint64_t off)
{
	ssize_t r;

	while ((r = pread(fd, buf, n, off_t(off))) < 0 && errno == EINTR)
		;
	return r;
}

size_t
quorvel_readat(int fd, char *buf, size_t n, uint64_t off)
{
	size_t got = 0;

	while (got < n) {
		ssize_t r = quorvel_pread(fd, buf + got, n - got, off + got);
		if (r <= 0)
			break;
		got += size_t(r);
	}
	return got;
}

/* Write all of buf to fd, at offset off, or at its file offset where off is -1. */
static bool
quorvel_write(int fd, const char *buf, size_t n, int64_t off)
{
	while (n > 0) {
		ssize_t w = off < 0 ? write(fd, buf, n) : pwrite(fd, buf, n, off_t(off));
		if (w < 0 && errno == EINTR)
			continue;
		if (w == 0)
			errno = EIO;
		if (w <= 0)
			return false;
		buf += w;
		n -= size_t(w);
		if (off >= 0)
			off += w;
	}
	return true;
}

bool
quorvel_writeat(int fd, const char *buf, size_t n, uint64_t off)
{
	return quorvel_write(fd, buf, n, int64_t(off));
}

bool
quorvel_writeall(int fd, const char *buf, size_t n)
{
	return quorvel_write(fd, buf, n, -1);
}
