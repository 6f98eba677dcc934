/*
 * Logs whose lines the output pass wants in scattered order, or that are
 * larger than the window they would get, are read through a mapping of
 * the file: a line read in place costs no system call, where a read a
 * line, or every few lines, would.  A file cut short under its mapping
 * faults (SIGBUS) at the first byte read past its new end; such reads are
 * guarded, and the file is left out like any other that changed.
 */
#include "linedate_map.h"

#include <sys/mman.h>

#include <csignal>
#include <unistd.h>

sigjmp_buf linedates_mapfault;
volatile sig_atomic_t linedates_mapguarded;

/*
 * Bytes mapped.  Logs are mapped within a quarter of the address space:
 * a 32-bit process keeps room for the rest of the run, and reads the
 * logs beyond it.
 */
static uint64_t linedate_mapped;
/* The mapping a guarded read reads. */
static const char *volatile linedate_guardfrom, *volatile linedate_guardto;

static void
linedate_mapfaulted(int sig, siginfo_t *info, void *)
{
	const char *at = static_cast<const char *>(info->si_addr);

	/* The kernel's fault on the mapping read: the file is cut short. */
	if (linedates_mapguarded && info->si_code > 0 && at >= linedate_guardfrom && at < linedate_guardto) {
		linedates_mapguarded = 0;
		siglongjmp(linedates_mapfault, 1);
	}
	/* Anything else ends the process as it would have: faults again, or is sent again. */
	signal(sig, SIG_DFL);
	if (info->si_code <= 0)
		raise(sig);
}

/* The page-aligned start of f's text and the bytes before it there. */
static uint64_t
linedate_mapstart(const logfile *f, uint64_t *skip)
{
	static uint64_t page;

	if (page == 0)
		page = uint64_t(sysconf(_SC_PAGESIZE));
	*skip = f->copybase % page;
	return f->copybase - *skip;
}

const char *
linedate_map(const logfile *f, int fd)
{
	static bool guarded;
	uint64_t skip, from = linedate_mapstart(f, &skip);

	if (f->size == 0 || skip + f->size > SIZE_MAX / 4 - linedate_mapped)
		return nullptr;
	if (!guarded) {
		struct sigaction sa = {};
		sa.sa_sigaction = linedate_mapfaulted;
		/* The handler jumps out: the signal must not stay blocked. */
		sa.sa_flags = SA_SIGINFO | SA_NODEFER;
		sigemptyset(&sa.sa_mask);
		if (sigaction(SIGBUS, &sa, nullptr) != 0)
			return nullptr;
		guarded = true;
	}
	/* Every line of it will be read: its pages are all asked for now, in one call, not a fault each. */
#ifdef MAP_POPULATE
	int flags = MAP_SHARED | MAP_POPULATE;
#else
	int flags = MAP_SHARED;
#endif
	void *p = mmap(nullptr, size_t(skip + f->size), PROT_READ, flags, fd, off_t(from));
	if (p == MAP_FAILED)
		return nullptr;
	linedate_mapped += skip + f->size;
	return static_cast<const char *>(p) + skip;
}

void
linedate_guard(const logfile *f, const char *text)
{
	uint64_t skip;

	linedate_mapstart(f, &skip);
	linedate_guardfrom = text - skip;
	linedate_guardto = text + f->size;
	linedates_mapguarded = 1;
}

void
linedate_unmap(const logfile *f, const char *text)
{
	uint64_t skip;

	linedate_mapstart(f, &skip);
	munmap(const_cast<char *>(text - skip), size_t(skip + f->size));
	linedate_mapped -= skip + f->size;
}
