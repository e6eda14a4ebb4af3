// camera_bench.cpp: the scripted camera's two callbacks, as the game calls
// them while rendering a frame.
//
// Long recorded paths have one keyframe every frame or two, so the pair is
// measured from 2 up to 100,000 keyframes; the frame shown is varied
// pseudo-randomly over the whole path so no lookup is served by luck.
#include <stdlib.h>

#include "bench/suite.h"
#include "path/path.h"
#include "plugin/bench.h"

static void CameraBench_Pair(benchmark::State &state) {
    const int32_t count = (int32_t)state.range(0);
    FakeGame_Reset();
    std::vector<Keyframe> path = Suite_MakePath(count);
    bench.keyframes = (Keyframe *)malloc(path.size() * sizeof(Keyframe));
    for (size_t i = 0; i < path.size(); i++) bench.keyframes[i] = path[i];
    bench.keyframeCount = count;
    bench.totalFrames = path.back().frame;
    BenchCamera_Ensure();
    bench.state = RunState_Running;

    constexpr size_t kFrames = 4096;  // a power of two: the index wraps with a mask
    std::vector<int32_t> frames(kFrames);
    SuiteRandom rng(99);
    for (int32_t &f : frames) f = (int32_t)rng.Below((uint32_t)bench.totalFrames + 1);

    size_t i = 0;
    for (auto _ : state) {
        bench.curFrame = frames[i++ & (kFrames - 1)];
        Vec2 o = BenchCamera_GetOrientation();
        Vec3 p = BenchCamera_GetPosition(0.5f);
        benchmark::DoNotOptimize(o);
        benchmark::DoNotOptimize(p);
    }
    state.SetLabel("GetOrientation + GetPosition");
    FakeGame_Reset();
}

void CameraBench_Register(void) {
    benchmark::RegisterBenchmark("Camera/keyframes", CameraBench_Pair)
        ->Arg(2)
        ->Arg(100)
        ->Arg(10000)
        ->Arg(100000)
        ->Unit(benchmark::kNanosecond);
}
