/*
 * Copies of the inputs that cannot be read three times as they are.
 */
#include "logfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "quorvel.h"

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

/*
 * A pipe, a terminal or a device cannot be read three times: read it
 * once into an anonymous temporary file that every pass then reads.  A
 * copy that cannot be written ends the run; an input that fails to read
 * is left out.
 */
bool
logfile_copy(logfile *f, int fd, char *buf)
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
		fprintf(stderr, "Cannot copy %s\n", f->name);
		exit(1);
	}
	if (!readable) {
		fclose(tmp);
		logfile_lose(f, "Cannot copy %s\n");
		return false;
	}
	f->copy = tmp;
	return true;
}
