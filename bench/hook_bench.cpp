// hook_bench.cpp: the cost the plug-in adds to every timed frame.
//
// While Running, the game calls Bench_OnDraw2D once per rendered frame. Its
// floor is the one monotonic clock read it must make, so it is measured next
// to a bare clock_gettime(CLOCK_MONOTONIC) through the C library (the vDSO),
// the same call Bench_Now makes.
#include <stdlib.h>
#include <time.h>

#include "bench/suite.h"
#include "path/path.h"
#include "plugin/bench.h"
#include "run/run.h"

// Frames per pass for the hook: enough that the frame-time table is walked
// like a real one, small enough to stay in cache like a real one.
constexpr int32_t kHookFrames = 16384;

static void HookBench_ClockGettime(benchmark::State &state) {
    struct timespec ts = {};
    for (auto _ : state) {
        clock_gettime(CLOCK_MONOTONIC, &ts);
        benchmark::DoNotOptimize(ts);
    }
}

static void HookBench_OnDraw2D(benchmark::State &state) {
    FakeGame_Reset();
    std::vector<Keyframe> path = Suite_MakePath(2);
    path[1].frame = kHookFrames;
    bench.keyframes = (Keyframe *)malloc(path.size() * sizeof(Keyframe));
    for (size_t i = 0; i < path.size(); i++) bench.keyframes[i] = path[i];
    bench.keyframeCount = (int32_t)path.size();
    bench.totalFrames = kHookFrames;
    bench.frameTimes = (double *)calloc((size_t)kHookFrames, sizeof(double));
    BenchCamera_Ensure();

    // Mid-run, no screenshots: what every ordinary frame pays.
    bench.shotsDir = nullptr;
    bench.state = RunState_Running;
    bench.curFrame = 1;
    bench.lastFrameTime = Bench_Now();
    for (auto _ : state) {
        Bench_OnDraw2D(0.016);
        // Wrap before the last frame so the pass never completes and the
        // report never runs inside the loop.
        if (bench.curFrame == kHookFrames) bench.curFrame = 1;
    }
    if (bench.state != RunState_Running || bench.cameraSwitches != 0 || bench.frameTimes[0] <= 0)
        state.SkipWithError("the hook did not stay in a plain running frame");
    FakeGame_Reset();
}

void HookBench_Register(void) {
    benchmark::RegisterBenchmark("Hook/clock_gettime", HookBench_ClockGettime)->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("Hook/Bench_OnDraw2D", HookBench_OnDraw2D)->Unit(benchmark::kNanosecond);
}
