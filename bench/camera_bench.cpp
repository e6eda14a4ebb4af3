// camera_bench.cpp: the scripted camera's two callbacks, as the game calls
// them while rendering frame after frame.
//
// Long recorded paths have one keyframe every frame or two, so the pair is
// measured from 2 up to 100,000 keyframes over as many frames. Each
// iteration is one rendered frame: the path moves on by a frame, as the run
// controller moves it, and the game asks for the orientation and the
// position twice, as a renderer may. A path of any length should cost what
// a short one does.
#include <stdlib.h>

#include "bench/suite.h"
#include "path/path.h"
#include "plugin/bench.h"

static void CameraBench_Pair(benchmark::State &state) {
    const int32_t count = (int32_t)state.range(0);
    FakeGame_Reset();
    // Two keyframes as far apart as the longest path's ends: every frame is
    // interpolated on the one segment, the cost every path has at least.
    std::vector<Keyframe> path = Suite_MakePath(count);
    if (count == 2) path[1].frame = Suite_MakePath(100000).back().frame;
    bench.keyframes = (Keyframe *)malloc(path.size() * sizeof(Keyframe));
    for (size_t i = 0; i < path.size(); i++) bench.keyframes[i] = path[i];
    bench.keyframeCount = count;
    bench.totalFrames = path.back().frame;
    BenchCamera_Ensure();
    bench.state = RunState_Running;

    bench.curFrame = 1;
    for (auto _ : state) {
        bench.curFrame = bench.curFrame == bench.totalFrames ? 1 : bench.curFrame + 1;
        for (int call = 0; call < 2; call++) {
            Vec2 o = Camera.active->GetOrientation();
            Vec3 p = Camera.active->GetPosition(0.5f);
            benchmark::DoNotOptimize(o);
            benchmark::DoNotOptimize(p);
        }
    }
    state.SetLabel("a frame: GetOrientation + GetPosition, twice");
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
