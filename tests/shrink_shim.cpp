/*
 * Preloaded into quorvel by the tests, to cut a log short at a chosen
 * moment of its reading, as logrotate's copytruncate may: with
 * QUORVEL_CUT="PATH N SIZE", PATH is truncated to SIZE bytes just before
 * the Nth pread of it.  Both names of pread are caught, so that 32-bit
 * builds, which call pread64, are cut alike.
 */
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void
cut_before_read(int fd)
{
	static long reads;
	const char *how = getenv("QUORVEL_CUT");
	char path[1024], link[64], target[1024];
	long nth;
	long long size;

	if (how == nullptr || sscanf(how, "%1023s %ld %lld", path, &nth, &size) != 3)
		return;
	snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, target, sizeof target - 1);
	if (n < 0)
		return;
	target[n] = '\0';
	if (strcmp(target, path) == 0 && ++reads == nth && truncate(path, off_t(size)) != 0)
		abort();
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
	return real(fd, buf, n, off);
}

extern "C" ssize_t
pread64(int fd, void *buf, size_t n, off64_t off)
{
	static auto real = next<ssize_t (*)(int, void *, size_t, off64_t)>("pread64");
	cut_before_read(fd);
	return real(fd, buf, n, off);
}
