/*
 * Copies of the inputs that cannot be read three times as they are.
 */
#include "logfile.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "quorvel.h"

/*
 * A pipe, a terminal or a device cannot be read three times: read it
 * once into an anonymous temporary file that every pass then reads.  A
 * copy that cannot be written ends the run; an input that fails to read
 * is left out.
 */
bool
logfile_copy(logfile *f, int fd, char *buf)
{
	FILE *tmp = tmpfile();
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
