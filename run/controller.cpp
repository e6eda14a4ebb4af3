// controller.cpp: the run controller, driven by the game once per frame.
//
// Bench_OnMapLoaded starts the warm-up; Bench_OnDraw2D, sitting in a Draw2D
// hook slot, waits for chunk building to settle, then times every frame of
// every pass, moves the camera along the path, captures screenshots, prints
// each pass's report and finally asks the game to close. Each hook call
// reads the clock once and uses that reading throughout, so a frame's time
// is exactly the distance between two readings.
#include "path/path.h"
#include "plugin/bench.h"
#include "plugin/host.h"
#include "run/run.h"

// Chunks the game built since the last look, added to *sum. The game's
// counter may start again lower (a new map): then all of it is new. Worked
// in 64 bits so no counter value can overflow the difference.
static int64_t Bench_CountChunks(int64_t *sum) {
    int32_t cur = Game.chunkUpdates;
    int64_t built = cur >= bench.prevChunkCount ? (int64_t)cur - (int64_t)bench.prevChunkCount : (int64_t)cur;
    bench.prevChunkCount = cur;
    *sum += built;
    return built;
}

void Bench_OnMapLoaded(void) {
    // A recording samples from the first map on.
    if (bench.state == RunState_RecordWaiting) bench.state = RunState_Recording;
    // Only the first map after start-up starts a warm-up; later loads leave
    // a running benchmark alone.
    if (bench.state != RunState_Armed) return;
    double now = Bench_Now();
    bench.prevChunkCount = Game.chunkUpdates;
    bench.state = RunState_WarmingUp;
    bench.runChunks = 0;
    bench.warmupChunks = 0;
    bench.curFrame = 0;
    bench.warmupStart = bench.lastBuildTime = now;
    BenchCamera_Ensure();
    Bench_Log("flyrate: map loaded, warming up");
}

static void Bench_WarmUp(double now) {
    if (bench.gpuState == GpuState_Asked) Gpu_Setup();
    int64_t built = Bench_CountChunks(&bench.warmupChunks);
    BenchCamera_Ensure();
    if (built != 0) bench.lastBuildTime = now;
    double elapsed = now - bench.warmupStart;
    double quiet = now - bench.lastBuildTime;
    bool settled = elapsed >= bench.warmupMin && quiet >= bench.warmupQuiet;
    if (elapsed >= bench.warmupMax) {
        Bench_Log("flyrate: warning: still building chunks after %.0f s", bench.warmupMax);
    } else if (!settled) {
        return;
    }
    Bench_Log("flyrate: start after %.2f s warm-up", elapsed);
    bench.lastFrameTime = now;
    bench.state = RunState_Running;
    if (bench.shotsDir) {
        Capture_Frame(0);
        bench.lastFrameTime = Bench_Now();  // the capture is not timed
    }
    Gpu_StartPass();
    bench.curFrame = 1;
    bench.nextShot = 1;
}

// The call that ends the frame showing curFrame. Everything after the
// clock reading counts in the next frame's time, so it stays small and the
// same every frame: the next keyframe to capture is known, not searched for.
static void Bench_RunFrame(double now) {
    bench.frameTimes[bench.curFrame - 1] = (now - bench.lastFrameTime) * 1000;
    bench.lastFrameTime = now;
    Gpu_Mark(bench.curFrame);
    int64_t built = Bench_CountChunks(&bench.runChunks);
    if (bench.frameChunks) bench.frameChunks[bench.curFrame - 1] = built;
    if (bench.shotsDir && bench.keyframes[bench.nextShot].frame == bench.curFrame) {
        bench.nextShot++;
        Capture_Frame(bench.curFrame);
        Gpu_Mark(0);  // the GPU waited for the capture too: the next frame is measured from here
        bench.lastFrameTime = Bench_Now();
    }
    if (bench.curFrame != bench.totalFrames) {
        bench.curFrame++;
        BenchCamera_Ensure();
        return;
    }

    Gpu_Drain();
    Report_Pass();
    Report_WriteCsv();
    if (bench.pass >= bench.passes) {
        Gpu_Release();
        // The game may shut down inside this call and run the free slot,
        // releasing the tables: nothing here may touch them afterwards.
        bench.state = RunState_Finished;
        Host_RequestClose();
        return;
    }
    bench.pass++;
    bench.runChunks = 0;
    bench.cameraSwitches = 0;
    bench.curFrame = 1;
    bench.nextShot = 1;
    BenchCamera_Ensure();  // a swap found here counts in the new pass
    Gpu_StartPass();
    bench.lastFrameTime = Bench_Now();  // the report is not timed
}

void Bench_OnDraw2D(double delta) {
    (void)delta;
    double now = Bench_Now();
    if (bench.state == RunState_WarmingUp) {
        Bench_WarmUp(now);
    } else if (bench.state == RunState_Running) {
        Bench_RunFrame(now);
    } else if (bench.state == RunState_Recording) {
        Record_Frame(now);
    }
}
