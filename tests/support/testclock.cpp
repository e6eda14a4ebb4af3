// testclock.cpp: clock_gettime, interposed for the whole test executable.
//
// The virtual time is kept in whole nanoseconds, so Advance(0.25) four times
// lands exactly on a second, as a real clock's readings would.
#include "tests/support/testclock.h"

#include <math.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static bool virtualOn;
static int64_t virtualNs;
static int reads;
static int64_t afterNextReadNs;

void TestClock_Set(double seconds) {
    virtualOn = true;
    virtualNs = (int64_t)llround(seconds * 1e9);
    reads = 0;
    afterNextReadNs = 0;
}

void TestClock_Advance(double seconds) { virtualNs += (int64_t)llround(seconds * 1e9); }

void TestClock_AdvanceAfterNextRead(double seconds) { afterNextReadNs = (int64_t)llround(seconds * 1e9); }

void TestClock_Release(void) {
    virtualOn = false;
    afterNextReadNs = 0;
}

int TestClock_Reads(void) { return reads; }

extern "C" int clock_gettime(clockid_t id, struct timespec *ts) {
    if (virtualOn && id == CLOCK_MONOTONIC) {
        reads++;
        ts->tv_sec = (time_t)(virtualNs / 1000000000);
        ts->tv_nsec = (long)(virtualNs % 1000000000);
        virtualNs += afterNextReadNs;
        afterNextReadNs = 0;
        return 0;
    }
    return (int)syscall(SYS_clock_gettime, id, ts);
}
