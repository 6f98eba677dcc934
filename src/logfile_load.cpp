/*
 * The decompression libraries, loaded at run time when an input first
 * needs one: the program links against the standard library alone, and a
 * system that lacks a library still merges, with the format's tool.
 */
#include "logfile_load.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "logfile.h"

logfile_zlibentries logfile_zlib;
logfile_bz2entries logfile_bz2;
logfile_lzmaentries logfile_lzma;
logfile_zstdentries logfile_zstdlib;
logfile_isalentries logfile_isal;
logfile_deflateentries logfile_deflate;

unsigned logfiles_libraries = ~0u;

/* Where to find each library, as Linux and the BSDs name it. */
struct logfile_library {
	const char *sonames[4];
	const char *symbols[7];
	void *entries;		/* one of the structures of logfile_load.h */
	int loaded;		/* 0 not yet tried, 1 loaded, -1 missing */
};

static logfile_library logfile_libraries[] = {
	{{"libz.so.1", "libz.so.6", nullptr},
	    {"inflateInit2_", "inflate", "inflateReset", "inflateEnd", nullptr}, &logfile_zlib, 0},
	{{"libbz2.so.1.0", "libbz2.so.1", "libbz2.so.4", nullptr},
	    {"BZ2_bzDecompressInit", "BZ2_bzDecompress", "BZ2_bzDecompressEnd", nullptr}, &logfile_bz2, 0},
	{{"liblzma.so.5", nullptr}, {"lzma_stream_decoder", "lzma_code", "lzma_end", nullptr}, &logfile_lzma, 0},
	{{"libzstd.so.1", nullptr},
	    {"ZSTD_createDCtx", "ZSTD_DCtx_setParameter", "ZSTD_decompressStream", "ZSTD_isError",
		"ZSTD_getErrorCode", "ZSTD_freeDCtx", nullptr}, &logfile_zstdlib, 0},
	{{"libisal.so.2", nullptr}, {"isal_inflate_init", "isal_inflate_reset", "isal_inflate", nullptr},
	    &logfile_isal, 0},
	{{"libdeflate.so.0", nullptr},
	    {"libdeflate_alloc_decompressor", "libdeflate_gzip_decompress_ex", "libdeflate_free_decompressor",
		nullptr}, &logfile_deflate, 0},
};

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
logfile_loadlib(logfile_lib which)
{
	logfile_library *l = &logfile_libraries[which];
	void *lib = nullptr;

	if ((logfiles_libraries >> which & 1) == 0)
		return false;
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
	for (size_t i = 0; i < sizeof logfile_libraries / sizeof logfile_libraries[0]; i++)
		logfile_loadlib(logfile_lib(i));
}
