// The per-frame CSV log: rows equal the timed frames, passes append, a file
// that can't be written warns once per pass, and without FLYRATE_CSV nothing
// changes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "path/path.h"
#include "plugin/bench.h"
#include "run/run.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"
#include "tests/support/testclock.h"

namespace {

// Two keyframes, frames 0 and 4: four timed frames per pass. Frame k of
// pass p takes (p * 10 + k) ms on the controlled clock.
std::string RunPasses(int passes, const char *csvPath) {
    FakeHost_Reset();
    bench = BenchState{};
    bench.keyframes = (Keyframe *)calloc(2, sizeof(Keyframe));
    bench.keyframes[1].frame = 4;
    bench.keyframes[1].x = 8;
    bench.keyframeCount = 2;
    bench.totalFrames = 4;
    bench.frameTimes = (double *)calloc(4, sizeof(double));
    bench.passes = passes;
    bench.csvPath = csvPath;
    bench.warmupMin = bench.warmupQuiet = 0;
    bench.state = RunState_Armed;
    bench.hookIndex = 0;
    Game.Draw2DHooks[0] = Bench_OnDraw2D;

    StdoutCapture_Begin();
    TestClock_Set(100);
    Bench_OnMapLoaded();
    Bench_OnDraw2D(0);  // settled at once: the run starts
    for (int p = 1; p <= passes; p++) {
        for (int k = 1; k <= 4; k++) {
            TestClock_Advance((p * 10 + k) / 1000.0);
            Bench_OnDraw2D(0);
        }
    }
    TestClock_Release();
    Bench_Free();
    return StdoutCapture_End();
}


}  // namespace

TEST(CsvLog, RowsHoldEveryFrameOfEveryPass) {
    for (int passes : {1, 3}) {
        std::string dir = TestDir_Make();
        std::string path = dir + "/frames.csv";
        std::string out = RunPasses(passes, path.c_str());
        std::string csv = TestFile_Read(path);
        std::vector<std::string> rows = TestText_Lines(csv);
        ASSERT_EQ(rows.size(), 1u + 4u * passes) << csv;
        EXPECT_EQ(rows[0], "pass,frame,frame_ms");
        for (int p = 1; p <= passes; p++) {
            for (int k = 1; k <= 4; k++) {
                const std::string &row = rows[(size_t)(p - 1) * 4 + (size_t)k];
                int gotPass = 0, gotFrame = 0;
                double ms = 0;
                ASSERT_EQ(sscanf(row.c_str(), "%d,%d,%lf", &gotPass, &gotFrame, &ms), 3) << row;
                EXPECT_EQ(gotPass, p);
                EXPECT_EQ(gotFrame, k);
                EXPECT_NEAR(ms, p * 10 + k, 1e-6) << row;
                EXPECT_EQ(row.substr(row.find('.')).size(), 7u) << "six decimals: " << row;
            }
        }
        EXPECT_EQ(out.find("warning"), std::string::npos) << out;
        remove(path.c_str());
        rmdir(dir.c_str());
    }
}

TEST(CsvLog, FirstPassTruncatesAnOldFile) {
    std::string path = TestFile_Write("old contents that must go\n");
    RunPasses(1, path.c_str());
    std::string csv = TestFile_Read(path);
    EXPECT_EQ(csv.rfind("pass,frame,frame_ms\n1,1,", 0), 0u) << csv;
    EXPECT_EQ(TestText_Lines(csv).size(), 5u);
    remove(path.c_str());
}

TEST(CsvLog, UnwritableFileWarnsOncePerPassAndTheRunGoesOn) {
    std::string path = "/nonexistent-flyrate-dir/frames.csv";
    std::string out = RunPasses(2, path.c_str());
    std::string warning = "flyrate: warning: can't write " + path + "\n";
    size_t first = out.find(warning);
    ASSERT_NE(first, std::string::npos) << out;
    size_t second = out.find(warning, first + 1);
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_EQ(out.find(warning, second + 1), std::string::npos) << out;
    // Both passes still reported, and the game was asked to close.
    EXPECT_NE(out.find("flyrate: pass 2 of 2"), std::string::npos);
    EXPECT_EQ(fakeHost.closeRequests, 1);
}

TEST(CsvLog, WithoutTheVariableOutputIsUnchanged) {
    std::string dir = TestDir_Make();
    std::string path = dir + "/frames.csv";
    std::string with = RunPasses(2, path.c_str());
    std::string without = RunPasses(2, nullptr);
    EXPECT_EQ(with, without);
    remove(path.c_str());
    rmdir(dir.c_str());
}

TEST(CsvLog, APassCutShortWritesNothing) {
    std::string dir = TestDir_Make();
    std::string path = dir + "/frames.csv";
    FakeHost_Reset();
    bench = BenchState{};
    bench.keyframes = (Keyframe *)calloc(2, sizeof(Keyframe));
    bench.keyframes[1].frame = 4;
    bench.keyframeCount = 2;
    bench.totalFrames = 4;
    bench.frameTimes = (double *)calloc(4, sizeof(double));
    bench.csvPath = path.c_str();
    bench.warmupMin = bench.warmupQuiet = 0;
    bench.state = RunState_Armed;
    StdoutCapture_Begin();
    TestClock_Set(5);
    Bench_OnMapLoaded();
    Bench_OnDraw2D(0);
    TestClock_Advance(0.016);
    Bench_OnDraw2D(0);
    TestClock_Release();
    Bench_Free();
    StdoutCapture_End();
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
    rmdir(dir.c_str());
}

TEST(CsvLog, VariableIsReadAtStartUpAndEmptyMeansUnset) {
    std::string script = TestFile_Write("0 0 0 0 0 0\n4 1 1 1 0 0\n");
    setenv("FLYRATE", script.c_str(), 1);
    struct {
        const char *value;
        bool set;
    } cases[] = {{nullptr, false}, {"", false}, {"/tmp/x.csv", true}};
    for (auto &c : cases) {
        FakeHost_Reset();
        bench = BenchState{};
        if (c.value) {
            setenv("FLYRATE_CSV", c.value, 1);
        } else {
            unsetenv("FLYRATE_CSV");
        }
        StdoutCapture_Begin();
        Bench_Init();
        Bench_Free();
        StdoutCapture_End();
        EXPECT_EQ(bench.csvPath != nullptr, c.set) << (c.value ? c.value : "(unset)");
        if (c.set) {
            EXPECT_STREQ(bench.csvPath, c.value);
        }
    }
    unsetenv("FLYRATE_CSV");
    unsetenv("FLYRATE");
    remove(script.c_str());
}
