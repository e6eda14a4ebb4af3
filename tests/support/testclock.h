// testclock.h: a controlled monotonic clock for tests.
//
// A test executable that links testclock.cpp defines clock_gettime itself,
// so the plug-in's Bench_Now reads a virtual time. Time is never slept in
// tests: warm-up decisions and frame times follow from TestClock_Set.
#pragma once

// Switches CLOCK_MONOTONIC to the virtual clock and sets it, in seconds.
void TestClock_Set(double seconds);
void TestClock_Advance(double seconds);
// Back to the real clock (the default).
void TestClock_Release(void);
// Times clock_gettime(CLOCK_MONOTONIC) has been called since the last Set.
int TestClock_Reads(void);
// One-shot: right after the next reading is taken, the clock moves on by
// seconds, as if the caller then spent that long working (a capture, say).
void TestClock_AdvanceAfterNextRead(double seconds);
