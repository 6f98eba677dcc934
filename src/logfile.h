/*
 * The input files: one record per name on the command line, in
 * command-line order, the counting pass that sizes the line index, and
 * the copies of inputs that cannot be read three times as they are.
 * Each part below declares what one file defines, from the lowest, which
 * all the others call, up to the list and the counting pass.
 */
#ifndef LOGFILE_H
#define LOGFILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct logfile {
	logfile *next;		/* next name on the command line, or null */
	char *name;		/* the name as given, kept whole */
	uint64_t lines;		/* bounded reads counted in the file */
	int fd;			/* descriptor the output pass reads, or -1 */
	FILE *copy;		/* for an input that is not a regular file or
				   is compressed, the file its copy is in,
				   which every pass reads instead */
	uint64_t copybase;	/* where in that file its copy starts */
	uint32_t place;		/* 0 for the first name, 1 for the next... */
	bool counted;		/* the counting pass opened and read it */
	bool lost;		/* its lines are left out; said once */
	uint64_t size;		/* bytes counted; after the scan, the bytes
				   the scan went through */
	dev_t dev;		/* identity of the file counted: the later */
	ino_t ino;		/*   passes read that file or none */
	uint64_t head;		/* checksums of the first read counted and */
	uint64_t tail;		/*   of the last bytes: a file emptied and
				   written anew in place tells itself apart */
	uint32_t headlen;	/* bytes of that first read */
};

/* Block size of the counting pass and of copies; the fuzzers take small ones, to reach their edges. */
#ifndef QUORVEL_BLOCKSIZE
#define QUORVEL_BLOCKSIZE (256 * 1024)
#endif
static constexpr size_t logfile_blocksize = QUORVEL_BLOCKSIZE;

/*
 * logfile_sum.cpp: what is known of a file from the blocks read of it,
 * the checks of a file opened again, and a file left out.
 */

/* Files whose lines were left out because they could not be read. */
extern unsigned logfiles_lost;

/* Number of bounded reads in a stream of bytes given block by block. */
struct logfile_counter {
	uint64_t lines;		/* completed reads */
	uint64_t run;		/* bytes of the current physical line */
};

/* A checksum of n bytes, to tell a read from one that took its place. */
uint64_t logfile_checksum(const char *p, size_t n);
/* The checksum of the bytes summed into h followed by these n. */
uint64_t logfile_checksumon(uint64_t h, const char *p, size_t n);

void logfile_countblock(logfile_counter *c, const char *p, size_t n);
uint64_t logfile_countend(const logfile_counter *c);

/* Bytes at the end of a file whose checksum is kept. */
static constexpr size_t logfile_tailsize = 64;

/*
 * The same checksums, taken from the blocks a pass reads from the start
 * of a file, so that the pass need not read those bytes again.
 */
struct logfile_sum {
	uint64_t seen;		/* bytes given */
	uint64_t head;		/* of the first read, as far as it has come */
	uint32_t headlen;	/* and its bytes so far */
	bool headwhole;		/* the first read has ended */
	char tail[logfile_tailsize];
};

void logfile_sumblock(logfile_sum *s, const char *p, size_t n);
void logfile_sumend(const logfile_sum *s, uint64_t *head, uint64_t *tail);
/* Do the blocks given begin and end as those counted for f did? */
bool logfile_sameas(const logfile *f, const logfile_sum *s);

/*
 * Open again, for a later pass, the file that was counted for f, or -1:
 * the copy of an input that is not a regular file, or the named file if it
 * is still the one counted and still holds as many bytes; errno EMFILE or
 * ENFILE when no descriptor was to be had.  Never waits on a FIFO put in
 * the file's place.  Close it with logfile_close, which leaves the copy
 * open for the next pass.
 */
int logfile_reopen(const logfile *f);

/*
 * Does fd still begin and end with the bytes counted for f?  The checksums
 * of its first read and last bytes tell a file emptied and written anew in
 * place, as copytruncate and the server do, from the one counted.
 */
bool logfile_unchanged(const logfile *f, int fd);
void logfile_close(const logfile *f, int fd);

/*
 * Leave f's lines out: say so once, with the message that names the
 * failure (format takes f's name, then why), and make the exit status 1.
 */
void logfile_lose(logfile *f, const char *format, const char *why = nullptr);

/* logfile_copyfile.cpp: the file of the copies, and a copy written into it. */

/*
 * The copies of all inputs that need one lie one after another in a
 * single anonymous file, so that they take one descriptor in all.
 */
extern FILE *logfiles_copies;
extern uint64_t logfiles_copiesend;

/* The directory of the copies: $TMPDIR, else /tmp. */
const char *logfile_tempdir(void);
/* An anonymous file there, or null, errno saying why. */
FILE *logfile_tempfile(void);

/* A copy of f being written into fd from offset base on, counted as it goes. */
struct logfile_copying {
	logfile *f;
	int fd;
	uint64_t base;
	logfile_counter count;
	logfile_sum sum;
	/* Where a read of the input met its end: UINT64_MAX before. */
	uint64_t inputend;
};

/* Start f's copy at the end of the copies. */
void logfile_copystart(logfile_copying *c, logfile *f);
/* Append n bytes to the copy; false when they cannot be written. */
bool logfile_copywrite(logfile_copying *c, const char *p, size_t n);
/*
 * Room for a copy of about n bytes, asked for before it is written: the
 * kernel writes into room already taken a third faster than it takes room
 * a page at a time.
 */
void logfile_copyreserve(logfile_copying *c, uint64_t n);
/* Count n bytes put in the copy's place by other means. */
void logfile_copynote(logfile_copying *c, const char *p, size_t n);
/*
 * Does a first read of have bytes of the input, short of a block, hold
 * all of it?  Its end is then noted in c, as by logfile_copyread.
 */
bool logfile_copyfirst(logfile_copying *c, size_t have);
/* A block of the input at off, into in: its length, 0 at its end, noted in c, or -1. */
ssize_t logfile_copyread(logfile_copying *c, int fd, char *in, uint64_t off);
/* Take back what was written of the copy, to write it anew. */
void logfile_copyrewind(logfile_copying *c);
/* The copy is whole: its lines, size and checksums become f's. */
void logfile_copyfinish(logfile_copying *c);
/* Take back what was written of the copy. */
void logfile_copyundo(logfile_copying *c);
/*
 * Say that f cannot be copied, for the reason errno gives, in the
 * directory of the copies, and end the run.
 */
[[noreturn]] void logfile_copyfails(const logfile *f);

/* logfile_decode.cpp: decompression with the system's libraries. */

/* The compressed formats, known by their first bytes. */
enum logfile_packing { logfile_plain, logfile_gzip, logfile_bzip2, logfile_xz, logfile_zstd };

/* Load the libraries of all formats, as far as the system has them (logfile_load.cpp). */
void logfile_loadlibraries(void);
/*
 * The libraries that may be loaded, a bit each (logfile_load.h): all but
 * those the tests and fuzzers hide, to try each decoder alone.
 */
extern unsigned logfiles_libraries;

/*
 * What a format's library made of the data: whole, or why not.  Where it
 * cannot serve (missing, or the data want more memory than a decoder is
 * given) the format's tool decides; where it found the data damaged or cut
 * short, the tool is asked only to confirm.  unread: fd failed to read, as
 * errno says.
 */
enum logfile_verdict { logfile_whole, logfile_unserved, logfile_damaged, logfile_cut, logfile_unread };

/*
 * Decompress fd, read from its start, whose first have bytes are at buf
 * already, into the copy with the format's library, through buf of 2 x
 * logfile_blocksize bytes.
 */
logfile_verdict logfile_decode(logfile_copying *c, int fd, logfile_packing format, char *buf, size_t have);
/* Give back what the decoders took, before the index is made. */
void logfile_decodersfree(void);

/* logfile_copy.cpp: copies of pipes and of compressed inputs. */

/* The format of data that begin with the n bytes at p. */
logfile_packing logfile_format(const char *p, size_t n);
/* "gzip", "bzip2", "xz" or "zstd": the tool of a compressed format. */
const char *logfile_tool(logfile_packing format);
/* The tool when fd begins as that tool writes, else null. */
const char *logfile_decompressor(int fd);

/*
 * Read fd once into a copy, decompressed if it is compressed, through buf
 * of 2 x logfile_blocksize bytes; the copy is counted as it is written.
 * A copy that cannot be written ends the run; false, and f lost, when fd
 * fails to read or to decompress.
 */
bool logfile_copy(logfile *f, int fd, char *buf);

/*
 * Decompress fd, a file read from its start, whose first have bytes are
 * at buf already, into a copy as logfile_copy does: with the format's
 * library where the system has it, else, or when the library fails on it,
 * with "tool -dc".  size is what fstat gave, and a library that meets the
 * end before it finds the file cut while it is read.  False, and f lost,
 * when the tool cannot be run, fails or dies, or the file was cut.
 */
bool logfile_decompress(logfile *f, int fd, logfile_packing format, char *buf, size_t have, uint64_t size);

/* logfile.cpp: the list of files and the counting pass. */

extern logfile *logfiles_begin;
extern logfile *logfiles_end;

void logfile_add(const char *filename);
void logfile_linecount(void);

#endif
