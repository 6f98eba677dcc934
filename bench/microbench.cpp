/* Micro-benchmarks of the two hot spots: the date key and the sort. */
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "linedate.h"
#include "logfile.h"

static std::vector<std::string>
sample_lines(void)
{
	std::vector<std::string> lines;
	char buf[512];
	for (unsigned i = 0; i < 4096; i++) {
		snprintf(buf, sizeof buf, "%u.%u.%u.%u - - [%02u/%s/2026:%02u:%02u:%02u +0000] "
		    "\"GET /blog/%u?id=%u HTTP/1.1\" 200 %u \"https://www.example.com/\" "
		    "\"Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0\"\n",
		    10 + i % 200, i % 256, i * 7 % 256, 1 + i % 250, 1 + i % 28, i % 2 ? "Nov" : "Dec",
		    i % 24, i % 60, i * 13 % 60, i, i * 31, i * 17);
		lines.push_back(buf);
	}
	return lines;
}

static void
BM_datekey(benchmark::State &state)
{
	std::vector<std::string> lines = sample_lines();
	int month = 0;
	size_t i = 0;
	for (auto _ : state) {
		const std::string &l = lines[i++ & 4095];
		benchmark::DoNotOptimize(linedate_datekey(l.data(), l.size(), &month));
	}
	state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_datekey);

/* Records as the scan leaves them: four files' lines interleaving in time. */
static void
BM_sort(benchmark::State &state)
{
	static logfile files[4];
	uint64_t n = uint64_t(state.range(0));
	std::vector<linedate> scanned(n + 4);
	for (unsigned f = 0; f < 4; f++)
		files[f].place = f;
	for (uint64_t i = 0; i < n; i++) {
		uint64_t f = i * 4 / n, j = i - f * n / 4;
		uint32_t jitter = uint32_t((i * 2654435761u) >> 30) % 3;
		scanned[i] = {&files[f], uint32_t(300000000u + j * 259200u / (n / 4) + jitter), j * 230};
	}
	linedates_totalcount = n;
	linedates_buffer = static_cast<linedate *>(malloc((n + 4) * sizeof(linedate)));
	for (auto _ : state) {
		state.PauseTiming();
		memcpy(linedates_buffer, scanned.data(), n * sizeof(linedate));
		state.ResumeTiming();
		linedate_sort();
	}
	free(linedates_buffer);
	state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(BM_sort)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
