/*
 * Date keys of arbitrary bytes, against a plain reading of the rules: the
 * line copied into a zeroed buffer; unless its fourth delimiter is a '[',
 * the first '[' followed by a whole date gives the fields; else delimiters
 * are replaced by zero bytes and pieces walked from zero to zero.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "linedate.h"
#include "quorvel_io.h"

namespace {

int
reference_number(const char *p)
{
	long long v = strtoll(p, nullptr, 10);
	return int(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

void
reference_month(const char *p, int *month)
{
	switch (p[0]) {
	case 'J': *month = p[1] == 'a' ? 1 : p[2] == 'l' ? 7 : 6; break;
	case 'F': *month = 2; break;
	case 'M': *month = p[2] == 'r' ? 3 : 5; break;
	case 'A': *month = p[1] == 'p' ? 4 : 8; break;
	case 'S': *month = 9; break;
	case 'O': *month = 10; break;
	case 'N': *month = 11; break;
	case 'D': *month = 12; break;
	}
}

bool
digits(const char *p, int n)
{
	for (int i = 0; i < n; i++)
		if (p[i] < '0' || p[i] > '9')
			return false;
	return true;
}

/* The first '[' of the line followed by dd/Mon/yyyy:hh:mm:ss and no digit. */
const char *
reference_wholedate(const char *line)
{
	for (const char *b = strchr(line, '['); b != nullptr; b = strchr(b + 1, '[')) {
		const char *d = b + 1;
		if (strlen(d) >= 20 && digits(d, 2) && d[2] == '/' && strchr("[/: ]", d[3]) == nullptr &&
		    strchr("[/: ]", d[4]) == nullptr && strchr("[/: ]", d[5]) == nullptr &&
		    d[6] == '/' && digits(d + 7, 4) && d[11] == ':' && digits(d + 12, 2) &&
		    d[14] == ':' && digits(d + 15, 2) && d[17] == ':' && digits(d + 18, 2) &&
		    !digits(d + 20, 1))
			return d;
	}
	return nullptr;
}

/* The fourth of the line's delimiters, or 0. */
char
reference_fourth(const char *line)
{
	int n = 0;
	for (const char *p = line; *p != 0; p++)
		if (strchr("[/: ]", *p) != nullptr && ++n == 4)
			return *p;
	return 0;
}

uint32_t
reference_key(const uint8_t *data, size_t size, int *month)
{
	char line[4096] = {};
	size_t len = size < quorvel_linemax ? size : quorvel_linemax;
	const void *nul = memchr(data, 0, len);
	if (nul != nullptr)
		len = size_t(static_cast<const uint8_t *>(nul) - data);
	memcpy(line, data, len);

	int field[6];
	const char *d = reference_fourth(line) != '[' ? reference_wholedate(line) : nullptr;
	if (d != nullptr) {
		field[0] = atoi(d);
		reference_month(d + 3, month);
		field[2] = atoi(d + 7);
		field[3] = atoi(d + 12);
		field[4] = atoi(d + 15);
		field[5] = atoi(d + 18);
	} else {
		for (size_t i = 0; i < len; i++)
			if (strchr("[/: ]", line[i]) != nullptr)
				line[i] = 0;
		const char *p = line;
		for (int i = 0; i < 10; i++) {
			if (i >= 4)
				field[i - 4] = i == 5 ? 0 : reference_number(p);
			if (i == 5)
				reference_month(p, month);
			p += strlen(p) + 1;
		}
	}
	uint32_t s = uint32_t(field[5]) + 60u * uint32_t(field[4]) + 3600u * uint32_t(field[3]) +
	    86400u * uint32_t(field[0]) + 2678400u * uint32_t(*month) +
	    32140800u * (uint32_t(field[2]) - 2000u);
	uint32_t key = s < 0x80000000u ? s : 0x7fffffffu;
	return key == 0 ? 1 : key;
}

}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	int carried = data[0] % 14;
	int month = carried, expected_month = carried;
	size_t len = size - 1 < quorvel_linemax ? size - 1 : quorvel_linemax;
	/* A heap copy of exactly len bytes: any read past it is caught. */
	char *line = static_cast<char *>(malloc(len > 0 ? len : 1));
	memcpy(line, data + 1, len);
	uint32_t key = linedate_datekey(line, len, &month);
	free(line);
	if (key != reference_key(data + 1, len, &expected_month) || month != expected_month)
		abort();
	return 0;
}
