/*
 * The list of input files and the counting pass.
 */
#include "logfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "quorvel.h"

logfile *logfiles_begin;
logfile *logfiles_end;

/* Block size of the counting pass and of copies. */
static constexpr size_t logfile_blocksize = 256 * 1024;

void
quorvel_nomemory(void)
{
	fputs(QUORVEL_NOMEMORY, stderr);
	exit(1);
}

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
	memcpy(f->name, filename, len + 1);

	if (logfiles_begin == nullptr) {
		logfiles_begin = f;
	} else {
		f->place = logfiles_end->place + 1;
		logfiles_end->next = f;
	}
	logfiles_end = f;
}

/* Number of bounded reads that a file of the given bytes takes. */
struct logfile_counter {
	uint64_t lines;		/* completed reads */
	uint64_t run;		/* bytes of the current physical line */
};

static void
logfile_countblock(logfile_counter *c, const char *p, size_t n)
{
	const char *end = p + n;
	const char *nl;

	while ((nl = static_cast<const char *>(memchr(p, '\n', size_t(end - p)))) != nullptr) {
		uint64_t len = c->run + uint64_t(nl - p) + 1;
		c->lines += (len + quorvel_linemax - 1) / quorvel_linemax;
		c->run = 0;
		p = nl + 1;
	}
	c->run += uint64_t(end - p);
}

static uint64_t
logfile_countend(const logfile_counter *c)
{
	return c->lines + (c->run + quorvel_linemax - 1) / quorvel_linemax;
}

int
logfile_open(const logfile *f)
{
	if (f->copy != nullptr)
		return fileno(f->copy);
	return open(f->name, O_RDONLY);
}

void
logfile_close(const logfile *f, int fd)
{
	if (f->copy == nullptr)
		close(fd);
}

/* Write all of buf to fd; false on failure. */
static bool
logfile_writeall(int fd, const char *buf, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, buf, n);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return false;
		buf += w;
		n -= size_t(w);
	}
	return true;
}

/*
 * A pipe, a terminal or a device cannot be read three times: read it
 * once into an anonymous temporary file that every pass then reads.
 */
static void
logfile_copy(logfile *f, int fd, char *buf)
{
	FILE *tmp = tmpfile();
	bool ok = tmp != nullptr;

	while (ok) {
		ssize_t n = read(fd, buf, logfile_blocksize);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		ok = logfile_writeall(fileno(tmp), buf, size_t(n));
	}
	if (!ok) {
		fprintf(stderr, "Cannot copy %s\n", f->name);
		exit(1);
	}
	f->copy = tmp;
}

/* Count the bounded reads of fd; a read error ends the file. */
static uint32_t
logfile_countfd(int fd, char *buf)
{
	logfile_counter c = {0, 0};
	off_t off = 0;

	for (;;) {
		ssize_t n = pread(fd, buf, logfile_blocksize, off);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		logfile_countblock(&c, buf, size_t(n));
		off += n;
	}
	uint64_t lines = logfile_countend(&c);
	/* More than fits is no count at all: make the table too large. */
	return lines > UINT32_MAX ? UINT32_MAX : uint32_t(lines);
}

void
logfile_linecount(void)
{
	static char buf[logfile_blocksize];

	if (debug)
		fputs("logfile_linecount ()\n", stderr);
	for (logfile *f = logfiles_begin; f != nullptr; f = f->next) {
		f->lines = 0;
		int fd = open(f->name, O_RDONLY);
		if (fd < 0)
			continue;
		struct stat st;
		if (fstat(fd, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
			logfile_copy(f, fd, buf);
			close(fd);
			fd = logfile_open(f);
		}
		f->lines = logfile_countfd(fd, buf);
		logfile_close(f, fd);
		if (debug)
			fprintf(stderr, "File %s has %u lines\n", f->name, unsigned(f->lines));
	}
}
