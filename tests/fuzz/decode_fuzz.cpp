/*
 * Decompression in the program on arbitrary data: the fuzzer's first byte
 * picks a format, the rest, after that format's magic where they lack it,
 * is a compressed log, which takes the road of any compressed input read.
 * With no tool on PATH, the library alone decides: where it gives a text,
 * that must be exactly what the format's tool gives for the same bytes;
 * where it fails, the input must be left out as one that cannot be copied.
 * gzip goes through each of its decoders alone: ISA-L's, libdeflate, zlib.
 * Texts are compared by length and checksum, read in blocks, so that the
 * memory of the run is the decoders' own, which CI bounds.
 */
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include "common.h"
#include "logfile.h"
#include "logfile_load.h"
#include "quorvel_io.h"

namespace {

std::string dir, path, tools;

const std::string magics[] = {"\x1f\x8b", "BZh9", std::string("\xfd\x37\x7a\x58\x5a\x00", 6), "\x28\xb5\x2f\xfd"};

void
remove_dir(void)
{
	unlink(path.c_str());
	rmdir(dir.c_str());
}

struct text {
	uint64_t size, sum;
};

/* What the copy of f holds. */
text
copy_text(const logfile *f)
{
	static char buf[65536];
	text t = {f->size, logfile_checksum(nullptr, 0)};
	for (uint64_t at = 0; at < f->size; at += sizeof buf) {
		size_t n = size_t(std::min<uint64_t>(sizeof buf, f->size - at));
		if (quorvel_readat(fileno(f->copy), buf, n, f->copybase + at) != n)
			abort();
		t.sum = logfile_checksumon(t.sum, buf, n);
	}
	return t;
}

/* What the format's tool makes of the file, if it succeeds. */
bool
tool_text(logfile_packing format, text *t)
{
	static char buf[65536];
	FILE *p = popen((std::string(logfile_tool(format)) + " -dc 2>/dev/null < " + path).c_str(), "r");
	if (p == nullptr)
		abort();
	*t = {0, logfile_checksum(nullptr, 0)};
	for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0; t->size += n)
		t->sum = logfile_checksumon(t->sum, buf, n);
	return pclose(p) == 0;
}

struct decoded {
	bool copied, lost;
	text t;
};

/* Decompress the file as the counting pass reads a compressed log: its first block, then the rest. */
decoded
decode(void)
{
	static char *buf = static_cast<char *>(quorvel_blockalloc(2 * logfile_blocksize));
	logfile_add(path.c_str());
	logfile *f = logfiles_end;
	int fd = open(path.c_str(), O_RDONLY);
	ssize_t first = quorvel_pread(fd, buf, logfile_blocksize, 0);
	logfile_packing format = logfile_format(buf, size_t(first));
	if (fd < 0 || format == logfile_plain)
		abort();
	setenv("PATH", "/nonexistent", 1);
	int err = dup(2), null = open("/dev/null", O_WRONLY);
	dup2(null, 2);
	decoded d = {logfile_decompress(f, fd, format, buf, size_t(first), 0), false, {}};
	logfile_decodersfree();
	dup2(err, 2);
	close(err), close(null), close(fd);
	if (d.copied)
		d.t = copy_text(f);
	d.lost = f->lost && logfiles_lost == 1;
	stages_reset();
	setenv("PATH", tools.c_str(), 1);
	return d;
}

}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	char tmpl[] = "/tmp/quorvel-fuzz.XXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		abort();
	dir = tmpl;
	path = dir + "/log";
	const char *p = getenv("PATH");
	tools = p != nullptr ? p : "/usr/bin:/bin";
	atexit(remove_dir);
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	const std::string &magic = magics[data[0] % 4];
	std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
	if (bytes.compare(0, magic.size(), magic) != 0)
		bytes = magic + bytes;
	FILE *out = fopen(path.c_str(), "w");
	if (out == nullptr || fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || fclose(out) != 0)
		abort();

	text want;
	bool tool = tool_text(logfile_format(bytes.data(), bytes.size()), &want);
	/*
	 * gzip by each of its decoders alone: ISA-L's, libdeflate, zlib.  zlib
	 * and gzip refuse some streams that no encoder writes, such as an
	 * incomplete Huffman code or a symbol past its alphabet, whose check and
	 * length still match what ISA-L and libdeflate, which take them, decode:
	 * from those two such a text is taken where gzip gives none.
	 */
	const unsigned hide[] = {1u << logfile_libdeflate, 1u << logfile_libisal,
	    1u << logfile_libisal | 1u << logfile_libdeflate};
	for (unsigned h : hide) {
		logfiles_libraries = ~h;
		bool fast = logfile_loadlib(logfile_libisal) || logfile_loadlib(logfile_libdeflate);
		decoded got = decode();
		if (got.copied ? tool ? got.t.size != want.size || got.t.sum != want.sum : !fast : !got.lost)
			abort();
		if (bytes[0] != '\x1f')
			break;
	}
	logfiles_libraries = ~0u;
	return 0;
}
