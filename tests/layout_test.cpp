/*
 * The decompression libraries' structures and constants, declared by hand
 * in logfile_decode.h, against the libraries' own headers where they are
 * installed: a new version that lays them out otherwise fails here, not
 * as a misread stream.  A library whose header is missing is skipped, or
 * fails where QUORVEL_REQUIRE_DECOMPRESSORS=1 (as in CI).
 */
#include <cstddef>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "logfile_decode.h"

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
	SAME_FIELD(logfile_zstream, z_stream, next_in);
	SAME_FIELD(logfile_zstream, z_stream, avail_in);
	SAME_FIELD(logfile_zstream, z_stream, total_in);
	SAME_FIELD(logfile_zstream, z_stream, next_out);
	SAME_FIELD(logfile_zstream, z_stream, avail_out);
	SAME_FIELD(logfile_zstream, z_stream, total_out);
	SAME_FIELD(logfile_zstream, z_stream, msg);
	SAME_FIELD(logfile_zstream, z_stream, state);
	SAME_FIELD(logfile_zstream, z_stream, zalloc);
	SAME_FIELD(logfile_zstream, z_stream, zfree);
	SAME_FIELD(logfile_zstream, z_stream, opaque);
	SAME_FIELD(logfile_zstream, z_stream, data_type);
	SAME_FIELD(logfile_zstream, z_stream, adler);
	SAME_FIELD(logfile_zstream, z_stream, reserved);
	EXPECT_EQ(logfile_zok, Z_OK);
	EXPECT_EQ(logfile_zstreamend, Z_STREAM_END);
	EXPECT_EQ(logfile_zmemerror, Z_MEM_ERROR);
	EXPECT_EQ(logfile_zbuferror, Z_BUF_ERROR);
#else
	missing("zlib.h");
#endif
}

TEST(Layout, Bzip2)
{
#ifdef QUORVEL_HAVE_BZLIB
	EXPECT_EQ(sizeof(logfile_bzstream), sizeof(bz_stream));
	SAME_FIELD(logfile_bzstream, bz_stream, next_in);
	SAME_FIELD(logfile_bzstream, bz_stream, avail_in);
	SAME_FIELD(logfile_bzstream, bz_stream, total_in_lo32);
	SAME_FIELD(logfile_bzstream, bz_stream, total_in_hi32);
	SAME_FIELD(logfile_bzstream, bz_stream, next_out);
	SAME_FIELD(logfile_bzstream, bz_stream, avail_out);
	SAME_FIELD(logfile_bzstream, bz_stream, total_out_lo32);
	SAME_FIELD(logfile_bzstream, bz_stream, total_out_hi32);
	SAME_FIELD(logfile_bzstream, bz_stream, state);
	SAME_FIELD(logfile_bzstream, bz_stream, bzalloc);
	SAME_FIELD(logfile_bzstream, bz_stream, bzfree);
	SAME_FIELD(logfile_bzstream, bz_stream, opaque);
	EXPECT_EQ(logfile_bzok, BZ_OK);
	EXPECT_EQ(logfile_bzstreamend, BZ_STREAM_END);
	EXPECT_EQ(logfile_bzmemerror, BZ_MEM_ERROR);
#else
	missing("bzlib.h");
#endif
}

TEST(Layout, Lzma)
{
#ifdef QUORVEL_HAVE_LZMA
	EXPECT_EQ(sizeof(logfile_xzstream), sizeof(lzma_stream));
	SAME_FIELD(logfile_xzstream, lzma_stream, next_in);
	SAME_FIELD(logfile_xzstream, lzma_stream, avail_in);
	SAME_FIELD(logfile_xzstream, lzma_stream, total_in);
	SAME_FIELD(logfile_xzstream, lzma_stream, next_out);
	SAME_FIELD(logfile_xzstream, lzma_stream, avail_out);
	SAME_FIELD(logfile_xzstream, lzma_stream, total_out);
	SAME_FIELD(logfile_xzstream, lzma_stream, allocator);
	SAME_FIELD(logfile_xzstream, lzma_stream, internal);
	EXPECT_EQ(logfile_xzconcatenated, LZMA_CONCATENATED);
	EXPECT_EQ(logfile_xztellunsupportedcheck, LZMA_TELL_UNSUPPORTED_CHECK);
	EXPECT_EQ(logfile_xzrun, LZMA_RUN);
	EXPECT_EQ(logfile_xzfinish, LZMA_FINISH);
	EXPECT_EQ(logfile_xzok, LZMA_OK);
	EXPECT_EQ(logfile_xzstreamend, LZMA_STREAM_END);
	EXPECT_EQ(logfile_xzmemerror, LZMA_MEM_ERROR);
	EXPECT_EQ(logfile_xzmemlimiterror, LZMA_MEMLIMIT_ERROR);
	EXPECT_EQ(logfile_xzbuferror, LZMA_BUF_ERROR);
#else
	missing("lzma.h");
#endif
}

TEST(Layout, Zstd)
{
#ifdef QUORVEL_HAVE_ZSTD
	EXPECT_EQ(sizeof(logfile_zstdin), sizeof(ZSTD_inBuffer));
	SAME_FIELD(logfile_zstdin, ZSTD_inBuffer, src);
	SAME_FIELD(logfile_zstdin, ZSTD_inBuffer, size);
	SAME_FIELD(logfile_zstdin, ZSTD_inBuffer, pos);
	EXPECT_EQ(sizeof(logfile_zstdout), sizeof(ZSTD_outBuffer));
	SAME_FIELD(logfile_zstdout, ZSTD_outBuffer, dst);
	SAME_FIELD(logfile_zstdout, ZSTD_outBuffer, size);
	SAME_FIELD(logfile_zstdout, ZSTD_outBuffer, pos);
	EXPECT_EQ(logfile_zstdwindowlogmax, ZSTD_d_windowLogMax);
	EXPECT_EQ(logfile_zstdwindowtoolarge, ZSTD_error_frameParameter_windowTooLarge);
	EXPECT_EQ(logfile_zstdmemoryallocation, ZSTD_error_memory_allocation);
#else
	missing("zstd.h");
#endif
}

TEST(Layout, Isal)
{
#ifdef QUORVEL_HAVE_ISAL
	EXPECT_LE(sizeof(inflate_state), logfile_isalroom);
	SAME_FIELD(logfile_isalstate, inflate_state, next_out);
	SAME_FIELD(logfile_isalstate, inflate_state, avail_out);
	SAME_FIELD(logfile_isalstate, inflate_state, total_out);
	SAME_FIELD(logfile_isalstate, inflate_state, next_in);
	SAME_FIELD(logfile_isalstate, inflate_state, read_in);
	SAME_FIELD(logfile_isalstate, inflate_state, avail_in);
	SAME_FIELD(logfile_isalstate, inflate_state, read_in_length);
	SAME_FIELD(logfile_isalstate, inflate_state, block_state);
	SAME_FIELD(logfile_isalstate, inflate_state, dict_length);
	SAME_FIELD(logfile_isalstate, inflate_state, bfinal);
	SAME_FIELD(logfile_isalstate, inflate_state, crc_flag);
	SAME_FIELD(logfile_isalstate, inflate_state, crc);
	SAME_FIELD(logfile_isalstate, inflate_state, hist_bits);
	EXPECT_EQ(logfile_isalgzip, ISAL_GZIP);
	EXPECT_EQ(logfile_isalblockfinish, ISAL_BLOCK_FINISH);
	EXPECT_EQ(logfile_isaldecompok, ISAL_DECOMP_OK);
#else
	missing("isa-l/igzip_lib.h");
#endif
}

TEST(Layout, Deflate)
{
#ifdef QUORVEL_HAVE_DEFLATE
	/* The result comes back as an int. */
	EXPECT_EQ(sizeof(libdeflate_result), sizeof(int));
	EXPECT_EQ(logfile_deflatesuccess, LIBDEFLATE_SUCCESS);
#else
	missing("libdeflate.h");
#endif
}

}
