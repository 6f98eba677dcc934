/*
 * Copies of the inputs that cannot be read three times as they are: pipes
 * and devices, and compressed logs, which the system's own tools
 * decompress into the copy.
 */
#include "logfile.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include "quorvel.h"

extern char **environ;

/* The tool for each compressed format, known by the bytes it begins with. */
struct logfile_format {
	const char *magic;
	size_t len;
	const char *tool;
};

static const logfile_format logfile_formats[] = {
	{"\x1f\x8b", 2, "gzip"},
	{"\xfd\x37\x7a\x58\x5a\x00", 6, "xz"},
	{"\x28\xb5\x2f\xfd", 4, "zstd"},
};

const char *
logfile_decompressor(int fd)
{
	char head[6];
	size_t n = quorvel_readat(fd, head, sizeof head, 0);

	/* bzip2 follows its name with the block size, 1 to 9 hundred kB. */
	if (n >= 4 && memcmp(head, "BZh", 3) == 0 && head[3] >= '1' && head[3] <= '9')
		return "bzip2";
	for (const logfile_format &c : logfile_formats)
		if (n >= c.len && memcmp(head, c.magic, c.len) == 0)
			return c.tool;
	return nullptr;
}

/*
 * An anonymous file in $TMPDIR, else /tmp, or null.  A week of
 * decompressed logs can outgrow a small /tmp, and TMPDIR is where Unix
 * tools are told to put such files; tmpfile() would not look at it.  No
 * child inherits it.
 */
static FILE *
logfile_tempfile(void)
{
	static const char base[] = "/quorvel.XXXXXX";
	const char *dir = getenv("TMPDIR");
	if (dir == nullptr || *dir == '\0')
		dir = "/tmp";
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
	if (tmp == nullptr)
		close(fd);
	return tmp;
}

/* Wait for the child to end: did it exit with status 0? */
static bool
logfile_wait(pid_t pid)
{
	int status;

	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR)
			return false;
	return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/*
 * Start "tool -dc" on PATH, no shell between, reading fd and writing into
 * the pipe p: its process, or -1.  The tool holds those two and the
 * standard error only: ours are closed on exec.
 */
static pid_t
logfile_spawn(const char *tool, int fd, const int p[2])
{
	char *argv[] = {const_cast<char *>(tool), const_cast<char *>("-dc"), nullptr};
	const int held[] = {fd, p[0], p[1]};
	posix_spawn_file_actions_t acts;
	pid_t pid = -1;

	for (int d : held)
		if (fcntl(d, F_SETFD, FD_CLOEXEC) != 0)
			return -1;
	if (posix_spawn_file_actions_init(&acts) != 0)
		return -1;
	/* A tool that cannot be run fails here, or in the child with status 127. */
	if (posix_spawn_file_actions_adddup2(&acts, fd, 0) != 0 ||
	    posix_spawn_file_actions_adddup2(&acts, p[1], 1) != 0 ||
	    posix_spawnp(&pid, tool, &acts, nullptr, argv, environ) != 0)
		pid = -1;
	posix_spawn_file_actions_destroy(&acts);
	return pid;
}

/*
 * Read fd to its end into a new copy: the copy, or null when fd fails to
 * read.  A copy that cannot be written ends the run, once the child that
 * writes into fd, if any, has ended too.
 */
static FILE *
logfile_copyfd(const logfile *f, int fd, pid_t child, char *buf)
{
	FILE *tmp = logfile_tempfile();
	bool ok = tmp != nullptr, readable = true;

	while (ok) {
		ssize_t n = read(fd, buf, logfile_blocksize);
		if (n < 0 && errno == EINTR)
			continue;
		readable = n >= 0;
		if (n <= 0)
			break;
		ok = quorvel_writeall(fileno(tmp), buf, size_t(n));
	}
	if (!ok) {
		if (child > 0) {
			close(fd);
			logfile_wait(child);
		}
		fprintf(stderr, "Cannot copy %s\n", f->name);
		exit(1);
	}
	if (!readable) {
		fclose(tmp);
		return nullptr;
	}
	return tmp;
}

/*
 * A pipe, a terminal or a device cannot be read three times: read it
 * once into an anonymous temporary file that every pass then reads.  Its
 * first bytes can be read only once, so a compressed stream is known in
 * the copy and decompressed from it into a second one.
 */
bool
logfile_copy(logfile *f, int fd, char *buf)
{
	FILE *raw = logfile_copyfd(f, fd, -1, buf);
	if (raw == nullptr) {
		logfile_lose(f, "Cannot copy %s\n");
		return false;
	}
	const char *tool = logfile_decompressor(fileno(raw));
	if (tool == nullptr) {
		f->copy = raw;
		return true;
	}
	bool ok = logfile_decompress(f, fileno(raw), tool, buf);
	fclose(raw);
	return ok;
}

bool
logfile_decompress(logfile *f, int fd, const char *tool, char *buf)
{
	int p[2];
	/* The tool reads from the file offset, which a copy just written leaves at its end. */
	if (lseek(fd, 0, SEEK_SET) != 0 || pipe(p) != 0) {
		logfile_lose(f, "Cannot copy %s\n");
		return false;
	}
#ifdef F_SETPIPE_SZ
	/* Linux: a pipe of 1 MiB, where allowed, switches between the tool and us less often. */
	fcntl(p[0], F_SETPIPE_SZ, 1 << 20);
#endif
	/* Under an inherited SIG_IGN the child would go unwaited, its status unread. */
	signal(SIGCHLD, SIG_DFL);
	pid_t pid = logfile_spawn(tool, fd, p);
	close(p[1]);
	FILE *copy = pid > 0 ? logfile_copyfd(f, p[0], pid, buf) : nullptr;
	/* Closed first, so that a tool whose output was not read ends. */
	close(p[0]);
	/* What came out of a tool that failed is left out whole. */
	if (!(pid > 0 && logfile_wait(pid)) || copy == nullptr) {
		if (copy != nullptr)
			fclose(copy);
		logfile_lose(f, "Cannot copy %s\n");
		return false;
	}
	f->copy = copy;
	return true;
}
