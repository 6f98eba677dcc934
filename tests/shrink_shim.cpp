/*
 * Preloaded into quorvel by the tests, to cut a log short at a chosen
 * moment of its reading, as logrotate's copytruncate may: with
 * QUORVEL_CUT="PATH N SIZE", PATH is truncated to SIZE bytes just before
 * the Nth pread of it.  With QUORVEL_SHORT="PATH N", the first pread of
 * PATH at its start returns at most N bytes, as reads of FUSE and network
 * file systems may stop short of the end.  Both names of pread are
 * caught, so that 32-bit builds, which call pread64, are cut alike.
 */
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

/* Is fd the file at path? */
bool
is_file(int fd, const char *path)
{
	char link[64], target[1024];

	snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, target, sizeof target - 1);
	if (n < 0)
		return false;
	target[n] = '\0';
	return strcmp(target, path) == 0;
}

void
cut_before_read(int fd)
{
	static long reads;
	const char *how = getenv("QUORVEL_CUT");
	char path[1024];
	long nth;
	long long size;

	if (how == nullptr || sscanf(how, "%1023s %ld %lld", path, &nth, &size) != 3)
		return;
	if (is_file(fd, path) && ++reads == nth && truncate(path, off_t(size)) != 0)
		abort();
}

/* n, or less where this read is to stop short. */
size_t
short_read(int fd, size_t n, long long off)
{
	static bool done;
	const char *how = getenv("QUORVEL_SHORT");
	char path[1024];
	size_t most;

	if (done || off != 0 || how == nullptr || sscanf(how, "%1023s %zu", path, &most) != 2 || !is_file(fd, path))
		return n;
	done = true;
	return n < most ? n : most;
}

/* The tools quorvel runs, which may be of another word size, are not to load it. */
__attribute__((constructor)) void
keep_to_quorvel(void)
{
	unsetenv("LD_PRELOAD");
}

template <typename F>
F
next(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}

extern "C" ssize_t
pread(int fd, void *buf, size_t n, off_t off)
{
	static auto real = next<ssize_t (*)(int, void *, size_t, off_t)>("pread");
	cut_before_read(fd);
	return real(fd, buf, short_read(fd, n, off), off);
}

extern "C" ssize_t
pread64(int fd, void *buf, size_t n, off64_t off)
{
	static auto real = next<ssize_t (*)(int, void *, size_t, off64_t)>("pread64");
	cut_before_read(fd);
	return real(fd, buf, short_read(fd, n, off), off);
}
