/*
 * The list of input files and the counting pass.
 */
#include "logfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "quorvel_io.h"

logfile *logfiles_begin;
logfile *logfiles_end;

void
logfile_add(const char *filename)
{
	if (debug)
		fprintf(stderr, "logfile_add (%s)\n", filename);

	/* The name lives right behind the record: one allocation each. */
	size_t len = strlen(filename);
	logfile *f = static_cast<logfile *>(calloc(1, sizeof(logfile) + len + 1));
	if (f == nullptr)
		quorvel_nomemory();
	f->name = reinterpret_cast<char *>(f + 1);
	f->fd = -1;
	memcpy(f->name, filename, len + 1);

	if (logfiles_begin == nullptr) {
		logfiles_begin = f;
	} else {
		f->place = logfiles_end->place + 1;
		logfiles_end->next = f;
	}
	logfiles_end = f;
}

/*
 * Count the bounded reads of fd, whose first n bytes are at buf, and the
 * bytes they took; false on a read error, or when the file ends short of
 * the size it had when opened: cut while counted, its last line may be
 * torn and the rest of it is gone.  A short read that reaches that size
 * is its end, as a read that returns nothing is.
 */
static bool
logfile_countfd(logfile *f, int fd, uint64_t size, char *buf, size_t n)
{
	logfile_counter c = {0, 0};
	logfile_sum sum = {};
	uint64_t off = 0;

	while (n > 0) {
		logfile_countblock(&c, buf, n);
		logfile_sumblock(&sum, buf, n);
		off += n;
		if (n < logfile_blocksize && off == size)
			break;
		ssize_t r = quorvel_pread(fd, buf, logfile_blocksize, off);
		if (r < 0)
			return false;
		n = size_t(r);
	}
	if (off < size)
		return false;
	f->lines = logfile_countend(&c);
	f->size = off;
	f->headlen = sum.headlen;
	logfile_sumend(&sum, &f->head, &f->tail);
	return true;
}

/*
 * The first block of a regular file of size bytes, or all of it where it
 * is shorter: -1 where it cannot be read.  A read may stop short before
 * the end (FUSE, network file systems), and the decoders take a block
 * read short for the whole file; only a read at the size fstat gave, or
 * one of nothing, ends it.
 */
static ssize_t
logfile_readhead(int fd, char *buf, uint64_t size)
{
	ssize_t r = quorvel_pread(fd, buf, logfile_blocksize, 0);
	size_t n = r > 0 ? size_t(r) : 0;

	while (r > 0 && n < logfile_blocksize && n != size)
		if ((r = quorvel_pread(fd, buf + n, logfile_blocksize - n, n)) > 0)
			n += size_t(r);
	return r < 0 ? -1 : ssize_t(n);
}

/* Open f's name to be counted: its descriptor, or -1 with errno saying why not. */
static int
logfile_openinput(const logfile *f, struct stat *st)
{
	int fd = open(f->name, O_RDONLY);
	if (fd < 0)
		return -1;
	int why = fstat(fd, st) != 0 ? errno : S_ISDIR(st->st_mode) ? EISDIR : 0;
	if (why == 0)
		return fd;
	close(fd);
	errno = why;
	return -1;
}

/*
 * Count one file and note which file it was, for the later passes.  A name
 * that cannot be opened, or that is a directory, is said here, so that a
 * forgotten sudo or a wrong path is not taken for a quiet day.
 */
static void
logfile_countone(logfile *f, char *buf)
{
	struct stat st;
	int fd = logfile_openinput(f, &st);
	if (fd < 0) {
		logfile_lose(f, "Cannot open %s: %s\n", strerror(errno));
		return;
	}
	f->dev = st.st_dev;
	f->ino = st.st_ino;
	/* The first block says whether the file is compressed. */
	uint64_t size = uint64_t(st.st_size);
	ssize_t first = S_ISREG(st.st_mode) ? logfile_readhead(fd, buf, size) : 0;
	logfile_packing format = first > 0 ? logfile_format(buf, size_t(first)) : logfile_plain;
	/* A copy is counted as it is written. */
	if (!S_ISREG(st.st_mode) || format != logfile_plain) {
		f->counted = format != logfile_plain ? logfile_decompress(f, fd, format, buf, size_t(first), size) :
		    logfile_copy(f, fd, buf);
	} else {
		f->counted = true;
		if (first < 0 || !logfile_countfd(f, fd, size, buf, size_t(first))) {
			f->lines = 0;
			logfile_lose(f, "Cannot read %s again\n");
		}
	}
	close(fd);
	if (!f->counted)
		return;
	if (debug && !f->lost)
		fprintf(stderr, "File %s has %" PRIu64 " lines\n", f->name, f->lines);
}

void
logfile_linecount(void)
{
	if (debug)
		fputs("logfile_linecount ()\n", stderr);
	/* Not kept: the pages go back before the table is made. */
	char *buf = static_cast<char *>(quorvel_blockalloc(2 * logfile_blocksize));
	if (buf == nullptr)
		quorvel_nomemory();
	for (logfile *f = logfiles_begin; f != nullptr; f = f->next) {
		f->lines = 0;
		logfile_countone(f, buf);
	}
	free(buf);
	logfile_decodersfree();
}
