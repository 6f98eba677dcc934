/*
 * Whole runs on arbitrary files: the fuzzer's bytes become one to three
 * logs (cut at 0xff bytes; the first byte says how many, and whether the
 * first is named twice), every stage runs, and the output must be the
 * merge the rules define.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

#include "common.h"

namespace {

std::string dir;

std::string
write_file(const std::string &name, const uint8_t *data, size_t size)
{
	std::string path = dir + "/" + name;
	FILE *f = fopen(path.c_str(), "w");
	if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
		abort();
	return path;
}

/* Run the stages with standard output going to a file; return what it got. */
std::string
merge(const std::vector<std::string> &paths)
{
	std::string out = dir + "/out";
	fflush(stdout);
	int saved = dup(1);
	int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (saved < 0 || fd < 0 || dup2(fd, 1) < 0)
		abort();
	close(fd);
	stages_run(paths);
	if (dup2(saved, 1) < 0)
		abort();
	close(saved);
	return file_read(out);
}

/* Leave no scratch directory behind when the fuzzer ends. */
void
remove_dir(void)
{
	for (const char *name : {"f0", "f1", "f2", "out"})
		unlink((dir + "/" + name).c_str());
	rmdir(dir.c_str());
}

}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	char tmpl[] = "/tmp/quorvel-fuzz.XXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		abort();
	dir = tmpl;
	atexit(remove_dir);
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	size_t files = 1 + data[0] % 3;
	std::vector<std::string> paths;
	size_t at = 1;
	for (size_t i = 0; i < files; i++) {
		size_t end = at;
		while (end < size && (data[end] != 0xff || i == files - 1))
			end++;
		paths.push_back(write_file("f" + std::to_string(i), data + at, end - at));
		at = end < size ? end + 1 : end;
	}
	if (data[0] & 0x80)
		paths.push_back(paths[0]);

	std::string got = merge(paths);
	stages_reset();
	if (got != expected_merge(paths))
		abort();
	return 0;
}
