/*
 * Date keys of arbitrary bytes, against a plain reading of the rules: the
 * line copied into a zeroed buffer, delimiters replaced by zero bytes,
 * pieces walked from zero to zero.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "linedate.h"
#include "quorvel.h"

int debug;

namespace {

int
reference_number(const char *p)
{
	long long v = strtoll(p, nullptr, 10);
	return int(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
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
	for (size_t i = 0; i < len; i++)
		if (strchr("[/: ]", line[i]) != nullptr)
			line[i] = 0;

	const char *p = line;
	int field[6];
	for (int i = 0; i < 10; i++) {
		if (i >= 4)
			field[i - 4] = i == 5 ? 0 : reference_number(p);
		if (i == 5) {
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
		p += strlen(p) + 1;
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
