/*
 * Compressed logs decompressed in this process, by the system's own
 * libraries, loaded when an input first needs one: starting a tool for
 * each of a year of rotations costs more than decompressing them all,
 * and the program still links against the standard library alone.  Where
 * a library is missing, or fails on an input, the format's tool decides
 * (logfile_copy.cpp).
 */
#include "logfile.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <unistd.h>

#include "quorvel_io.h"

/* The parts of each library's interface used here, laid out as its header lays them out. */

struct logfile_zstream {	/* zlib's z_stream */
	const unsigned char *next_in;
	unsigned avail_in;
	unsigned long total_in;
	unsigned char *next_out;
	unsigned avail_out;
	unsigned long total_out;
	const char *msg;
	void *state;
	void *(*zalloc)(void *, unsigned, unsigned);
	void (*zfree)(void *, void *);
	void *opaque;
	int data_type;
	unsigned long adler;
	unsigned long reserved;
};

struct logfile_bzstream {	/* libbz2's bz_stream */
	const char *next_in;
	unsigned avail_in, total_in_lo32, total_in_hi32;
	char *next_out;
	unsigned avail_out, total_out_lo32, total_out_hi32;
	void *state;
	void *(*bzalloc)(void *, int, int);
	void (*bzfree)(void *, void *);
	void *opaque;
};

struct logfile_xzstream {	/* liblzma's lzma_stream */
	const char *next_in;
	size_t avail_in;
	uint64_t total_in;
	char *next_out;
	size_t avail_out;
	uint64_t total_out;
	const void *allocator;
	void *internal;
	void *reserved_ptr[4];
	uint64_t reserved_int[2];
	size_t reserved_size[2];
	int reserved_enum[2];
};

struct logfile_zstdin {		/* libzstd's ZSTD_inBuffer */
	const char *src;
	size_t size, pos;
};

struct logfile_zstdout {	/* and ZSTD_outBuffer */
	char *dst;
	size_t size, pos;
};

/* Each library's entry points, in the order its symbols are listed below. */
static struct {
	int (*init)(logfile_zstream *, int, const char *, int);
	int (*inflate)(logfile_zstream *, int);
	int (*reset)(logfile_zstream *);
	int (*end)(logfile_zstream *);
} logfile_zlib;

static struct {
	int (*init)(logfile_bzstream *, int, int);
	int (*decompress)(logfile_bzstream *);
	int (*end)(logfile_bzstream *);
} logfile_bz2;

static struct {
	int (*init)(logfile_xzstream *, uint64_t, uint32_t);
	int (*code)(logfile_xzstream *, int);
	void (*end)(logfile_xzstream *);
} logfile_lzma;

static struct {
	void *(*create)(void);
	size_t (*setparameter)(void *, int, int);
	size_t (*decompress)(void *, logfile_zstdout *, logfile_zstdin *);
	unsigned (*iserror)(size_t);
	int (*errorcode)(size_t);
	size_t (*free)(void *);
} logfile_zstdlib;

/* Where to find each format's library, as Linux and the BSDs name them. */
struct logfile_library {
	const char *sonames[4];
	const char *symbols[7];
	void *entries;		/* one of the structures above */
	int loaded;		/* 0 not yet tried, 1 loaded, -1 missing */
};

static logfile_library logfile_libraries[] = {
	{{nullptr}, {nullptr}, nullptr, -1},
	{{"libz.so.1", "libz.so.6", nullptr},
	    {"inflateInit2_", "inflate", "inflateReset", "inflateEnd", nullptr}, &logfile_zlib, 0},
	{{"libbz2.so.1.0", "libbz2.so.1", "libbz2.so.4", nullptr},
	    {"BZ2_bzDecompressInit", "BZ2_bzDecompress", "BZ2_bzDecompressEnd", nullptr}, &logfile_bz2, 0},
	{{"liblzma.so.5", nullptr}, {"lzma_stream_decoder", "lzma_code", "lzma_end", nullptr}, &logfile_lzma, 0},
	{{"libzstd.so.1", nullptr},
	    {"ZSTD_createDCtx", "ZSTD_DCtx_setParameter", "ZSTD_decompressStream", "ZSTD_isError",
		"ZSTD_getErrorCode", "ZSTD_freeDCtx", nullptr}, &logfile_zstdlib, 0},
};

/*
 * The decoders' memory is bounded near the 8 MiB window of xz's and
 * zstd's usual levels; data that want more go to the tool, in a process
 * of its own.
 */
static constexpr uint64_t logfile_xzmemlimit = 12 << 20;
static constexpr int logfile_zstdwindowlog = 23;

/*
 * dlopen says only that it failed, and a library found but not opened for
 * want of a descriptor may well open later: is there one free now?
 */
static bool
logfile_descriptorfree(void)
{
	int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);

	if (fd >= 0)
		close(fd);
	return fd >= 0 || (errno != EMFILE && errno != ENFILE);
}

bool
logfile_loadlibrary(logfile_packing format)
{
	logfile_library *l = &logfile_libraries[format];
	void *lib = nullptr;

	if (l->loaded != 0)
		return l->loaded > 0;
	for (const char *const *name = l->sonames; *name != nullptr && lib == nullptr; name++)
		lib = dlopen(*name, RTLD_NOW | RTLD_LOCAL);
	l->loaded = -1;
	if (lib == nullptr) {
		if (!logfile_descriptorfree())
			l->loaded = 0;
		return false;
	}
	for (size_t i = 0; l->symbols[i] != nullptr; i++) {
		void *entry = dlsym(lib, l->symbols[i]);
		if (entry == nullptr)
			return false;
		/* dlsym gives a function's address as an object pointer. */
		memcpy(static_cast<char *>(l->entries) + i * sizeof entry, &entry, sizeof entry);
	}
	l->loaded = 1;
	return true;
}

void
logfile_loadlibraries(void)
{
	for (logfile_packing format : {logfile_gzip, logfile_bzip2, logfile_xz, logfile_zstd})
		logfile_loadlibrary(format);
}

/* One input being decoded with its format's library. */
struct logfile_decoder {
	logfile_packing format;
	logfile_zstream z;
	logfile_bzstream bz;
	logfile_xzstream xz;
	void *zstd;
};

static bool
logfile_decoderstart(logfile_decoder *d)
{
	switch (d->format) {
	case logfile_gzip:
		/* 31: 15 bits of window, gzip's header and trailer. */
		return logfile_zlib.init(&d->z, 31, "1.2.11", int(sizeof d->z)) == 0;
	case logfile_bzip2:
		return logfile_bz2.init(&d->bz, 0, 0) == 0;
	case logfile_xz:
		/*
		 * Concatenated streams and their padding, as xz reads a file
		 * (LZMA_CONCATENATED); and a stream whose check cannot be
		 * verified fails, as it fails xz (LZMA_TELL_UNSUPPORTED_CHECK).
		 */
		return logfile_lzma.init(&d->xz, logfile_xzmemlimit, 0x08 | 0x02) == 0;
	case logfile_zstd:
		if ((d->zstd = logfile_zstdlib.create()) == nullptr)
			return false;
		/* ZSTD_d_windowLogMax */
		logfile_zstdlib.setparameter(d->zstd, 100, logfile_zstdwindowlog);
		return true;
	case logfile_plain:
		break;
	}
	return false;
}

static void
logfile_decoderend(logfile_decoder *d)
{
	switch (d->format) {
	case logfile_gzip:
		logfile_zlib.end(&d->z);
		break;
	case logfile_bzip2:
		logfile_bz2.end(&d->bz);
		break;
	case logfile_xz:
		logfile_lzma.end(&d->xz);
		break;
	case logfile_zstd:
		logfile_zstdlib.free(d->zstd);
		break;
	case logfile_plain:
		break;
	}
}

/* A compressed stream ended and another follows it. */
static bool
logfile_decoderagain(logfile_decoder *d)
{
	switch (d->format) {
	case logfile_gzip:
		return logfile_zlib.reset(&d->z) == 0;
	case logfile_bzip2:
		logfile_bz2.end(&d->bz);
		d->bz = {};
		return logfile_decoderstart(d);
	case logfile_zstd:
		return true;
	default:
		/* xz reads concatenated streams as one. */
		return false;
	}
}

/* A step decoded more, ended a stream, met damaged data, or wants more memory than it is given. */
enum logfile_step { logfile_stepmore, logfile_stepend, logfile_stepbad, logfile_stepbig };

/*
 * Decode from *in, *inlen bytes, into *out, *outlen bytes of room, as far
 * as either goes; both are advanced past what was used.  last: no input
 * follows what is given.
 */
static logfile_step
logfile_decoderstep(logfile_decoder *d, const char **in, size_t *inlen, char **out, size_t *outlen,
    bool last)
{
	int r;

	switch (d->format) {
	case logfile_gzip:
		d->z.next_in = reinterpret_cast<const unsigned char *>(*in);
		d->z.avail_in = unsigned(*inlen);
		d->z.next_out = reinterpret_cast<unsigned char *>(*out);
		d->z.avail_out = unsigned(*outlen);
		r = logfile_zlib.inflate(&d->z, 0);
		*in = reinterpret_cast<const char *>(d->z.next_in), *inlen = d->z.avail_in;
		*out = reinterpret_cast<char *>(d->z.next_out), *outlen = d->z.avail_out;
		/* Z_STREAM_END; Z_OK, or Z_BUF_ERROR when it could not go on; Z_MEM_ERROR. */
		return r == 1 ? logfile_stepend : r == 0 || r == -5 ? logfile_stepmore :
		    r == -4 ? logfile_stepbig : logfile_stepbad;
	case logfile_bzip2:
		d->bz.next_in = *in, d->bz.avail_in = unsigned(*inlen);
		d->bz.next_out = *out, d->bz.avail_out = unsigned(*outlen);
		r = logfile_bz2.decompress(&d->bz);
		*in = d->bz.next_in, *inlen = d->bz.avail_in;
		*out = d->bz.next_out, *outlen = d->bz.avail_out;
		/* BZ_STREAM_END, BZ_OK, BZ_MEM_ERROR */
		return r == 4 ? logfile_stepend : r == 0 ? logfile_stepmore : r == -3 ? logfile_stepbig : logfile_stepbad;
	case logfile_xz:
		d->xz.next_in = *in, d->xz.avail_in = *inlen;
		d->xz.next_out = *out, d->xz.avail_out = *outlen;
		/* LZMA_FINISH once the input is all given, else LZMA_RUN. */
		r = logfile_lzma.code(&d->xz, last ? 3 : 0);
		*in = d->xz.next_in, *inlen = d->xz.avail_in;
		*out = d->xz.next_out, *outlen = d->xz.avail_out;
		/* LZMA_STREAM_END; LZMA_OK, or LZMA_BUF_ERROR when it could not go on; LZMA_MEM_ERROR, LZMA_MEMLIMIT_ERROR. */
		return r == 1 ? logfile_stepend : r == 0 || r == 10 ? logfile_stepmore :
		    r == 5 || r == 6 ? logfile_stepbig : logfile_stepbad;
	case logfile_zstd: {
		logfile_zstdin i = {*in, *inlen, 0};
		logfile_zstdout o = {*out, *outlen, 0};
		size_t z = logfile_zstdlib.decompress(d->zstd, &o, &i);
		*in += i.pos, *inlen -= i.pos;
		*out += o.pos, *outlen -= o.pos;
		/* 0: a frame ended and all of it is out. */
		if (!logfile_zstdlib.iserror(z))
			return z == 0 ? logfile_stepend : logfile_stepmore;
		/* ZSTD_error_frameParameter_windowTooLarge, ZSTD_error_memory_allocation */
		int code = logfile_zstdlib.errorcode(z);
		return code == 16 || code == 64 ? logfile_stepbig : logfile_stepbad;
	}
	case logfile_plain:
		break;
	}
	return logfile_stepbad;
}

/*
 * Run the decoder over fd from its start, the first have bytes of it at
 * in already, into the copy: whole when the data were whole, every stream
 * ending where the next or the file begins.
 */
static logfile_verdict
logfile_decoderrun(logfile_decoder *d, logfile_copying *c, int fd, char *in, char *out, size_t have)
{
	const char *next = in;
	size_t left = have;
	uint64_t off = have;
	bool last = false, ended = false;

	for (;;) {
		if (left == 0 && !last) {
			ssize_t n = quorvel_pread(fd, in, logfile_blocksize, off);
			if (n < 0)
				return logfile_unread;
			last = n == 0;
			off += uint64_t(n), next = in, left = size_t(n);
		}
		if (ended) {
			if (left == 0)
				return logfile_whole;
			if (!logfile_decoderagain(d))
				return logfile_damaged;
		}
		char *made = out;
		size_t room = logfile_blocksize, had = left;
		logfile_step step = logfile_decoderstep(d, &next, &left, &made, &room, last);
		if (made > out && !logfile_copywrite(c, out, size_t(made - out)))
			logfile_copyfails(c->f);
		if (step == logfile_stepbad || step == logfile_stepbig)
			return step == logfile_stepbad ? logfile_damaged : logfile_unserved;
		/* A step that could not go on with all the input given: cut short. */
		bool stuck = left == had && room == logfile_blocksize && (last || left > 0);
		if (step == logfile_stepmore && stuck)
			return last ? logfile_cut : logfile_damaged;
		ended = step == logfile_stepend;
	}
}

logfile_verdict
logfile_decode(logfile_copying *c, int fd, logfile_packing format, char *buf, size_t have)
{
	logfile_decoder d = {};

	d.format = format;
	if (!logfile_loadlibrary(format) || !logfile_decoderstart(&d))
		return logfile_unserved;
	logfile_verdict v = logfile_decoderrun(&d, c, fd, buf, buf + logfile_blocksize, have);
	logfile_decoderend(&d);
	return v;
}
