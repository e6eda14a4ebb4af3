// report_bench.cpp: the end-of-pass report.
//
// Report_Pass must sort a copy of the pass's frame times for its
// percentile; everything else it does is one walk over them and a few log
// lines. Its floor is a plain qsort of the same numbers, copied from the
// same table each time since a sorted input would flatter the sort. The
// log lines go to /dev/null during the measurement.
#include <stdlib.h>
#include <string.h>

#include "bench/suite.h"
#include "plugin/bench.h"
#include "run/run.h"

static int ReportBench_Compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y ? 1 : 0;
}

static void ReportBench_Qsort(benchmark::State &state) {
    const int32_t count = (int32_t)state.range(0);
    std::vector<double> times = Suite_MakeFrameTimes(count);
    std::vector<double> copy(times.size());
    for (auto _ : state) {
        memcpy(copy.data(), times.data(), times.size() * sizeof(double));
        qsort(copy.data(), copy.size(), sizeof(double), ReportBench_Compare);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
}

static void ReportBench_ReportPass(benchmark::State &state) {
    const int32_t count = (int32_t)state.range(0);
    std::vector<double> times = Suite_MakeFrameTimes(count);
    FakeGame_Reset();
    bench.frameTimes = (double *)malloc(times.size() * sizeof(double));
    memcpy(bench.frameTimes, times.data(), times.size() * sizeof(double));
    bench.totalFrames = count;
    bench.state = RunState_Running;
    bench.curFrame = count;
    {
        StdoutSilencer quiet;
        for (auto _ : state) {
            Report_Pass();
            benchmark::ClobberMemory();
        }
    }
    FakeGame_Reset();
}

void ReportBench_Register(void) {
    for (int64_t frames : {1000, 100000, 1000000}) {
        benchmark::RegisterBenchmark("Report/qsort", ReportBench_Qsort)->Arg(frames)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("Report/Report_Pass", ReportBench_ReportPass)->Arg(frames)->Unit(benchmark::kMicrosecond);
    }
}
