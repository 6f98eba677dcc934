/*
 * The one anonymous file that holds the copies of all inputs that need
 * one, one after another, so that they take one descriptor in all; and a
 * copy written into it, counted as it is written.
 */
#include "logfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "quorvel_io.h"

FILE *logfiles_copies;
uint64_t logfiles_copiesend;

static constexpr uint64_t logfile_copypage = 4096;

const char *
logfile_tempdir(void)
{
	const char *dir = getenv("TMPDIR");

	return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

/*
 * An anonymous file in the directory of the copies, or null.  A week of
 * decompressed logs can outgrow a small /tmp, and TMPDIR is where Unix
 * tools are told to put such files; tmpfile() would not look at it.  No
 * child inherits it.
 */
FILE *
logfile_tempfile(void)
{
	static const char base[] = "/quorvel.XXXXXX";
	const char *dir = logfile_tempdir();
	size_t len = strlen(dir);
	char *path = static_cast<char *>(malloc(len + sizeof base));
	if (path == nullptr)
		quorvel_nomemory();
	memcpy(path, dir, len);
	memcpy(path + len, base, sizeof base);
	int fd = mkstemp(path);
	if (fd >= 0)
		unlink(path);
	free(path);
	if (fd < 0)
		return nullptr;
	FILE *tmp = fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 ? fdopen(fd, "w+") : nullptr;
	if (tmp == nullptr) {
		int why = errno;
		close(fd);
		errno = why;
	}
	return tmp;
}

void
logfile_copyfails(const logfile *f)
{
	/* The room, or the directory, is what a user can change. */
	fprintf(stderr, "Cannot copy %s: %s in %s; set TMPDIR to another directory\n", f->name,
	    strerror(errno), logfile_tempdir());
	exit(1);
}

void
logfile_copystart(logfile_copying *c, logfile *f)
{
	if (logfiles_copies == nullptr && (logfiles_copies = logfile_tempfile()) == nullptr)
		logfile_copyfails(f);
	/*
	 * Each copy starts a page: the kernel copies a block between memory
	 * and a file fastest where both start a cache line, and the blocks
	 * written and read are so placed in memory.  The gap is a hole.
	 */
	uint64_t page = logfile_copypage;
	f->copy = logfiles_copies;
	f->copybase = (logfiles_copiesend + page - 1) / page * page;
	*c = {f, fileno(logfiles_copies), f->copybase, {0, 0}, {}, UINT64_MAX};
}

void
logfile_copynote(logfile_copying *c, const char *p, size_t n)
{
	logfile_countblock(&c->count, p, n);
	logfile_sumblock(&c->sum, p, n);
}

bool
logfile_copywrite(logfile_copying *c, const char *p, size_t n)
{
	uint64_t at = c->base + c->sum.seen;

	logfile_copynote(c, p, n);
	return quorvel_writeat(c->fd, p, n, at);
}

void
logfile_copyreserve(logfile_copying *c, uint64_t n)
{
#ifdef FALLOC_FL_KEEP_SIZE
	/* Only a hint: a copy that finds no room fails as it is written. */
	(void)fallocate(c->fd, FALLOC_FL_KEEP_SIZE, off_t(c->f->copybase), off_t(n));
#else
	(void)c, (void)n;
#endif
}

bool
logfile_copyfirst(logfile_copying *c, size_t have)
{
	bool all = have > 0 && have < logfile_blocksize;

	if (all)
		c->inputend = have;
	return all;
}

ssize_t
logfile_copyread(logfile_copying *c, int fd, char *in, uint64_t off)
{
	ssize_t n = quorvel_pread(fd, in, logfile_blocksize, off);

	if (n == 0)
		c->inputend = off;
	return n;
}

void
logfile_copyrewind(logfile_copying *c)
{
	logfile *f = c->f;

	if (ftruncate(c->fd, off_t(f->copybase)) != 0)
		logfile_copyfails(f);
	*c = {f, c->fd, c->base, {0, 0}, {}, UINT64_MAX};
}

void
logfile_copyfinish(logfile_copying *c)
{
	logfile *f = c->f;

	f->lines = logfile_countend(&c->count);
	f->size = c->sum.seen;
	logfiles_copiesend = f->copybase + f->size;
	f->headlen = c->sum.headlen;
	logfile_sumend(&c->sum, &f->head, &f->tail);
}

void
logfile_copyundo(logfile_copying *c)
{
	logfile *f = c->f;
	int fd = fileno(f->copy);

	/* Its room goes back, and the next copy starts where it did. */
	if (ftruncate(fd, off_t(f->copybase)) != 0)
		logfile_copyfails(f);
	f->copy = nullptr;
	f->copybase = 0;
}
