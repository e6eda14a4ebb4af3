// bench.cpp: the state record, the clock and the log line.
#include "plugin/bench.h"

#include <stdarg.h>
#include <stdio.h>
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
    if (n > 1022) n = 1022;
    buf[n] = '\n';
    ssize_t ignored = write(1, buf, (size_t)n + 1);
    (void)ignored;
}
