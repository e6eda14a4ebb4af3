// testbench.cpp: resetting the plug-in's state record between tests.
#include "tests/support/testbench.h"

#include <stdlib.h>

#include "plugin/bench.h"

void TestBench_Reset(void) {
    free(bench.keyframes);
    free(bench.frameTimes);
    bench = BenchState{};
}
