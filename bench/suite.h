// suite.h: what the benchmark files share: registration, the fake game,
// deterministic test data, stdout silencing and a scratch directory.
//
// Every plug-in benchmark drives the real plug-in objects over the one
// `bench` record, so each sets up the state it needs and leaves it clean
// for the next with FakeGame_Reset.
#pragma once

#include <benchmark/benchmark.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "plugin/bench.h"
#include "tests/support/fakegame.h"

// One registration function per benchmark file; main calls them in the
// order the results should appear.
void HookBench_Register(void);
void CameraBench_Register(void);
void ScriptBench_Register(void);
void ReportBench_Register(void);
void CaptureBench_Register(void);

// A small deterministic generator, so every run measures the same data.
struct SuiteRandom {
    uint64_t state;
    explicit SuiteRandom(uint64_t seed) : state(seed * 2862933555777941757ull + 3037000493ull) {}
    uint32_t Next(void) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (uint32_t)(state >> 33);
    }
    // Uniform in [0, n).
    uint32_t Below(uint32_t n) { return (uint32_t)(((uint64_t)Next() * n) >> 31); }
    // Uniform in [lo, hi).
    double Uniform(double lo, double hi) { return lo + (hi - lo) * (Next() / 2147483648.0); }
};

// A camera path of `count` keyframes with irregular gaps of 1 to 4 frames,
// as a recorded flight would give; frames start at 0 and strictly ascend.
std::vector<Keyframe> Suite_MakePath(int32_t count);

// `count` frame times in milliseconds around 60 fps, with jitter and an
// occasional long frame, as a real pass produces.
std::vector<double> Suite_MakeFrameTimes(int32_t count);

// Points descriptor 1 at /dev/null while alive, so the plug-in's log lines
// cost what writing them costs without flooding the benchmark's output.
struct StdoutSilencer {
    int saved;
    StdoutSilencer();
    ~StdoutSilencer();
};

// A scratch directory for the suite's files, created on first use (on
// tmpfs where /dev/shm is available) and removed with its contents by
// Suite_Cleanup.
const std::string &Suite_ScratchDir(void);

// One headless OpenGL context for the whole run (llvmpipe where there is no
// GPU) with a cleared framebuffer of this size, made current on the
// benchmark thread at first use; null, and the benchmark skipped, without.
constexpr int kSuiteWidth = 1920;
constexpr int kSuiteHeight = 1080;
struct GlContext;
GlContext *Suite_GlContext(benchmark::State &state);
void Suite_Cleanup(void);
