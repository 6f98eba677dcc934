/*
 * The decompression libraries as quorvel sees them: the parts of each
 * one's interface it uses, declared by hand, laid out as the library's
 * own header lays them out (tests/layout_test.cpp compares the two where
 * the headers are installed), and the loading of each library at run
 * time, below the decoders of logfile_decode.cpp and logfile_inflate.cpp.
 */
#ifndef LOGFILE_LOAD_H
#define LOGFILE_LOAD_H

#include <cstddef>
#include <cstdint>

/* zlib: z_stream, and the results of inflate. */
struct logfile_zstream {
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
enum { logfile_zok = 0, logfile_zstreamend = 1, logfile_zmemerror = -4, logfile_zbuferror = -5 };

/* libbz2: bz_stream, and the results of BZ2_bzDecompress. */
struct logfile_bzstream {
	const char *next_in;
	unsigned avail_in, total_in_lo32, total_in_hi32;
	char *next_out;
	unsigned avail_out, total_out_lo32, total_out_hi32;
	void *state;
	void *(*bzalloc)(void *, int, int);
	void (*bzfree)(void *, void *);
	void *opaque;
};
enum { logfile_bzok = 0, logfile_bzstreamend = 4, logfile_bzmemerror = -3 };

/* liblzma: lzma_stream, the flags, actions and results used. */
struct logfile_xzstream {
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
enum { logfile_xztellunsupportedcheck = 0x02, logfile_xzconcatenated = 0x08 };
enum { logfile_xzrun = 0, logfile_xzfinish = 3 };
enum {
	logfile_xzok = 0, logfile_xzstreamend = 1, logfile_xzmemerror = 5, logfile_xzmemlimiterror = 6,
	logfile_xzbuferror = 10
};

/* libzstd: ZSTD_inBuffer and ZSTD_outBuffer, a parameter, and the error codes told apart. */
struct logfile_zstdin {
	const char *src;
	size_t size, pos;
};
struct logfile_zstdout {
	char *dst;
	size_t size, pos;
};
enum { logfile_zstdwindowlogmax = 100 };
enum { logfile_zstdwindowtoolarge = 16, logfile_zstdmemoryallocation = 64 };

/*
 * ISA-L: the head of igzip's struct inflate_state, up to the fields used,
 * over its Huffman tables.  The whole state is larger: it is given
 * logfile_isalroom bytes, and a library that does not decode a known
 * member into them as it should is not used (logfile_inflate.cpp).
 */
struct logfile_isalstate {
	unsigned char *next_out;
	uint32_t avail_out;
	uint32_t total_out;
	const unsigned char *next_in;
	uint64_t read_in;
	uint32_t avail_in;
	int32_t read_in_length;
	unsigned char huff_codes[21120];	/* lit_huff_code, dist_huff_code */
	int32_t block_state;
	uint32_t dict_length;
	uint32_t bfinal;
	uint32_t crc_flag;
	uint32_t crc;
	uint32_t hist_bits;
};
static constexpr size_t logfile_isalroom = 128 * 1024;
enum { logfile_isalgzip = 1 };
enum { logfile_isalblockfinish = 5 };
enum { logfile_isaldecompok = 0 };

/* libdeflate: the results of libdeflate_gzip_decompress_ex. */
enum { logfile_deflatesuccess = 0 };

/* The libraries, each with the entry points used, in the order their symbols are listed. */
enum logfile_lib { logfile_libz, logfile_libbz2, logfile_liblzma, logfile_libzstd, logfile_libisal, logfile_libdeflate };

extern struct logfile_zlibentries {
	int (*init)(logfile_zstream *, int, const char *, int);
	int (*inflate)(logfile_zstream *, int);
	int (*reset)(logfile_zstream *);
	int (*end)(logfile_zstream *);
} logfile_zlib;

extern struct logfile_bz2entries {
	int (*init)(logfile_bzstream *, int, int);
	int (*decompress)(logfile_bzstream *);
	int (*end)(logfile_bzstream *);
} logfile_bz2;

extern struct logfile_lzmaentries {
	int (*init)(logfile_xzstream *, uint64_t, uint32_t);
	int (*code)(logfile_xzstream *, int);
	void (*end)(logfile_xzstream *);
} logfile_lzma;

extern struct logfile_zstdentries {
	void *(*create)(void);
	size_t (*setparameter)(void *, int, int);
	size_t (*decompress)(void *, logfile_zstdout *, logfile_zstdin *);
	unsigned (*iserror)(size_t);
	int (*errorcode)(size_t);
	size_t (*free)(void *);
} logfile_zstdlib;

extern struct logfile_isalentries {
	void (*init)(logfile_isalstate *);
	void (*reset)(logfile_isalstate *);
	int (*inflate)(logfile_isalstate *);
} logfile_isal;

extern struct logfile_deflateentries {
	void *(*alloc)(void);
	int (*decompress)(void *, const void *, size_t, void *, size_t, size_t *, size_t *);
	void (*free)(void *);
} logfile_deflate;

/* Load the library, once: false when the system has none that serves. */
bool logfile_loadlib(logfile_lib lib);

#endif
