/*
 * Copies of the inputs that cannot be read three times as they are: pipes
 * and devices, and compressed logs, decompressed into the copy by the
 * format's library (logfile_decode.cpp) or, where that is missing or
 * fails, by the format's own tool.
 */
#include "logfile.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include "quorvel_io.h"

extern char **environ;

/* Each compressed format, known by the bytes it begins with, and its tool. */
struct logfile_signature {
	const char *magic;
	size_t len;
	logfile_packing format;
};

static const logfile_signature logfile_signatures[] = {
	{"\x1f\x8b", 2, logfile_gzip},
	{"\xfd\x37\x7a\x58\x5a\x00", 6, logfile_xz},
	{"\x28\xb5\x2f\xfd", 4, logfile_zstd},
};

logfile_packing
logfile_format(const char *p, size_t n)
{
	/* bzip2 follows its name with the block size, 1 to 9 hundred kB. */
	if (n >= 4 && memcmp(p, "BZh", 3) == 0 && p[3] >= '1' && p[3] <= '9')
		return logfile_bzip2;
	for (const logfile_signature &c : logfile_signatures)
		if (n >= c.len && memcmp(p, c.magic, c.len) == 0)
			return c.format;
	return logfile_plain;
}

const char *
logfile_tool(logfile_packing format)
{
	static const char *const tools[] = {nullptr, "gzip", "bzip2", "xz", "zstd"};

	return tools[format];
}

const char *
logfile_decompressor(int fd)
{
	char head[6];

	return logfile_tool(logfile_format(head, quorvel_readat(fd, head, sizeof head, 0)));
}

/* Wait for the child to end: its status, or -1. */
static int
logfile_wait(pid_t pid)
{
	int status;

	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR)
			return -1;
	return status;
}

/*
 * Start "tool -dc" on PATH, no shell between, reading fd and writing into
 * the pipe p: its process, or -1 with errno saying why not.  The tool
 * holds those two and the standard error only, ours being closed on exec,
 * and not even that where quiet.
 */
static pid_t
logfile_spawn(const char *tool, int fd, const int p[2], bool quiet)
{
	char *argv[] = {const_cast<char *>(tool), const_cast<char *>("-dc"), nullptr};
	const int held[] = {fd, p[0], p[1]};
	posix_spawn_file_actions_t acts;
	pid_t pid = -1;
	int r;

	for (int d : held)
		if (fcntl(d, F_SETFD, FD_CLOEXEC) != 0)
			return -1;
	if ((r = posix_spawn_file_actions_init(&acts)) != 0) {
		errno = r;
		return -1;
	}
	/* A tool that cannot be run fails here: the C library runs the child to its exec. */
	if ((r = posix_spawn_file_actions_adddup2(&acts, fd, 0)) != 0 ||
	    (r = posix_spawn_file_actions_adddup2(&acts, p[1], 1)) != 0 ||
	    (quiet && (r = posix_spawn_file_actions_addopen(&acts, 2, "/dev/null", O_WRONLY, 0)) != 0) ||
	    (r = posix_spawnp(&pid, tool, &acts, nullptr, argv, environ)) != 0) {
		pid = -1;
		errno = r;
	}
	posix_spawn_file_actions_destroy(&acts);
	return pid;
}

/*
 * Copy what fd gives to its end into c, after the n bytes already at buf:
 * false when fd fails to read, errno saying why.  A copy that cannot be
 * written ends the run, once the child that writes into fd, if any, has
 * ended too.
 */
static bool
logfile_copyfd(logfile_copying *c, int fd, pid_t child, char *buf, size_t n)
{
	for (;;) {
		if (n > 0 && !logfile_copywrite(c, buf, n)) {
			int why = errno;
			if (child > 0) {
				close(fd);
				logfile_wait(child);
			}
			errno = why;
			logfile_copyfails(c->f);
		}
		ssize_t r = read(fd, buf, logfile_blocksize);
		if (r < 0 && errno == EINTR)
			r = 0;
		else if (r <= 0)
			return r == 0;
		n = size_t(r);
	}
}

/*
 * A library takes a descriptor while it is opened: all are loaded before
 * the copies' file takes one of its own, so that a log of any format read
 * later finds its library loaded at any limit on open files that leaves
 * the copies' file and that log a descriptor each.
 */
static void
logfile_beforecopies(void)
{
	if (logfiles_copies == nullptr)
		logfile_loadlibraries();
}

/* Read the first bytes of fd, enough to know a format, into buf: how many, or -1. */
static ssize_t
logfile_readhead(int fd, char *buf)
{
	size_t n = 0;

	while (n < 6) {
		ssize_t r = read(fd, buf + n, logfile_blocksize - n);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return r == 0 ? ssize_t(n) : -1;
		n += size_t(r);
	}
	return ssize_t(n);
}

/* Leave f out, saying why in the system's words. */
static bool
logfile_copylost(logfile *f)
{
	logfile_lose(f, "Cannot copy %s: %s\n", strerror(errno));
	return false;
}

/*
 * A pipe, a terminal or a device cannot be read three times: read it
 * once into a copy that every pass then reads.  A compressed stream is
 * kept as it comes in a file of its own first, from which a tool can
 * decompress it if it comes to that.
 */
bool
logfile_copy(logfile *f, int fd, char *buf)
{
	ssize_t n = logfile_readhead(fd, buf);
	if (n < 0)
		return logfile_copylost(f);
	logfile_beforecopies();
	logfile_copying c;
	if (logfile_format(buf, size_t(n)) == logfile_plain) {
		logfile_copystart(&c, f);
		if (!logfile_copyfd(&c, fd, -1, buf, size_t(n))) {
			int why = errno;
			logfile_copyundo(&c);
			errno = why;
			return logfile_copylost(f);
		}
		logfile_copyfinish(&c);
		return true;
	}
	FILE *raw = logfile_tempfile();
	if (raw == nullptr)
		logfile_copyfails(f);
	c = {f, fileno(raw), 0, {0, 0}, {}, UINT64_MAX};
	logfile_packing format = logfile_format(buf, size_t(n));
	bool ok = logfile_copyfd(&c, fd, -1, buf, size_t(n)) ? logfile_decompress(f, fileno(raw), format, buf, 0, 0) :
	    logfile_copylost(f);
	fclose(raw);
	return ok;
}

/*
 * Have "tool -dc" decompress fd, from its start, into c: false when it
 * does not, with why saying so in a few words.  quiet: the library found
 * the data damaged already, and the tool is asked only to confirm.
 */
static bool
logfile_tooldecides(logfile_copying *c, int fd, logfile_packing format, char *buf, bool quiet, char *why,
    size_t room)
{
	const char *tool = logfile_tool(format);
	int p[2];

	if (lseek(fd, 0, SEEK_SET) != 0 || pipe(p) != 0) {
		snprintf(why, room, "%s", strerror(errno));
		return false;
	}
#ifdef F_SETPIPE_SZ
	/* Linux: a pipe of 1 MiB, where allowed, switches between the tool and us less often. */
	fcntl(p[0], F_SETPIPE_SZ, 1 << 20);
#endif
	/* Under an inherited SIG_IGN the child would go unwaited, its status unread. */
	signal(SIGCHLD, SIG_DFL);
	pid_t pid = logfile_spawn(tool, fd, p, quiet);
	int spawned = errno;
	close(p[1]);
	bool copied = pid > 0 && logfile_copyfd(c, p[0], pid, buf, 0);
	int unread = errno;
	/* Closed first, so that a tool whose output was not read ends. */
	close(p[0]);
	int status = pid > 0 ? logfile_wait(pid) : -1;
	if (pid <= 0 && spawned != ENOENT)
		snprintf(why, room, "%s: %s", tool, strerror(spawned));
	else if (pid <= 0)
		snprintf(why, room, "%s is needed and not found on PATH", tool);
	else if (status == -1)
		snprintf(why, room, "%s -dc: %s", tool, strerror(errno));
	else if (WIFSIGNALED(status))
		snprintf(why, room, "%s -dc was killed by signal %d", tool, WTERMSIG(status));
	else if (WEXITSTATUS(status) != 0)
		snprintf(why, room, "%s -dc exited with status %d", tool, WEXITSTATUS(status));
	else if (!copied)
		snprintf(why, room, "%s", strerror(unread));
	else
		return true;
	return false;
}

bool
logfile_decompress(logfile *f, int fd, logfile_packing format, char *buf, size_t have, uint64_t size)
{
	logfile_copying c;
	char why[128];

	logfile_beforecopies();
	logfile_copystart(&c, f);
	logfile_verdict v = logfile_decode(&c, fd, format, buf, have);
	/* Its data ended before the size fstat gave: it was cut while it was read. */
	if (v != logfile_unread && c.inputend < size) {
		logfile_copyundo(&c);
		logfile_lose(f, "Cannot read %s again\n");
		return false;
	}
	if (v == logfile_whole) {
		logfile_copyfinish(&c);
		return true;
	}
	int unread = errno;
	logfile_copyundo(&c);
	if (v == logfile_unread) {
		errno = unread;
		return logfile_copylost(f);
	}
	/* What came out of a tool that failed is left out whole. */
	logfile_copystart(&c, f);
	if (logfile_tooldecides(&c, fd, format, buf, v != logfile_unserved, why, sizeof why)) {
		logfile_copyfinish(&c);
		return true;
	}
	logfile_copyundo(&c);
	/* Where the library judged the data, its judgement is the reason. */
	logfile_lose(f, "Cannot copy %s: %s\n", v == logfile_damaged ? "the data are damaged" :
	    v == logfile_cut ? "the data are cut short" : why);
	return false;
}
