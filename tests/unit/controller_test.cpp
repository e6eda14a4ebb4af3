// The run controller: warm-up decision, timed frames, passes, screenshots,
// camera switches and the finish, all on the controlled clock.
#include <dirent.h>
#include <string.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "glctx/glctx.h"
#include "path/path.h"
#include "plugin/bench.h"
#include "run/run.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"
#include "tests/support/testclock.h"
#include "tests/support/testbench.h"

namespace {

class RunController : public ::testing::Test {
protected:
    void SetUp() override {
        bench = BenchState{};
        FakeHost_Reset();
        TestClock_Set(100.0);
        StdoutCapture_Begin();
    }
    void TearDown() override {
        StdoutCapture_End();
        TestBench_Reset();
        TestClock_Release();
    }

    // What Bench_Init leaves behind for a script with keyframes at these
    // frames: tables owned by bench, the hook in slot 0, Armed.
    void Arm(const std::vector<int32_t> &frames, int32_t passes = 1) {
        bench.keyframes = (Keyframe *)calloc(frames.size(), sizeof(Keyframe));
        for (size_t i = 0; i < frames.size(); i++) {
            bench.keyframes[i].frame = frames[i];
            bench.keyframes[i].x = (float)frames[i];
        }
        bench.keyframeCount = (int32_t)frames.size();
        bench.totalFrames = frames.back();
        bench.frameTimes = (double *)calloc((size_t)bench.totalFrames, sizeof(double));
        bench.passes = passes;
        bench.hookIndex = 0;
        Game.Draw2DHooks[0] = Bench_OnDraw2D;
        bench.state = RunState_Armed;
    }

    // One rendered frame that took dt seconds, ending in the hook call.
    void Frame(double dt) {
        TestClock_Advance(dt);
        Bench_OnDraw2D(0.0);
    }

    // Map loaded and a quiet warm-up of exactly warmupMin: Running at frame 1.
    void StartRun() {
        Bench_OnMapLoaded();
        Frame(bench.warmupMin);
        ASSERT_EQ(bench.state, RunState_Running);
    }

    // Everything logged since the last call.
    std::vector<std::string> Output() {
        std::string out = StdoutCapture_End();
        StdoutCapture_Begin();
        return TestText_Lines(out);
    }
};

}  // namespace

TEST_F(RunController, MapLoadedStartsTheWarmUpOnlyWhenArmed) {
    Arm({0, 10});
    Game.chunkUpdates = 77;
    bench.runChunks = bench.warmupChunks = 5;
    Bench_OnMapLoaded();
    EXPECT_EQ(Output(), std::vector<std::string>{"flyrate: map loaded, warming up"});
    EXPECT_EQ(bench.state, RunState_WarmingUp);
    EXPECT_EQ(bench.prevChunkCount, 77);
    EXPECT_EQ(bench.warmupChunks, 0);
    EXPECT_EQ(bench.runChunks, 0);
    EXPECT_EQ(bench.curFrame, 0);
    EXPECT_EQ(bench.warmupStart, 100.0);
    EXPECT_EQ(bench.lastBuildTime, 100.0);
    EXPECT_EQ(Camera.active, &bench.cameraCopy);
    EXPECT_EQ(bench.savedCamera, &fakeHost.hostCamera);

    // A later map load, while warming up, changes nothing.
    TestClock_Advance(1.0);
    Game.chunkUpdates = 0;
    Bench_OnMapLoaded();
    EXPECT_TRUE(Output().empty());
    EXPECT_EQ(bench.warmupStart, 100.0);
    EXPECT_EQ(bench.prevChunkCount, 77);

    // Nor does one in any other state.
    for (RunState s : {RunState_Idle, RunState_Running, RunState_Finished}) {
        bench.state = s;
        Bench_OnMapLoaded();
        EXPECT_EQ(bench.state, s);
    }
    EXPECT_TRUE(Output().empty());
}

TEST_F(RunController, WarmUpStartsWhenSettledOrAtTheLimit) {
    struct Case {
        const char *what;
        double warmupMin, warmupQuiet, warmupMax;
        double buildsUntil;  // the map builds chunks until this many seconds in
        double startsAt;     // first frame (every 0.25 s) at which the run starts
        bool warning;
    } cases[] = {
        {"quiet map: starts at warmupMin", 2.0, 1.0, 30.0, 0.5, 2.0, false},
        {"builds until 1.5 s: waits 1 s of quiet", 2.0, 1.0, 30.0, 1.5, 2.5, false},
        {"busy map: starts at warmupMax", 2.0, 1.0, 30.0, 1000.0, 30.0, true},
        {"settled exactly at the limit still warns", 2.0, 1.0, 2.0, 0.5, 2.0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestBench_Reset();
        FakeHost_Reset();
        TestClock_Set(100.0);
        Arm({0, 10});
        bench.warmupMin = c.warmupMin;
        bench.warmupQuiet = c.warmupQuiet;
        bench.warmupMax = c.warmupMax;
        Bench_OnMapLoaded();
        Output();
        double t = 0;
        while (bench.state == RunState_WarmingUp && t < 100) {
            t += 0.25;
            if (t <= c.buildsUntil) Game.chunkUpdates += 3;
            Frame(0.25);
        }
        EXPECT_EQ(t, c.startsAt);
        EXPECT_EQ(bench.state, RunState_Running);
        EXPECT_EQ(bench.curFrame, 1);
        EXPECT_EQ(bench.lastFrameTime, 100.0 + c.startsAt);
        char start[64];
        snprintf(start, sizeof start, "flyrate: start after %.2f s warm-up", c.startsAt);
        std::vector<std::string> expected;
        if (c.warning) expected.push_back("flyrate: warning: still building chunks after " +
                                          std::to_string((int)c.warmupMax) + " s");
        expected.push_back(start);
        EXPECT_EQ(Output(), expected);
        double builds = c.buildsUntil < c.startsAt ? c.buildsUntil : c.startsAt;
        EXPECT_EQ(bench.warmupChunks, (int64_t)(builds / 0.25) * 3);
    }
}

TEST_F(RunController, ChunkCounterThatStartsAgainCountsWhole) {
    Arm({0, 10});
    Game.chunkUpdates = 500;
    Bench_OnMapLoaded();
    Game.chunkUpdates = 520;
    Frame(0.25);  // 20 more
    Game.chunkUpdates = 7;
    Frame(0.25);  // counter restarted: all 7 are new
    EXPECT_EQ(bench.warmupChunks, 27);
    EXPECT_EQ(bench.lastBuildTime, 100.5);
    Game.chunkUpdates = 0;
    Frame(0.25);  // restarted at 0: nothing new, not a build
    EXPECT_EQ(bench.warmupChunks, 27);
    EXPECT_EQ(bench.lastBuildTime, 100.5);

    // Differences that do not fit 32 bits are still counted exactly.
    Game.chunkUpdates = -2000000000;
    Frame(0.25);
    Game.chunkUpdates = 2000000000;
    Frame(0.25);
    EXPECT_EQ(bench.warmupChunks, 27 - 2000000000LL + 4000000000LL);
}

TEST_F(RunController, FrameTimesAreTheClockDifferencesReadOncePerCall) {
    Arm({0, 3, 5});
    StartRun();
    EXPECT_EQ(bench.lastFrameTime, 102.0);
    double t = 102.0;
    for (double dt : {0.25, 0.015625, 1.5, 0.0, 0.125}) {
        t += dt;
        TestClock_Set(t);
        Bench_OnDraw2D(0.0);
        EXPECT_EQ(TestClock_Reads(), 1) << "one clock reading per frame";
    }
    EXPECT_EQ(bench.state, RunState_Finished);
    EXPECT_EQ(std::vector<double>(bench.frameTimes, bench.frameTimes + 5),
              (std::vector<double>{250.0, 15.625, 1500.0, 0.0, 125.0}));
}

TEST_F(RunController, RunCountsChunksAndSurvivesASecondMapLoad) {
    Arm({0, 4});
    Game.chunkUpdates = 40;
    Bench_OnMapLoaded();
    Game.chunkUpdates = 50;
    Frame(0.25);
    Frame(2.0);
    ASSERT_EQ(bench.state, RunState_Running);
    EXPECT_EQ(bench.warmupChunks, 10);
    Game.chunkUpdates = 53;
    Frame(0.25);
    // The game loads another map: its counter starts again from 0.
    Bench_OnMapLoaded();
    Game.chunkUpdates = 0;
    Frame(0.25);
    Game.chunkUpdates = 6;
    Frame(0.25);
    EXPECT_EQ(bench.state, RunState_Running);
    EXPECT_EQ(bench.curFrame, 4);
    EXPECT_EQ(bench.runChunks, 9);
    EXPECT_EQ(bench.warmupChunks, 10);
    std::vector<std::string> out = Output();
    EXPECT_EQ(out.size(), 2u);  // map loaded, start; nothing from the second load
}

TEST_F(RunController, CameraSwitchesCountOnlyWhileRunning) {
    Arm({0, 4});
    Bench_OnMapLoaded();
    // The game switches camera during the warm-up: put back, not counted.
    Camera.active = &fakeHost.otherCamera;
    Frame(0.25);
    EXPECT_EQ(Camera.active, &bench.cameraCopy);
    EXPECT_EQ(bench.cameraSwitches, 0);
    Frame(2.0);
    ASSERT_EQ(bench.state, RunState_Running);

    // And during the run: put back at the next frame and counted.
    Camera.active = &fakeHost.otherCamera;
    Frame(0.25);
    EXPECT_EQ(Camera.active, &bench.cameraCopy);
    EXPECT_EQ(bench.cameraSwitches, 1);
    EXPECT_EQ(bench.savedCamera, &fakeHost.hostCamera) << "the camera switched to is never saved";
    Frame(0.25);
    Frame(0.25);
    Output();
    Frame(0.25);
    std::vector<std::string> out = Output();
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[2], "flyrate: warning: the game switched the camera 1 times during the run");
}

TEST_F(RunController, SwitchFoundAtThePassChangeCountsInTheNextPass) {
    Arm({0, 2}, 2);
    StartRun();
    Frame(0.25);
    Camera.active = &fakeHost.otherCamera;  // seen only by the pass change
    Output();
    Frame(0.25);
    std::vector<std::string> pass1 = Output();
    ASSERT_EQ(pass1.size(), 4u);
    EXPECT_EQ(pass1[1], "flyrate: pass 1 of 2");
    EXPECT_EQ(bench.cameraSwitches, 1);
    Frame(0.25);
    Frame(0.25);
    std::vector<std::string> pass2 = Output();
    ASSERT_EQ(pass2.size(), 5u);
    EXPECT_EQ(pass2[1], "flyrate: pass 2 of 2");
    EXPECT_EQ(pass2[3], "flyrate: warning: the game switched the camera 1 times during the run");
}

TEST_F(RunController, ThreePassesThenTheGameIsAskedToClose) {
    const std::vector<std::string> expected[] = {
        {"flyrate: per-second fps:", "flyrate: pass 1 of 3", "flyrate: chunks built: 0 in the warm-up, 4 during the run",
         "flyrate: 4 frames 0.50 seconds 8.00 fps, frame ms min/avg/p99/max 125.0/125.0/125.0/125.0"},
        {"flyrate: per-second fps: 4", "flyrate: pass 2 of 3", "flyrate: chunks built: 0 in the warm-up, 8 during the run",
         "flyrate: 4 frames 1.00 seconds 4.00 fps, frame ms min/avg/p99/max 250.0/250.0/250.0/250.0"},
        {"flyrate: per-second fps: 3", "flyrate: pass 3 of 3", "flyrate: chunks built: 0 in the warm-up, 12 during the run",
         "flyrate: 4 frames 1.50 seconds 2.67 fps, frame ms min/avg/p99/max 375.0/375.0/375.0/375.0"},
    };
    Arm({0, 2, 4}, 3);
    Game.chunkUpdates = 10;
    StartRun();
    Output();
    for (int pass = 1; pass <= 3; pass++) {
        SCOPED_TRACE(pass);
        EXPECT_EQ(bench.pass, pass);
        EXPECT_EQ(bench.curFrame, 1);
        EXPECT_EQ(bench.runChunks, 0);
        for (int frame = 1; frame <= 4; frame++) {
            Game.chunkUpdates += pass;
            EXPECT_EQ(fakeHost.closeRequests, 0);
            // The report and the pass change take 0.5 s of clock, which the
            // next pass's first frame does not count.
            if (frame == 4) TestClock_AdvanceAfterNextRead(0.5);
            Frame(0.125 * pass);
        }
        double ms = 125.0 * pass;
        EXPECT_EQ(Output(), expected[pass - 1]);
        EXPECT_EQ(std::vector<double>(bench.frameTimes, bench.frameTimes + 4), std::vector<double>(4, ms));
    }
    EXPECT_EQ(bench.state, RunState_Finished);
    EXPECT_EQ(fakeHost.closeRequests, 1);
    EXPECT_EQ(fakeHost.lastEvent, &WindowEvents.Closing);
    EXPECT_EQ(WindowInfo.exists, 0);

    // The hook stays until the free slot; it does nothing more.
    std::vector<double> kept(bench.frameTimes, bench.frameTimes + 4);
    Frame(0.25);
    EXPECT_TRUE(Output().empty());
    EXPECT_EQ(std::vector<double>(bench.frameTimes, bench.frameTimes + 4), kept);
    EXPECT_EQ(fakeHost.closeRequests, 1);
}

TEST_F(RunController, ScriptEndingAtFrameOneTimesOneFramePerPass) {
    Arm({0, 1}, 2);
    StartRun();
    Output();
    Frame(0.5);
    EXPECT_EQ(bench.pass, 2);
    EXPECT_EQ(bench.curFrame, 1);
    Frame(0.25);
    EXPECT_EQ(bench.state, RunState_Finished);
    std::vector<std::string> out = Output();
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(out[3], "flyrate: 1 frames 0.50 seconds 2.00 fps, frame ms min/avg/p99/max 500.0/500.0/500.0/500.0");
    EXPECT_EQ(out[7], "flyrate: 1 frames 0.25 seconds 4.00 fps, frame ms min/avg/p99/max 250.0/250.0/250.0/250.0");
}

TEST_F(RunController, FinishSurvivesAGameThatFreesInsideTheCloseRequest) {
    for (bool freesAtOnce : {true, false}) {
        SCOPED_TRACE(freesAtOnce ? "frees inside Event_RaiseVoid" : "frees later");
        TestBench_Reset();
        FakeHost_Reset();
        fakeHost.onClose = freesAtOnce ? Bench_Free : nullptr;
        Arm({0, 3});
        StartRun();
        Frame(0.25);
        Frame(0.25);
        Output();
        Frame(0.25);
        EXPECT_EQ(Output().size(), 3u) << "report only; no closed-before-the-end line";
        EXPECT_EQ(fakeHost.closeRequests, 1);
        if (!freesAtOnce) {
            EXPECT_EQ(bench.state, RunState_Finished);
            Frame(0.25);
            Bench_Free();
            EXPECT_TRUE(Output().empty());
        }
        EXPECT_EQ(bench.state, RunState_Idle);
        EXPECT_EQ(bench.keyframes, nullptr);
        EXPECT_EQ(bench.frameTimes, nullptr);
        EXPECT_EQ(Game.Draw2DHooks[0], nullptr);
        EXPECT_EQ(Camera.active, &fakeHost.hostCamera);
        // A stray hook call after the free slot touches nothing.
        Frame(0.25);
        EXPECT_EQ(fakeHost.closeRequests, 1);
    }
}

TEST_F(RunController, ScreenshotsAtTheStartAndAtKeyframesAreNotTimed) {
    char err[256] = "";
    GlContext *ctx = GlContext_Create(4, 3, err, sizeof err);
    ASSERT_NE(ctx, nullptr) << err;
    Game.width = 4;
    Game.height = 3;
    std::string dir = TestDir_Make();
    bench.shotsDir = dir.c_str();
    Arm({0, 2, 4}, 2);
    Bench_OnMapLoaded();

    // Each capture takes 0.5 s of clock: the start's and the keyframes'.
    // Frame times run from the end of the capture.
    TestClock_Advance(2.0);
    TestClock_AdvanceAfterNextRead(0.5);
    Bench_OnDraw2D(0.0);
    ASSERT_EQ(bench.state, RunState_Running);
    EXPECT_EQ(bench.lastFrameTime, 102.5);
    for (int pass = 1; pass <= 2; pass++) {
        for (int frame = 1; frame <= 4; frame++) {
            TestClock_Advance(0.25);
            TestClock_AdvanceAfterNextRead(0.5);
            Bench_OnDraw2D(0.0);
        }
        SCOPED_TRACE(pass);
        // Frames after a capture (1 after the start's or the last
        // keyframe's, 3 after frame 2's) take 0.25 s, not 0.75 s; frames 2
        // and 4 follow hook calls without a capture, which the 0.5 s
        // after their reading does count against.
        EXPECT_EQ(std::vector<double>(bench.frameTimes, bench.frameTimes + 4),
                  (std::vector<double>{250.0, 750.0, 250.0, 750.0}));
    }
    EXPECT_EQ(TestDir_List(dir), (std::vector<std::string>{"frame-00000.ppm", "frame-00002.ppm", "frame-00004.ppm"}));
    for (const std::string &name : TestDir_List(dir)) remove((dir + "/" + name).c_str());
    rmdir(dir.c_str());
    GlContext_Destroy(ctx);
}

TEST_F(RunController, FreeSlotInEveryStateGivesBackHookCameraAndTables) {
    struct Case {
        const char *what;
        int framesRun;  // -1 Armed, 0 warming up, n frames into the run
        int passes;
        const char *line;
    } cases[] = {
        {"armed", -1, 1, nullptr},
        {"warming up", 0, 1, "flyrate: the game closed before the end (frame 0 of 6, pass 1 of 1)"},
        {"running", 3, 1, "flyrate: the game closed before the end (frame 4 of 6, pass 1 of 1)"},
        {"second pass", 8, 2, "flyrate: the game closed before the end (frame 3 of 6, pass 2 of 2)"},
        {"finished", 6, 1, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestBench_Reset();
        FakeHost_Reset();
        Arm({0, 6}, c.passes);
        if (c.framesRun >= 0) Bench_OnMapLoaded();
        if (c.framesRun > 0) StartRun();
        for (int i = 0; i < c.framesRun; i++) Frame(0.25);
        Output();
        Bench_Free();
        std::vector<std::string> expected;
        if (c.line) expected.push_back(c.line);
        EXPECT_EQ(Output(), expected);
        EXPECT_EQ(bench.state, RunState_Idle);
        EXPECT_EQ(bench.keyframes, nullptr);
        EXPECT_EQ(bench.frameTimes, nullptr);
        EXPECT_EQ(Game.Draw2DHooks[0], nullptr);
        EXPECT_EQ(Camera.active, &fakeHost.hostCamera);
    }
}
