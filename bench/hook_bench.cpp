// hook_bench.cpp: the cost the plug-in adds to every timed frame.
//
// While Running, the game calls Bench_OnDraw2D once per rendered frame. Its
// floor is the one monotonic clock read it must make, so it is measured next
// to a bare clock_gettime(CLOCK_MONOTONIC) through the C library (the vDSO),
// the same call Bench_Now makes. With FLYRATE_GPU=1 every such frame also
// reads the timestamp results that are ready and issues one more query:
// measured in a real OpenGL context, against the same hook there without.
#include <GL/gl.h>
#include <math.h>
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

// A pass of kHookFrames frames, running at frame 1, no screenshots: what
// every ordinary frame pays.
static void HookBench_Start(void) {
    FakeGame_Reset();
    std::vector<Keyframe> path = Suite_MakePath(2);
    path[1].frame = kHookFrames;
    bench.keyframes = (Keyframe *)malloc(path.size() * sizeof(Keyframe));
    for (size_t i = 0; i < path.size(); i++) bench.keyframes[i] = path[i];
    bench.keyframeCount = (int32_t)path.size();
    bench.totalFrames = kHookFrames;
    bench.frameTimes = (double *)calloc((size_t)kHookFrames, sizeof(double));
    BenchCamera_Ensure();
    bench.shotsDir = nullptr;
    bench.state = RunState_Running;
    bench.curFrame = 1;
    bench.lastFrameTime = Bench_Now();
}

// With `finish`, the GPU finishes everything between frames, outside the
// timing, as a game's frame ends give it time to: a result is then ready
// at the next hook. (Back to back, hooks come every few dozen nanoseconds
// and every result would come too late for the ring.)
static void HookBench_Frames(benchmark::State &state, bool finish) {
    for (auto _ : state) {
        Bench_OnDraw2D(0.016);
        // Wrap before the last frame so the pass never completes and the
        // report never runs inside the loop.
        if (bench.curFrame == kHookFrames) bench.curFrame = 1;
        if (finish) {
            state.PauseTiming();
            glFinish();
            state.ResumeTiming();
        }
    }
    if (bench.state != RunState_Running || bench.cameraSwitches != 0 || bench.frameTimes[0] <= 0)
        state.SkipWithError("the hook did not stay in a plain running frame");
}

static void HookBench_OnDraw2D(benchmark::State &state) {
    HookBench_Start();
    HookBench_Frames(state, false);
    FakeGame_Reset();
}

// The hook between finished frames in the suite's OpenGL context, with GPU
// times on (range 1) or off (0), so that the two differ by the queries alone.
static void HookBench_OnDraw2DFinished(benchmark::State &state) {
    if (!Suite_GlContext(state)) return;
    HookBench_Start();
    bool gpu = state.range(0);
    if (gpu) {
        StdoutSilencer quiet;
        if (!Gpu_Init() || !Gpu_Setup()) {
            state.SkipWithError("no GPU timer queries");
            FakeGame_Reset();
            return;
        }
        Gpu_StartPass();
    }
    HookBench_Frames(state, true);
    if (gpu) {
        int32_t timed = 0;
        for (int32_t i = 0; i < kHookFrames; i++) timed += !isnan(bench.gpuMs[i]);
        if (timed < bench.curFrame - 2) state.SkipWithError("GPU times missing between finished frames");
        Gpu_Release();
    }
    FakeGame_Reset();
}

void HookBench_Register(void) {
    benchmark::RegisterBenchmark("Hook/clock_gettime", HookBench_ClockGettime)->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("Hook/Bench_OnDraw2D", HookBench_OnDraw2D)->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("Hook/Bench_OnDraw2D_finished", HookBench_OnDraw2DFinished)
        ->ArgName("gpu")
        ->Arg(0)
        ->Arg(1)
        ->Unit(benchmark::kNanosecond);
}
