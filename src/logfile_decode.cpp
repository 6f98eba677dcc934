/*
 * Compressed logs decompressed in this process, by the system's own
 * libraries, loaded when an input first needs one: starting a tool for
 * each of a year of rotations costs more than decompressing them all,
 * and the program still links against the standard library alone.  Where
 * a library is missing, or fails on an input, the format's tool decides
 * (logfile_copy.cpp).
 */
#include "logfile.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "logfile_inflate.h"
#include "logfile_load.h"
#include "quorvel_io.h"

/*
 * The decoders' memory is bounded near the 8 MiB window of xz's and
 * zstd's usual levels; data that want more go to the tool, in a process
 * of its own.
 */
static constexpr uint64_t logfile_xzmemlimit = 12 << 20;
static constexpr int logfile_zstdwindowlog = 23;

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
		return logfile_zlib.init(&d->z, 31, "1.2.11", int(sizeof d->z)) == logfile_zok;
	case logfile_bzip2:
		return logfile_bz2.init(&d->bz, 0, 0) == logfile_bzok;
	case logfile_xz:
		/*
		 * Concatenated streams and their padding, as xz reads a file;
		 * and a stream whose check cannot be verified fails, as it
		 * fails xz.
		 */
		return logfile_lzma.init(&d->xz, logfile_xzmemlimit,
		    logfile_xzconcatenated | logfile_xztellunsupportedcheck) == logfile_xzok;
	case logfile_zstd:
		if ((d->zstd = logfile_zstdlib.create()) == nullptr)
			return false;
		logfile_zstdlib.setparameter(d->zstd, logfile_zstdwindowlogmax, logfile_zstdwindowlog);
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
		return logfile_zlib.reset(&d->z) == logfile_zok;
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
		/* Z_BUF_ERROR: it could not go on with what it was given. */
		return r == logfile_zstreamend ? logfile_stepend : r == logfile_zok || r == logfile_zbuferror ?
		    logfile_stepmore : r == logfile_zmemerror ? logfile_stepbig : logfile_stepbad;
	case logfile_bzip2:
		d->bz.next_in = *in, d->bz.avail_in = unsigned(*inlen);
		d->bz.next_out = *out, d->bz.avail_out = unsigned(*outlen);
		r = logfile_bz2.decompress(&d->bz);
		*in = d->bz.next_in, *inlen = d->bz.avail_in;
		*out = d->bz.next_out, *outlen = d->bz.avail_out;
		return r == logfile_bzstreamend ? logfile_stepend : r == logfile_bzok ? logfile_stepmore :
		    r == logfile_bzmemerror ? logfile_stepbig : logfile_stepbad;
	case logfile_xz:
		d->xz.next_in = *in, d->xz.avail_in = *inlen;
		d->xz.next_out = *out, d->xz.avail_out = *outlen;
		r = logfile_lzma.code(&d->xz, last ? logfile_xzfinish : logfile_xzrun);
		*in = d->xz.next_in, *inlen = d->xz.avail_in;
		*out = d->xz.next_out, *outlen = d->xz.avail_out;
		/* LZMA_BUF_ERROR: it could not go on with what it was given. */
		return r == logfile_xzstreamend ? logfile_stepend : r == logfile_xzok || r == logfile_xzbuferror ?
		    logfile_stepmore : r == logfile_xzmemerror || r == logfile_xzmemlimiterror ? logfile_stepbig :
		    logfile_stepbad;
	case logfile_zstd: {
		logfile_zstdin i = {*in, *inlen, 0};
		logfile_zstdout o = {*out, *outlen, 0};
		size_t z = logfile_zstdlib.decompress(d->zstd, &o, &i);
		*in += i.pos, *inlen -= i.pos;
		*out += o.pos, *outlen -= o.pos;
		/* 0: a frame ended and all of it is out. */
		if (!logfile_zstdlib.iserror(z))
			return z == 0 ? logfile_stepend : logfile_stepmore;
		int code = logfile_zstdlib.errorcode(z);
		return code == logfile_zstdwindowtoolarge || code == logfile_zstdmemoryallocation ? logfile_stepbig :
		    logfile_stepbad;
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
	bool last = logfile_copyfirst(c, have), ended = false;

	for (;;) {
		if (left == 0 && !last) {
			ssize_t n = logfile_copyread(c, fd, in, off);
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
	/* zlib has the last word on what the fastest decoder could not decode. */
	if (format == logfile_gzip) {
		/* Room for the text, where it is large enough to matter. */
		uint64_t size = logfile_gzipsize(fd, buf, have);
		if (size >= 1 << 20 && size != UINT64_MAX)
			logfile_copyreserve(c, size);
		logfile_verdict fast = logfile_inflate(c, fd, buf, have, size);
		if (fast == logfile_whole)
			return fast;
		if (fast != logfile_unserved) {
			logfile_copyrewind(c);
			have = 0;
		}
	}
	static const logfile_lib libs[] = {logfile_libz, logfile_libz, logfile_libbz2, logfile_liblzma, logfile_libzstd};
	if (!logfile_loadlib(libs[format]) || !logfile_decoderstart(&d))
		return logfile_unserved;
	logfile_verdict v = logfile_decoderrun(&d, c, fd, buf, buf + logfile_blocksize, have);
	logfile_decoderend(&d);
	return v;
}

void
logfile_decodersfree(void)
{
	logfile_inflatefree();
}
