/*
 * peakmem: run a command and say how much memory it took at its peak:
 * resident memory, as the system counts it at the end, and anonymous
 * memory (the program's own: heap, tables, buffers), which no counter
 * keeps a peak of, so it is sampled every half millisecond.  Pages of
 * files read in place count as resident, not anonymous.
 *
 *	peakmem command [arg ...]
 *
 * Prints "peak resident KiB, peak anonymous KiB" on standard error once
 * the command ends, and exits with its status.
 */
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

/* RssAnon of the process, in KiB, or 0 once it is gone. */
static long
anonymous(pid_t pid)
{
	char path[64], line[256];
	long kib = 0;

	snprintf(path, sizeof path, "/proc/%d/status", int(pid));
	FILE *f = fopen(path, "r");
	if (f == nullptr)
		return 0;
	while (fgets(line, sizeof line, f) != nullptr)
		if (strncmp(line, "RssAnon:", 8) == 0)
			kib = atol(line + 8);
	fclose(f);
	return kib;
}

int
main(int argc, char *argv[])
{
	if (argc < 2) {
		fputs("usage: peakmem command [arg ...]\n", stderr);
		return 2;
	}
	pid_t pid = fork();
	if (pid == 0) {
		execvp(argv[1], argv + 1);
		perror(argv[1]);
		_exit(127);
	}
	if (pid < 0) {
		perror("fork");
		return 2;
	}
	long peak = 0;
	int status;
	struct rusage ru;
	while (wait4(pid, &status, WNOHANG, &ru) == 0) {
		long now = anonymous(pid);
		if (now > peak)
			peak = now;
		usleep(500);
	}
	fprintf(stderr, "%ld %ld\n", long(ru.ru_maxrss), peak);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
