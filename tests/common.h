/* Test helpers that need no test framework: shared with the fuzz targets. */
#ifndef QUORVEL_TEST_COMMON_H
#define QUORVEL_TEST_COMMON_H

#include <string>
#include <vector>

/* The whole content of a file, or "" when it cannot be read. */
std::string file_read(const std::string &path);

/* Free what the stages hold and set their globals back to the start. */
void stages_reset(void);

/* Add the names, count their lines and create the table, as main does. */
void stages_count(const std::vector<std::string> &names);

/* Run every stage as main does, on the given names. */
void stages_run(const std::vector<std::string> &names);

/*
 * The merge of these files as the rules define it: every non-blank
 * physical line whole and ended by a newline, stably sorted by the key of
 * its first read, or, for a line that begins with zero bytes, of its first
 * read that holds another byte, from that byte on.
 */
std::string expected_merge(const std::vector<std::string> &paths);

#endif
