// script_bench.cpp: loading a long keyframe script.
//
// Keyframes_Load reads each line with the C library's scanf family, whose
// acceptance rules define the script format, so its floor is not the raw
// read: it is reported as a ratio to reading the same file line by line
// with fgets into the same 512-byte buffer and parsing nothing. A third
// measurement reads and converts every line with the same sscanf formats
// and keeps nothing, to show how much of the load the conversions are.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench/suite.h"
#include "path/path.h"
#include "plugin/bench.h"

constexpr int32_t kScriptLines = 100000;

// The script, written once into the scratch directory: a comment, a warm-up
// line and keyframes with the number formats people write by hand.
static const std::string &ScriptBench_Path(void) {
    static std::string path;
    if (!path.empty()) return path;
    const std::string &dir = Suite_ScratchDir();
    if (dir.empty()) return path;
    std::string name = dir + "/flight-100k.txt";
    FILE *f = fopen(name.c_str(), "w");
    if (!f) return path;
    std::vector<Keyframe> keys = Suite_MakePath(kScriptLines - 2);
    fprintf(f, "# recorded flight, one keyframe every few frames\n");
    fprintf(f, "warmup 2 1 30\n");
    for (const Keyframe &k : keys)
        fprintf(f, "%d %.3f %.3f %.3f %.2f %.2f\n", k.frame, k.x, k.y, k.z, k.orientX, k.orientY);
    if (fclose(f) == 0) path = name;
    return path;
}

static void ScriptBench_ReadLines(benchmark::State &state) {
    const std::string &path = ScriptBench_Path();
    if (path.empty()) {
        state.SkipWithError("can't write the script");
        return;
    }
    long lines = 0;
    for (auto _ : state) {
        FILE *f = fopen(path.c_str(), "r");
        if (!f) {
            state.SkipWithError("can't read the script");
            break;
        }
        char line[512];
        lines = 0;
        while (fgets(line, sizeof line, f)) lines++;
        fclose(f);
        benchmark::DoNotOptimize(lines);
    }
    state.counters["lines"] = (double)lines;
}

static void ScriptBench_ScanLines(benchmark::State &state) {
    const std::string &path = ScriptBench_Path();
    if (path.empty()) {
        state.SkipWithError("can't write the script");
        return;
    }
    for (auto _ : state) {
        FILE *f = fopen(path.c_str(), "r");
        if (!f) {
            state.SkipWithError("can't read the script");
            break;
        }
        char line[512];
        long converted = 0;
        while (fgets(line, sizeof line, f)) {
            const char *p = line;
            while (*p == ' ' || *p == '\t') p++;
            if (*p == '#' || *p == '\n') continue;
            long frame;
            float v[5];
            double w[3];
            if (strncmp(p, "warmup", 6) == 0) converted += sscanf(p + 6, "%lf %lf %lf", &w[0], &w[1], &w[2]);
            else converted += sscanf(p, "%ld %f %f %f %f %f", &frame, &v[0], &v[1], &v[2], &v[3], &v[4]);
            benchmark::DoNotOptimize(v);
        }
        fclose(f);
        benchmark::DoNotOptimize(converted);
    }
    state.counters["lines"] = (double)kScriptLines;
}

static void ScriptBench_KeyframesLoad(benchmark::State &state) {
    const std::string &path = ScriptBench_Path();
    if (path.empty()) {
        state.SkipWithError("can't write the script");
        return;
    }
    FakeGame_Reset();
    for (auto _ : state) {
        if (!Keyframes_Load(path.c_str())) {
            state.SkipWithError("Keyframes_Load failed");
            break;
        }
        // Each load starts from an empty table, as at start-up.
        state.PauseTiming();
        if (bench.keyframeCount != kScriptLines - 2) state.SkipWithError("Keyframes_Load lost keyframes");
        free(bench.keyframes);
        bench.keyframes = nullptr;
        bench.keyframeCount = 0;
        bench.totalFrames = 0;
        state.ResumeTiming();
    }
    state.counters["lines"] = (double)kScriptLines;
    FakeGame_Reset();
}

void ScriptBench_Register(void) {
    benchmark::RegisterBenchmark("Script/fgets_lines", ScriptBench_ReadLines)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Script/fgets_sscanf", ScriptBench_ScanLines)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Script/Keyframes_Load", ScriptBench_KeyframesLoad)->Unit(benchmark::kMillisecond);
}
