// fakeclock.cpp: clock_gettime, replaced for the whole program, so the
// plug-in's Bench_Now reads virtual time while a program has it set. Time
// is never slept in tests: warm-up decisions and frame times follow from
// it. Otherwise every call goes on to the C library's own (the vDSO's fast
// path), so the benchmarks time the real clock at its real cost.
#include <dlfcn.h>
#include <math.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "tests/support/fakegame.h"

static bool virtualOn;
static int64_t virtualNs;
static int64_t afterNextReadNs;
static int reads;

static int64_t FakeClock_Ns(double seconds) { return (int64_t)llround(seconds * 1e9); }

void FakeClock_Set(double seconds) {
    virtualOn = true;
    virtualNs = FakeClock_Ns(seconds);
    afterNextReadNs = 0;
    reads = 0;
}

void FakeClock_Advance(double seconds) { virtualNs += FakeClock_Ns(seconds); }
void FakeClock_AdvanceAfterNextRead(double seconds) { afterNextReadNs = FakeClock_Ns(seconds); }
void FakeClock_Release(void) { virtualOn = false; }
int FakeClock_Reads(void) { return reads; }

typedef int (*ClockFn)(clockid_t, struct timespec *);

extern "C" int clock_gettime(clockid_t id, struct timespec *ts) {
    if (!virtualOn || id != CLOCK_MONOTONIC) {
        static ClockFn real = (ClockFn)dlsym(RTLD_NEXT, "clock_gettime");
        return real ? real(id, ts) : (int)syscall(SYS_clock_gettime, id, ts);
    }
    reads++;
    ts->tv_sec = (time_t)(virtualNs / 1000000000);
    ts->tv_nsec = (long)(virtualNs % 1000000000);
    virtualNs += afterNextReadNs;
    afterNextReadNs = 0;
    return 0;
}
