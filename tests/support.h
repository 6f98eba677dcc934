/* Helpers shared by the tests: scratch files, stage resets, running quorvel. */
#ifndef QUORVEL_TEST_SUPPORT_H
#define QUORVEL_TEST_SUPPORT_H

#include <string>
#include <vector>

#include "common.h"
#include "linedate.h"
#include "logfile.h"

/* A fresh scratch directory for each test; removed at the test's end. */
std::string scratch_dir(void);
std::string scratch_write(const std::string &name, const std::string &text);
std::string scratch_read(const std::string &path);


struct run_result {
	std::string out;
	std::string err;
	int status;		/* exit status, or 128 + signal */
};

/* Run quorvel (or argv[0] if given as a path) with these arguments. */
run_result run_quorvel(const std::vector<std::string> &args);
/* Run a bash script with $Q set to the quorvel binary. */
run_result run_shell(const std::string &script);
/* Run argv exactly, argv[0] included, as the program's vector. */
run_result run_argv(const std::vector<std::string> &argv, const char *path);

/* The allocation trace for a table of the given number of records. */
std::string alloc_trace(unsigned long records);

#endif
