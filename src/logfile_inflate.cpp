/*
 * gzip, the format nearly every rotated log is in, decoded by the fastest
 * decoders the system has: libdeflate, which decodes a small file of one
 * member whole, and ISA-L's igzip, which streams any other.  Each is two
 * to three times as fast as zlib.  Where neither is there, or both fail
 * on an input, zlib decodes it from the start (logfile_decode.cpp), and
 * so has the last word on damaged or unusual data, which give what they
 * always gave.
 */
#include "logfile_inflate.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "logfile.h"
#include "logfile_load.h"
#include "quorvel_io.h"

/*
 * Flags of a member's header that only zlib judges: the reserved ones,
 * which zlib refuses and ISA-L takes, and the header's checksum, which
 * libdeflate does not check.
 */
static constexpr unsigned char logfile_gzipreserved = 0xe0, logfile_gzipheadsum = 0x02;

/* Does the member at off, of fd, whose first n bytes are at p, have no flag in mask? */
static bool
logfile_gzipflags(int fd, const unsigned char *p, size_t n, uint64_t off, unsigned char mask)
{
	unsigned char flags;

	if (n > 3)
		flags = p[3];
	else if (quorvel_readat(fd, reinterpret_cast<char *>(&flags), 1, off + 3) != 1)
		return false;
	return (flags & mask) == 0;
}

/* ISA-L's state, and whether the library decodes as its header says. */
static logfile_isalstate *logfile_isalbuf;
static int logfile_isalworks;

/* The text "quorvel\n", gzipped. */
static const unsigned char logfile_isalprobe[] = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02,
    0x03, 0x2b, 0x2c, 0xcd, 0x2f, 0x2a, 0x4b, 0xcd, 0xe1, 0x02, 0x00, 0xf5, 0x84, 0xed, 0xe8, 0x08, 0x00,
    0x00, 0x00};

/*
 * The state is declared by hand, and ISA-L has no call that tells its
 * version: a library that does not decode a known member into it, as its
 * header says it should, is not used.
 */
static bool
logfile_isalready(void)
{
	unsigned char text[16];

	if (!logfile_loadlib(logfile_libisal))
		return false;
	if (logfile_isalworks != 0)
		return logfile_isalworks > 0;
	/* Without room for it, zlib decodes, in less. */
	logfile_isalbuf = static_cast<logfile_isalstate *>(quorvel_blockalloc(logfile_isalroom));
	if (logfile_isalbuf == nullptr)
		return false;
	logfile_isalstate *s = logfile_isalbuf;
	logfile_isal.init(s);
	s->crc_flag = logfile_isalgzip;
	s->next_in = logfile_isalprobe, s->avail_in = sizeof logfile_isalprobe;
	s->next_out = text, s->avail_out = sizeof text;
	bool works = logfile_isal.inflate(s) == logfile_isaldecompok && s->block_state == logfile_isalblockfinish &&
	    s->avail_in == 0 && s->next_out == text + 8 && memcmp(text, "quorvel\n", 8) == 0;
	logfile_isalworks = works ? 1 : -1;
	return works;
}

/*
 * Decode fd from its start, the first have bytes of it at in already, into
 * the copy, a block at a time through out: true when every member was
 * whole and ended where the next or the file begins.
 */
static bool
logfile_isalrun(logfile_copying *c, int fd, char *in, char *out, size_t have)
{
	logfile_isalstate *s = logfile_isalbuf;
	const unsigned char *next = reinterpret_cast<const unsigned char *>(in);
	size_t left = have;
	uint64_t off = have;
	bool last = logfile_copyfirst(c, have);

	logfile_isal.init(s);
	s->crc_flag = logfile_isalgzip;
	if (!logfile_gzipflags(fd, next, left, 0, logfile_gzipreserved))
		return false;
	for (;;) {
		if (left == 0 && !last) {
			ssize_t n = logfile_copyread(c, fd, in, off);
			if (n < 0)
				return false;
			last = n == 0;
			off += uint64_t(n), next = reinterpret_cast<const unsigned char *>(in), left = size_t(n);
		}
		if (s->block_state == logfile_isalblockfinish) {
			if (left == 0)
				return true;
			if (!logfile_gzipflags(fd, next, left, off - left, logfile_gzipreserved))
				return false;
			logfile_isal.reset(s);
		}
		size_t had = left;
		s->next_in = next, s->avail_in = uint32_t(left);
		s->next_out = reinterpret_cast<unsigned char *>(out), s->avail_out = uint32_t(logfile_blocksize);
		int r = logfile_isal.inflate(s);
		size_t made = size_t(s->next_out - reinterpret_cast<unsigned char *>(out));
		next = s->next_in, left = s->avail_in;
		if (made > 0 && !logfile_copywrite(c, out, made))
			logfile_copyfails(c->f);
		/* An error, or a call that could not go on: damaged, or cut short. */
		if (r < 0 || (s->block_state != logfile_isalblockfinish && made == 0 && left == had))
			return false;
	}
}

/*
 * libdeflate decodes a member whole, into room for all of it, which is
 * memory of the program's own: it takes a file of one member whose text,
 * as the trailer gives its size, fits in 8 MiB.  A larger one is zlib's:
 * decoded into the copy's own pages, mapped, it cost more than zlib, as
 * the kernel clears every page before it is written.
 */
static constexpr size_t logfile_deflateheap = 8 << 20;
/* No deflate data make more than 1032 bytes of each byte. */
static constexpr uint64_t logfile_deflateratio = 1032;
static void *logfile_deflater;
static char *logfile_deflatebuf;

/*
 * The log is read through a mapping: one cut short under it faults at the
 * first byte read past its new end, and is then decoded again by zlib,
 * which finds it cut short.  Any other fault ends the process as before.
 */
static sigjmp_buf logfile_deflatefault;
static const unsigned char *volatile logfile_deflatefrom, *volatile logfile_deflateto;

static void
logfile_deflatefaulted(int sig, siginfo_t *info, void *)
{
	const unsigned char *at = static_cast<const unsigned char *>(info->si_addr);

	if (info->si_code > 0 && at >= logfile_deflatefrom && at < logfile_deflateto)
		siglongjmp(logfile_deflatefault, 1);
	signal(sig, SIG_DFL);
	if (info->si_code <= 0)
		raise(sig);
}

/*
 * Decode the mapped log, n bytes at in, into the buffer, its faults
 * caught: the size of its text, or 0 where it is not one member whose text
 * fits, whole, with no flag that only zlib judges.
 */
static size_t
logfile_deflateinto(const unsigned char *in, size_t n)
{
	const unsigned char *end = in + n;
	size_t used = 0, made = 0;
	volatile size_t size = 0;
	volatile int r = -1;

	/* SA_NODEFER leaves the signal unblocked: no mask to save, and no call a log. */
	if (sigsetjmp(logfile_deflatefault, 0) == 0) {
		size = size_t(uint32_t(end[-4]) | uint32_t(end[-3]) << 8 | uint32_t(end[-2]) << 16 | uint32_t(end[-1]) << 24);
		if ((in[3] & (logfile_gzipreserved | logfile_gzipheadsum)) == 0 && size <= logfile_deflateheap &&
		    size <= logfile_deflateratio * n)
			r = logfile_deflate.decompress(logfile_deflater, in, n, logfile_deflatebuf, size, &used, &made);
	}
	return r == logfile_deflatesuccess && used == n && made == size ? size : 0;
}

/* libdeflate and its buffer, where there is room for them; else zlib decodes, in less. */
static bool
logfile_deflateready(void)
{
	if (!logfile_loadlib(logfile_libdeflate))
		return false;
	if (logfile_deflater == nullptr && (logfile_deflater = logfile_deflate.alloc()) == nullptr)
		return false;
	if (logfile_deflatebuf == nullptr)
		logfile_deflatebuf = static_cast<char *>(quorvel_blockalloc(logfile_deflateheap));
	return logfile_deflatebuf != nullptr;
}

/*
 * The text of fd, mapped, as libdeflate decodes it into the buffer: its
 * size, or 0; end is where the mapping ended.
 */
static size_t
logfile_deflatemapped(int fd, uint64_t *end)
{
	struct stat st;
	struct sigaction sa = {}, before;
	size_t size = 0;

	if (fstat(fd, &st) != 0 || st.st_size < 18 || uint64_t(st.st_size) > SIZE_MAX / 4)
		return 0;
	size_t n = size_t(st.st_size);
	*end = n;
	void *m = mmap(nullptr, n, PROT_READ, MAP_PRIVATE, fd, 0);
	if (m == MAP_FAILED)
		return 0;
	const unsigned char *in = static_cast<const unsigned char *>(m);
	sa.sa_sigaction = logfile_deflatefaulted;
	sa.sa_flags = SA_SIGINFO | SA_NODEFER;
	sigemptyset(&sa.sa_mask);
	logfile_deflatefrom = in, logfile_deflateto = in + n;
	if (sigaction(SIGBUS, &sa, &before) == 0) {
		size = logfile_deflateinto(in, n);
		sigaction(SIGBUS, &before, nullptr);
	}
	munmap(m, n);
	return size;
}

/*
 * Decode fd, whose first have bytes are at buf, whole into the copy, if
 * libdeflate can: nothing is written where it cannot.  A first read short
 * of a block holds the whole file, which is decoded from there.
 */
static bool
logfile_deflaterun(logfile_copying *c, int fd, const char *buf, size_t have)
{
	uint64_t end = have;
	size_t size = have >= 18 && have < logfile_blocksize ?
	    logfile_deflateinto(reinterpret_cast<const unsigned char *>(buf), have) : logfile_deflatemapped(fd, &end);

	for (size_t at = 0; at < size; at += logfile_blocksize)
		if (!logfile_copywrite(c, logfile_deflatebuf + at, std::min(logfile_blocksize, size - at)))
			logfile_copyfails(c->f);
	if (size > 0)
		c->inputend = end;
	return size > 0;
}

uint64_t
logfile_gzipsize(int fd, const char *buf, size_t have)
{
	unsigned char end[4];
	struct stat st;
	uint64_t n = have;

	/* A first read short of a block holds the whole file. */
	if (have < 18)
		return UINT64_MAX;
	if (have < logfile_blocksize)
		memcpy(end, buf + have - 4, 4);
	else if (fstat(fd, &st) != 0 || (n = uint64_t(st.st_size)) < have ||
	    quorvel_readat(fd, reinterpret_cast<char *>(end), 4, n - 4) != 4)
		return UINT64_MAX;
	uint64_t size = end[0] | uint32_t(end[1]) << 8 | uint32_t(end[2]) << 16 | uint32_t(end[3]) << 24;
	return size <= logfile_deflateratio * n ? size : UINT64_MAX;
}

logfile_verdict
logfile_inflate(logfile_copying *c, int fd, char *buf, size_t have, uint64_t size)
{
	/*
	 * A small log is libdeflate's, which has the least to set up for one;
	 * what it does not take whole it leaves untouched, to ISA-L's igzip,
	 * which streams a large one fastest.
	 */
	if (size <= logfile_deflateheap && logfile_deflateready() && logfile_deflaterun(c, fd, buf, have))
		return logfile_whole;
	if (logfile_isalready())
		return logfile_isalrun(c, fd, buf, buf + logfile_blocksize, have) ? logfile_whole : logfile_damaged;
	return logfile_unserved;
}

void
logfile_inflatefree(void)
{
	free(logfile_isalbuf);
	free(logfile_deflatebuf);
	if (logfile_deflater != nullptr)
		logfile_deflate.free(logfile_deflater);
	logfile_isalbuf = nullptr;
	logfile_isalworks = 0;
	logfile_deflatebuf = nullptr;
	logfile_deflater = nullptr;
}
