#include "common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "linedate.h"
#include "logfile.h"
#include "quorvel_io.h"

std::string
file_read(const std::string &path)
{
	std::string text;
	char buf[65536];
	FILE *f = fopen(path.c_str(), "r");
	size_t n;

	if (f == nullptr)
		return text;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		text.append(buf, n);
	fclose(f);
	return text;
}

void
stages_reset(void)
{
	for (logfile *f = logfiles_begin, *next; f != nullptr; f = next) {
		next = f->next;
		if (f->fd >= 0 && f->copy == nullptr)
			close(f->fd);
		if (f->copy != nullptr && f->copy != logfiles_copies)
			fclose(f->copy);
		free(f);
	}
	if (logfiles_copies != nullptr)
		fclose(logfiles_copies);
	logfiles_copies = nullptr;
	logfiles_copiesend = 0;
	logfiles_begin = logfiles_end = nullptr;
	linedate_freebuffer();
	linedates_totalcount = 0;
	linedates_runcount = 0;
	logfiles_lost = 0;
	linedates_writefailed = false;
	debug = 0;
}

void
stages_count(const std::vector<std::string> &names)
{
	for (const std::string &n : names)
		logfile_add(n.c_str());
	logfile_linecount();
	linedate_createbuffer();
}

void
stages_run(const std::vector<std::string> &names)
{
	stages_count(names);
	linedate_parse();
	linedate_sort();
	linedate_output();
	fflush(stdout);
}

/*
 * The text of a log as the rules read it: what its tool makes of a
 * compressed one, and none at all when the tool fails.
 */
static bool
log_text(const std::string &path, std::string *text)
{
	*text = file_read(path);
	int fd = open(path.c_str(), O_RDONLY);
	const char *tool = fd >= 0 ? logfile_decompressor(fd) : nullptr;
	if (fd >= 0)
		close(fd);
	if (tool == nullptr)
		return true;
	FILE *p = popen((std::string(tool) + " -dc 2>/dev/null < '" + path + "'").c_str(), "r");
	char buf[65536];
	size_t n;
	text->clear();
	while (p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0)
		text->append(buf, n);
	return p != nullptr && pclose(p) == 0;
}

std::string
expected_merge(const std::vector<std::string> &paths)
{
	std::vector<std::pair<uint32_t, std::string>> lines;
	int month = 0;

	for (const std::string &p : paths) {
		std::string text;
		if (!log_text(p, &text))
			continue;
		for (size_t at = 0, end; at < text.size(); at = end) {
			size_t nl = text.find('\n', at);
			end = nl == std::string::npos ? text.size() : nl + 1;
			std::string line = text.substr(at, end - at);
			/* Keyed from the first byte other than zero, to the end of that byte's read. */
			size_t lead = line.find_first_not_of('\0');
			if (lead == std::string::npos || line[lead] == '\n')
				continue;
			size_t read_end = std::min(line.size(), (lead / quorvel_linemax + 1) * quorvel_linemax);
			uint32_t key = linedate_datekey(line.data() + lead, read_end - lead, &month);
			if (line.back() != '\n')
				line += '\n';
			lines.emplace_back(key, line);
		}
	}
	std::stable_sort(lines.begin(), lines.end(),
	    [](const auto &x, const auto &y) { return x.first < y.first; });
	std::string out;
	for (const auto &l : lines)
		out += l.second;
	return out;
}
