// lifecycle.cpp: what the game sees of flyrate, and start-up and shutdown.
//
// The game reads Plugin_ApiVersion, then calls the component's slots: Init
// once after loading, OnNewMapLoaded after every map load, Free once at
// shutdown. Init configures everything from the environment: a benchmark
// (FLYRATE) or, without one, a recording (FLYRATE_RECORD). Free writes a
// recording, gives back the hook slot and the camera and releases the
// tables, whatever state the run was in.
#include <stdlib.h>
#include <string.h>

#include "path/path.h"
#include "plugin/bench.h"
#include "plugin/host.h"
#include "run/run.h"

#define FLYRATE_EXPORT __attribute__((visibility("default")))

extern "C" {
FLYRATE_EXPORT int32_t Plugin_ApiVersion = 1;

FLYRATE_EXPORT HostComponent Plugin_Component = {
    Bench_Init,         // initialise
    Bench_Free,         // free
    nullptr,            // reset
    nullptr,            // new map
    Bench_OnMapLoaded,  // map loaded
    nullptr,            // next
};
}

// Reads an environment variable, treating empty as unset.
static const char *Bench_Env(const char *name) {
    const char *value = getenv(name);
    return (value && value[0]) ? value : nullptr;
}

// The leading decimal number, taken as an int32 (its low 32 bits, as a C
// int conversion does); anything that is not more than 1 means one pass.
static int32_t Bench_ParsePasses(const char *text) {
    if (!text) return 1;
    int32_t n = (int32_t)(uint32_t)(unsigned long)strtol(text, nullptr, 10);
    return n > 1 ? n : 1;
}

void Bench_Init(void) {
    // Called once by the game; a second call while a run is configured
    // would leak the tables and claim a second slot.
    if (bench.state != RunState_Idle) return;

    const char *path = Bench_Env("FLYRATE");
    const char *record = Bench_Env("FLYRATE_RECORD");
    if (!path && !record) return;
    if (path && record) Bench_Log("flyrate: warning: FLYRATE runs the benchmark, so recording to %s is off", record);

    bench.hookIndex = -1;
    for (int32_t i = 0; i < 4; i++) {
        if (!Game.Draw2DHooks[i]) {
            bench.hookIndex = i;
            break;
        }
    }
    if (bench.hookIndex < 0) {
        Bench_Log("flyrate: error: no free Draw2D hook");
        bench.state = RunState_Finished;
        return;
    }
    if (!path) {
        // Recording: the game's camera is only looked at, and nothing
        // closes the game. Without a file to write to, nothing is done.
        if (!Record_Start(record)) {
            bench.hookIndex = -1;
            return;
        }
        Game.Draw2DHooks[bench.hookIndex] = Bench_OnDraw2D;
        bench.state = RunState_RecordWaiting;
        Bench_Log("flyrate: recording to %s", record);
        return;
    }

    if (!Keyframes_Load(path)) goto fail;
    bench.frameTimes = (double *)calloc((size_t)bench.totalFrames, sizeof(double));
    if (!bench.frameTimes) goto fail;

    bench.shotsDir = Bench_Env("FLYRATE_SHOTS");
    bench.csvPath = Bench_Env("FLYRATE_CSV");
    if (bench.csvPath) {
        // Without room for them the log still gets its rows, without the column.
        bench.frameChunks = (int64_t *)calloc((size_t)bench.totalFrames, sizeof(int64_t));
        if (!bench.frameChunks) {
            Bench_Log("flyrate: warning: no memory for per-frame chunk counts: %s gets no chunks column", bench.csvPath);
        }
    }
    bench.passes = Bench_ParsePasses(getenv("FLYRATE_PASSES"));
    if (const char *gpu = Bench_Env("FLYRATE_GPU")) {
        // Without room for the tables the run goes on without GPU times.
        if (!strcmp(gpu, "1")) Gpu_Init();
        else if (strcmp(gpu, "0")) Bench_Log("flyrate: warning: FLYRATE_GPU=%s: only 1 turns GPU times on", gpu);
    }

    Game.Draw2DHooks[bench.hookIndex] = Bench_OnDraw2D;
    bench.state = RunState_Armed;
    Bench_Log("flyrate: %s: %d keyframes, %d frames; warm-up %g-%g s, %g s without chunk builds", path,
              bench.keyframeCount, bench.totalFrames, bench.warmupMin, bench.warmupMax, bench.warmupQuiet);
    return;

fail:
    Bench_Log("flyrate: closing the game");
    bench.state = RunState_Finished;
    Host_RequestClose();
}

void Bench_Free(void) {
    if (bench.state == RunState_RecordWaiting || bench.state == RunState_Recording) Record_Finish();
    if (bench.state == RunState_WarmingUp || bench.state == RunState_Running) {
        Bench_Log("flyrate: the game closed before the end (frame %d of %d, pass %d of %d)", bench.curFrame,
                  bench.totalFrames, bench.pass, bench.passes);
    }
    // A slot the game has since given to someone else stays theirs.
    if (bench.hookIndex >= 0 && Game.Draw2DHooks[bench.hookIndex] == Bench_OnDraw2D) {
        Game.Draw2DHooks[bench.hookIndex] = nullptr;
    }
    if (bench.savedCamera && Camera.active == &bench.cameraCopy) Camera.active = bench.savedCamera;

    Bench_ReleaseTables();
    bench.state = RunState_Idle;
}
