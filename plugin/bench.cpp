// bench.cpp: the state record, the clock and the log line.
#include "plugin/bench.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

BenchState bench;

double Bench_Now(void) {
    struct timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_nsec / 1e9 + (double)ts.tv_sec;
}

void Bench_Log(const char *format, ...) {
    // One write() per line, straight to the descriptor: lines appear at once
    // and in order, never held in the game's stdio buffer.
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, 1023, format, ap);
    va_end(ap);
    if (n < 0) return;
    if (n > kLogLineMax) n = kLogLineMax;
    buf[n] = '\n';
    ssize_t ignored = write(1, buf, (size_t)n + 1);
    (void)ignored;
}

void Bench_ReleaseTables(void) {
    free(bench.keyframes);
    bench.keyframes = nullptr;
    free(bench.frameTimes);
    bench.frameTimes = nullptr;
    free(bench.frameChunks);
    bench.frameChunks = nullptr;
    free(bench.gpuMs);
    bench.gpuMs = nullptr;
    free(bench.gpuLagMs);
    bench.gpuLagMs = nullptr;
    free(bench.samples);
    bench.samples = nullptr;
    bench.sampleCount = bench.sampleCapacity = 0;
    bench.poseValid = false;
}
