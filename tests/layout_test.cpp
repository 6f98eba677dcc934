/*
 * The decompression libraries' structures and constants, declared by hand
 * in logfile_load.h, against the libraries' own headers where they are
 * installed: a new version that lays them out otherwise fails here, not
 * as a misread stream.  A library whose header is missing is skipped, or
 * fails where QUORVEL_REQUIRE_DECOMPRESSORS=1 (as in CI).
 */
#include <cstddef>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include <gtest/gtest.h>

#include "logfile_load.h"

#if __has_include(<zlib.h>)
#include <zlib.h>
#define QUORVEL_HAVE_ZLIB 1
#endif
#if __has_include(<bzlib.h>)
#include <bzlib.h>
#define QUORVEL_HAVE_BZLIB 1
#endif
#if __has_include(<lzma.h>)
#include <lzma.h>
#define QUORVEL_HAVE_LZMA 1
#endif
#if __has_include(<zstd.h>) && __has_include(<zstd_errors.h>)
#include <zstd.h>
#include <zstd_errors.h>
#define QUORVEL_HAVE_ZSTD 1
#endif
#if __has_include(<isa-l/igzip_lib.h>)
#include <isa-l/igzip_lib.h>
#define QUORVEL_HAVE_ISAL 1
#endif
#if __has_include(<libdeflate.h>)
#include <libdeflate.h>
#define QUORVEL_HAVE_DEFLATE 1
#endif

namespace {

/* The same place and size of a field in our structure and the header's. */
#define SAME_FIELD(ours, theirs, field) \
	do { \
		EXPECT_EQ(offsetof(ours, field), offsetof(theirs, field)) << #theirs "." #field; \
		EXPECT_EQ(sizeof(static_cast<ours *>(nullptr)->field), sizeof(static_cast<theirs *>(nullptr)->field)) \
		    << #theirs "." #field; \
	} while (0)

/* Our value of each constant, the header's, and its name. */
struct constant {
	long ours, theirs;
	const char *name;
};

#define C(ours, theirs) constant{ours, theirs, #theirs}

[[maybe_unused]] void
same_constants(std::initializer_list<constant> constants)
{
	for (const constant &c : constants)
		EXPECT_EQ(c.ours, c.theirs) << c.name;
}

[[maybe_unused]] void
missing(const char *header)
{
	const char *require = getenv("QUORVEL_REQUIRE_DECOMPRESSORS");
	if (require != nullptr && std::string(require) == "1")
		ADD_FAILURE() << "no " << header << ": its development package is not installed";
	else
		GTEST_SKIP() << "no " << header << " here";
}

TEST(Layout, Zlib)
{
#ifdef QUORVEL_HAVE_ZLIB
	EXPECT_EQ(sizeof(logfile_zstream), sizeof(z_stream));
#define F(f) SAME_FIELD(logfile_zstream, z_stream, f)
	F(next_in); F(avail_in); F(total_in); F(next_out); F(avail_out); F(total_out); F(msg); F(state); F(zalloc);
	F(zfree); F(opaque); F(data_type); F(adler); F(reserved);
#undef F
	same_constants({C(logfile_zok, Z_OK), C(logfile_zstreamend, Z_STREAM_END), C(logfile_zmemerror, Z_MEM_ERROR),
	    C(logfile_zbuferror, Z_BUF_ERROR)});
#else
	missing("zlib.h");
#endif
}

TEST(Layout, Bzip2)
{
#ifdef QUORVEL_HAVE_BZLIB
	EXPECT_EQ(sizeof(logfile_bzstream), sizeof(bz_stream));
#define F(f) SAME_FIELD(logfile_bzstream, bz_stream, f)
	F(next_in); F(avail_in); F(total_in_lo32); F(total_in_hi32); F(next_out); F(avail_out); F(total_out_lo32);
	F(total_out_hi32); F(state); F(bzalloc); F(bzfree); F(opaque);
#undef F
	same_constants({C(logfile_bzok, BZ_OK), C(logfile_bzstreamend, BZ_STREAM_END),
	    C(logfile_bzmemerror, BZ_MEM_ERROR)});
#else
	missing("bzlib.h");
#endif
}

TEST(Layout, Lzma)
{
#ifdef QUORVEL_HAVE_LZMA
	EXPECT_EQ(sizeof(logfile_xzstream), sizeof(lzma_stream));
#define F(f) SAME_FIELD(logfile_xzstream, lzma_stream, f)
	F(next_in); F(avail_in); F(total_in); F(next_out); F(avail_out); F(total_out); F(allocator); F(internal);
#undef F
	same_constants({C(logfile_xzconcatenated, LZMA_CONCATENATED),
	    C(logfile_xztellunsupportedcheck, LZMA_TELL_UNSUPPORTED_CHECK), C(logfile_xzrun, LZMA_RUN),
	    C(logfile_xzfinish, LZMA_FINISH), C(logfile_xzok, LZMA_OK), C(logfile_xzstreamend, LZMA_STREAM_END),
	    C(logfile_xzmemerror, LZMA_MEM_ERROR), C(logfile_xzmemlimiterror, LZMA_MEMLIMIT_ERROR),
	    C(logfile_xzbuferror, LZMA_BUF_ERROR)});
#else
	missing("lzma.h");
#endif
}

TEST(Layout, Zstd)
{
#ifdef QUORVEL_HAVE_ZSTD
	EXPECT_EQ(sizeof(logfile_zstdin), sizeof(ZSTD_inBuffer));
#define F(f) SAME_FIELD(logfile_zstdin, ZSTD_inBuffer, f)
	F(src); F(size); F(pos);
#undef F
	EXPECT_EQ(sizeof(logfile_zstdout), sizeof(ZSTD_outBuffer));
#define F(f) SAME_FIELD(logfile_zstdout, ZSTD_outBuffer, f)
	F(dst); F(size); F(pos);
#undef F
	same_constants({C(logfile_zstdwindowlogmax, ZSTD_d_windowLogMax),
	    C(logfile_zstdwindowtoolarge, ZSTD_error_frameParameter_windowTooLarge),
	    C(logfile_zstdmemoryallocation, ZSTD_error_memory_allocation)});
#else
	missing("zstd.h");
#endif
}

TEST(Layout, Isal)
{
#ifdef QUORVEL_HAVE_ISAL
	EXPECT_LE(sizeof(inflate_state), logfile_isalroom);
#define F(f) SAME_FIELD(logfile_isalstate, inflate_state, f)
	F(next_out); F(avail_out); F(total_out); F(next_in); F(read_in); F(avail_in); F(read_in_length);
	F(block_state); F(dict_length); F(bfinal); F(crc_flag); F(crc); F(hist_bits);
#undef F
	same_constants({C(logfile_isalgzip, ISAL_GZIP), C(logfile_isalblockfinish, ISAL_BLOCK_FINISH),
	    C(logfile_isaldecompok, ISAL_DECOMP_OK)});
#else
	missing("isa-l/igzip_lib.h");
#endif
}

TEST(Layout, Deflate)
{
#ifdef QUORVEL_HAVE_DEFLATE
	/* The result comes back as an int. */
	EXPECT_EQ(sizeof(libdeflate_result), sizeof(int));
	same_constants({C(logfile_deflatesuccess, LIBDEFLATE_SUCCESS)});
#else
	missing("libdeflate.h");
#endif
}

}
