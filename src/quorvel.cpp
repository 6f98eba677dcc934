/*
 * quorvel: merge web-server access logs into one stream ordered by the
 * date of each entry.
 *
 * Three passes over every file keep memory at one small record a line:
 * count the lines, index each line by date and position, sort the index
 * and copy the lines to standard output in its order.
 */
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "linedate.h"
#include "logfile.h"
#include "quorvel_io.h"

static void
usage(const char *name)
{
	fprintf(stderr, "%s [-v] [-v] {files ...}\n", name);
	fputs("use one -v for debugging, and -v -v for extrem debug.\n", stderr);
	fputs("sorted output will send via stdout.\n", stderr);
}

/*
 * Handle a switch: true when arg was one.  Anything that is not exactly
 * a switch is a file name.
 */
static bool
quorvel_switch(const char *arg, const char *name)
{
	if (quorvel_freebsd) {
		if (strcmp(arg, "-g") != 0)
			return false;
		debug = 1;
		return true;
	}
	if (strcmp(arg, "-v") == 0) {
		debug++;
		return true;
	}
	if (strcmp(arg, "-h") == 0) {
		usage(name);
		exit(1);
	}
	return false;
}

/*
 * With standard output closed, the first input opened would take its
 * descriptor and the merged lines would go nowhere, or into a copy.  Hold
 * closed standard descriptors with /dev/null, read-only: a write to it
 * fails, and that failure is reported at the end.
 */
static void
quorvel_holdstdfds(void)
{
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
			open("/dev/null", O_RDONLY);
}

/* The output pass keeps every input open at once. */
static void
quorvel_raisefilelimit(void)
{
	struct rlimit rl;

	if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
		rl.rlim_cur = rl.rlim_max;
		setrlimit(RLIMIT_NOFILE, &rl);
	}
}

int
main(int argc, char *argv[])
{
	const char *name = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ?
	    argv[0] : "quorvel";

	quorvel_holdstdfds();
	quorvel_raisefilelimit();
	/* A copy or an output past the limit on file size fails to be written and is said so, not killed. */
	signal(SIGXFSZ, SIG_IGN);
	for (int i = 1; i < argc; i++)
		if (!quorvel_switch(argv[i], name))
			logfile_add(argv[i]);

	logfile_linecount();
	linedate_createbuffer();
	linedate_parse();
	linedate_sort();
	linedate_output();

	int status = logfiles_lost != 0 ? 1 : 0;
	if (linedates_writefailed || fflush(stdout) == EOF || ferror(stdout)) {
		fputs("Cannot write to standard output\n", stderr);
		status = 1;
	}
	return status;
}
