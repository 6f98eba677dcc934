/*
 * The output pass: every indexed line read again and written in key order.
 */
#include "linedate.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "quorvel.h"

/*
 * The output pass reads the lines again through one window a file, so
 * that lines printed in file order cost one read call a window, not one
 * a line.  A window starts a little before the line it was read for:
 * lines slightly out of order in their file stay within it.
 */
struct linedate_window {
	char *buf;
	uint64_t off;		/* file offset of buf[0] */
	size_t len;		/* bytes held */
	bool lost;		/* "Cannot read again" was said for the file */
};

static constexpr size_t linedate_windowbudget = 8 * 1024 * 1024;
static size_t linedate_windowsize;

static char linedate_out[128 * 1024];
static size_t linedate_outlen;

static void
linedate_flush(void)
{
	fwrite(linedate_out, 1, linedate_outlen, stdout);
	linedate_outlen = 0;
}

static inline void
linedate_emit(const char *p, size_t n)
{
	if (linedate_outlen + n > sizeof(linedate_out))
		linedate_flush();
	memcpy(linedate_out + linedate_outlen, p, n);
	linedate_outlen += n;
}

/*
 * Open f again for output.  A file that is no longer the one scanned, or
 * that lost bytes the scan went through, would give stale or foreign
 * lines: it is left without a stream.
 */
static void
linedate_reopen(logfile *f)
{
	if (quorvel_trace(2))
		fprintf(stderr, "linedate_output (): openfile %s\n", f->name);
	if (f->copy != nullptr) {
		f->file = f->copy;
		return;
	}
	f->file = fopen(f->name, "r");
	if (f->file == nullptr)
		return;
	struct stat st;
	if (fstat(fileno(f->file), &st) != 0 || st.st_dev != f->dev ||
	    st.st_ino != f->ino || uint64_t(st.st_size) < f->size) {
		fclose(f->file);
		f->file = nullptr;
	}
}

/* Read n bytes of fd at off into buf; the count read. */
static size_t
linedate_readat(int fd, char *buf, size_t n, uint64_t off)
{
	size_t got = 0;

	while (got < n) {
		ssize_t r = pread(fd, buf + got, n - got, off_t(off + got));
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			break;
		got += size_t(r);
	}
	return got;
}

/* Find the read at pos of f; false when its bytes cannot be had. */
static bool
linedate_fetch(linedate_window *w, const logfile *f, uint64_t pos, const char **line, size_t *len)
{
	if (f->file == nullptr || pos >= f->size)
		return false;
	size_t want = size_t(std::min<uint64_t>(quorvel_linemax, f->size - pos));
	if (pos < w->off || pos + want > w->off + w->len) {
		/* Look behind, but never so far that the read itself does not fit. */
		uint64_t back = std::min<uint64_t>({pos, linedate_windowsize / 8, linedate_windowsize - want});
		uint64_t from = pos - back;
		size_t n = size_t(std::min<uint64_t>(linedate_windowsize, f->size - from));
		w->off = from;
		w->len = linedate_readat(fileno(f->file), w->buf, n, from);
		if (w->len < back + want) {
			w->len = 0;
			return false;
		}
	}
	*line = w->buf + (pos - w->off);
	const char *nl = static_cast<const char *>(memchr(*line, '\n', want));
	*len = nl != nullptr ? size_t(nl - *line) + 1 : want;
	return true;
}

/* Print the line of record r, or say once a file that it cannot be read. */
static void
linedate_print(linedate_window *windows, const linedate *r)
{
	const logfile *f = r->file;
	linedate_window *w = &windows[f->place];
	const char *line;
	size_t len;

	if (!linedate_fetch(w, f, r->pos, &line, &len)) {
		if (!w->lost) {
			fprintf(stderr, "Cannot read %s again\n", f->name);
			w->lost = true;
			linedates_lost++;
		}
		return;
	}
	linedate_emit(line, len);
	/* The unterminated end of a file must not run into the next line. */
	if (line[len - 1] != '\n' && r->pos + len == f->size)
		linedate_emit("\n", 1);
}

void
linedate_output(void)
{
	size_t files = 0;

	if (debug)
		fputs("linedate_output ()\n", stderr);
	for (logfile *f = logfiles_begin; f != nullptr; f = f->next, files++)
		linedate_reopen(f);
	if (files == 0)
		return;

	/* Windows share a fixed budget, but each holds at least a whole read. */
	linedate_windowsize = std::max<size_t>(4096, std::min<size_t>(linedate_windowbudget / files, 1024 * 1024));
	linedate_window *windows = static_cast<linedate_window *>(calloc(files, sizeof(linedate_window)));
	char *space = nullptr;
	if (files <= SIZE_MAX / linedate_windowsize)
		space = static_cast<char *>(malloc(files * linedate_windowsize));
	if (windows == nullptr || space == nullptr)
		quorvel_nomemory();
	for (size_t i = 0; i < files; i++)
		windows[i].buf = space + i * linedate_windowsize;

	for (uint64_t i = 0; i < linedates_totalcount; i++)
		if (linedates_buffer[i].time != 0)
			linedate_print(windows, &linedates_buffer[i]);
	linedate_flush();
	free(space);
	free(windows);
}
