/*
 * refmerge: the merge done the plain way, every line held in memory and
 * stably sorted by key, to check quorvel's output against.
 *
 *	refmerge file ...
 */
#include <cstdio>
#include <string>
#include <vector>

#include "common.h"

int
main(int argc, char *argv[])
{
	std::vector<std::string> paths(argv + 1, argv + argc);
	std::string out = expected_merge(paths);
	return fwrite(out.data(), 1, out.size(), stdout) == out.size() && fflush(stdout) == 0 ? 0 : 1;
}
