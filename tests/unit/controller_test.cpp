// The run controller, driven as the game drives it (start-up, map load, one
// hook call per rendered frame, shutdown) on the controlled clock: warm-up
// decision, timed frames, passes, screenshots, camera switches, the finish,
// and the free slot in every state.
#include <algorithm>

#include "path/path.h"
#include "run/run.h"
#include "tests/support/plugintest.h"

namespace {

// A script with keyframes at these frames, x following the frame number.
std::string Path(const std::vector<int> &frames, const std::string &warmup = "warmup 0 0 100\n") {
    std::string s = warmup;
    for (int f : frames) s += std::to_string(f) + " " + std::to_string(f) + " 80 0 90 -10\n";
    return s;
}

class RunController : public PluginTest {
protected:
    // Started, map loaded and settled at once: Running at frame 1.
    void StartRun(const std::vector<int> &frames) {
        Start(Path(frames));
        Plugin_Component.OnNewMapLoaded();
        FakeGame_Frame(0.25);
        ASSERT_EQ(bench.state, RunState_Running);
        Out();
    }
    std::vector<double> Times() { return std::vector<double>(bench.frameTimes, bench.frameTimes + bench.totalFrames); }
};

TEST_F(RunController, MapLoadStartsTheWarmUpOnlyWhenArmed) {
    Plugin_Component.OnNewMapLoaded();  // no script: Idle stays Idle
    EXPECT_EQ(bench.state, RunState_Idle);
    Start(Path({0, 2}, "warmup 1 1 5\n"));
    Out();
    Game.chunkUpdates = 77;
    Plugin_Component.OnNewMapLoaded();
    EXPECT_EQ(Out(), std::vector<std::string>{"flyrate: map loaded, warming up"});
    EXPECT_EQ(bench.state, RunState_WarmingUp);
    EXPECT_EQ(bench.prevChunkCount, 77);
    EXPECT_EQ(bench.curFrame, 0);
    EXPECT_EQ(bench.warmupStart, 100.0);
    EXPECT_EQ(bench.lastBuildTime, 100.0);
    EXPECT_EQ(Camera.active, &bench.cameraCopy);
    // Later loads, warming up, running or finished, change nothing; the
    // new map's counter starts again from 0 and its builds still count.
    for (RunState expected : {RunState_WarmingUp, RunState_Running, RunState_Finished}) {
        while (bench.state != expected) FakeGame_Frame(0.5);
        double start = bench.warmupStart;
        int32_t frame = bench.curFrame;
        Plugin_Component.OnNewMapLoaded();
        EXPECT_EQ(bench.state, expected);
        EXPECT_EQ(bench.warmupStart, start);
        EXPECT_EQ(bench.curFrame, frame);
        Game.chunkUpdates = expected == RunState_WarmingUp ? 5 : 3;  // lower than the last look
    }
    EXPECT_EQ(bench.warmupChunks, 5);
    EXPECT_EQ(bench.runChunks, 3);
    EXPECT_EQ(OutText().find("map loaded"), std::string::npos);
}

TEST_F(RunController, WarmUpStartsWhenSettledOrAtTheLimit) {
    struct Case {
        const char *warmup;
        double buildsUntil;  // the map builds chunks until this many seconds in
        double startsAt;     // first frame (every 0.25 s) at which the run starts
        bool warning;
    } cases[] = {
        {"warmup 2 1 30\n", 0.5, 2.0, false},   // quiet map: starts at the minimum
        {"warmup 2 1 30\n", 1.5, 2.5, false},   // waits one quiet second
        {"warmup 2 1 30\n", 1000, 30.0, true},  // busy map: starts at the limit
        {"warmup 2 1 2\n", 0.5, 2.0, true},     // settled exactly at the limit still warns
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.warmup) + std::to_string(c.buildsUntil));
        FakeGame_Reset();
        FakeClock_Set(100.0);
        Start(Path({0, 10}, c.warmup));
        Plugin_Component.OnNewMapLoaded();
        Out();
        double t = 0;
        while (bench.state == RunState_WarmingUp && t < 100) {
            t += 0.25;
            if (t <= c.buildsUntil) Game.chunkUpdates += 3;
            FakeGame_Frame(0.25);
        }
        EXPECT_EQ(t, c.startsAt);
        EXPECT_EQ(bench.curFrame, 1);
        EXPECT_EQ(bench.lastFrameTime, 100.0 + c.startsAt);
        char start[64];
        snprintf(start, sizeof start, "flyrate: start after %.2f s warm-up", c.startsAt);
        std::vector<std::string> expected = {start};
        if (c.warning) expected.insert(expected.begin(), "flyrate: warning: still building chunks after " +
                                                             std::to_string((int)bench.warmupMax) + " s");
        EXPECT_EQ(Out(), expected);
        EXPECT_EQ(bench.warmupChunks, (int64_t)(std::min(c.buildsUntil, c.startsAt) / 0.25) * 3);
    }
}

TEST_F(RunController, ChunkCounterThatStartsAgainCountsWhole) {
    Start(Path({0, 10}, "warmup 100 100 200\n"));
    Game.chunkUpdates = 500;
    Plugin_Component.OnNewMapLoaded();
    struct Step {
        int32_t counter;
        int64_t total;       // warmupChunks after the frame
        double lastBuild;    // lastBuildTime after the frame
    } steps[] = {
        {520, 20, 100.25},   // 20 more
        {7, 27, 100.5},      // restarted lower: all 7 are new
        {0, 27, 100.5},      // restarted at 0: nothing new, not a build
        {-2000000000, 27 - 2000000000LL, 101.0},
        {2000000000, 27 + 2000000000LL, 101.25},  // a difference beyond 32 bits
    };
    for (const Step &s : steps) {
        Game.chunkUpdates = s.counter;
        FakeGame_Frame(0.25);
        EXPECT_EQ(bench.warmupChunks, s.total) << s.counter;
        EXPECT_EQ(bench.lastBuildTime, s.lastBuild) << s.counter;
    }
}

TEST_F(RunController, FrameTimesAreClockDifferencesReadOncePerCall) {
    StartRun({0, 3, 5});
    for (double dt : {0.25, 0.015625, 1.5, 0.0, 0.125}) {
        FakeClock_Set(bench.lastFrameTime + dt);
        Bench_OnDraw2D(0.0);
        EXPECT_EQ(FakeClock_Reads(), 1);
    }
    EXPECT_EQ(bench.state, RunState_Finished);
    EXPECT_EQ(Times(), (std::vector<double>{250.0, 15.625, 1500.0, 0.0, 125.0}));
}

TEST_F(RunController, PassesRepeatThenTheGameIsAskedToClose) {
    const std::vector<std::string> expected[] = {
        {"flyrate: per-second fps:", "flyrate: pass 1 of 3", "flyrate: chunks built: 0 in the warm-up, 4 during the run",
         "flyrate: 4 frames 0.50 seconds 8.00 fps, frame ms min/avg/p99/max 125.0/125.0/125.0/125.0"},
        {"flyrate: per-second fps: 4", "flyrate: pass 2 of 3", "flyrate: chunks built: 0 in the warm-up, 8 during the run",
         "flyrate: 4 frames 1.00 seconds 4.00 fps, frame ms min/avg/p99/max 250.0/250.0/250.0/250.0"},
        {"flyrate: per-second fps: 3", "flyrate: pass 3 of 3", "flyrate: chunks built: 0 in the warm-up, 12 during the run",
         "flyrate: 4 frames 1.50 seconds 2.67 fps, frame ms min/avg/p99/max 375.0/375.0/375.0/375.0"},
    };
    setenv("FLYRATE_PASSES", "3", 1);
    StartRun({0, 2, 4});
    for (int pass = 1; pass <= 3; pass++) {
        SCOPED_TRACE(pass);
        EXPECT_EQ(bench.pass, pass);
        EXPECT_EQ(bench.curFrame, 1);
        for (int frame = 1; frame <= 4; frame++) {
            Game.chunkUpdates += pass;
            EXPECT_EQ(fakeGame.closeRequests, 0);
            // The report and the pass change take 0.5 s of clock, which the
            // next pass's first frame does not count.
            if (frame == 4) FakeClock_AdvanceAfterNextRead(0.5);
            FakeGame_Frame(0.125 * pass);
        }
        EXPECT_EQ(Out(), expected[pass - 1]);
        EXPECT_EQ(Times(), std::vector<double>(4, 125.0 * pass));
    }
    EXPECT_EQ(bench.state, RunState_Finished);
    EXPECT_EQ(fakeGame.closeRequests, 1);
    EXPECT_EQ(WindowInfo.exists, 0);
    // The hook stays until the free slot and does nothing more.
    FakeGame_Frame(0.25);
    EXPECT_TRUE(Out().empty());
    EXPECT_EQ(Times(), std::vector<double>(4, 375.0));
    EXPECT_EQ(fakeGame.closeRequests, 1);
}

TEST_F(RunController, ScreenshotsAtTheStartAndAtKeyframesAreNotTimed) {
    std::string dir = TestDir_Make();
    setenv("FLYRATE_SHOTS", dir.c_str(), 1);
    setenv("FLYRATE_PASSES", "2", 1);
    Start(Path({0, 2, 4}));
    Plugin_Component.OnNewMapLoaded();
    // Every hook call reads the clock, then 0.5 s pass: a capture's time
    // when it captures. Frame times run from the end of a capture.
    for (int call = 0; call <= 8; call++) {
        FakeClock_AdvanceAfterNextRead(0.5);
        FakeGame_Frame(0.25);
        if (call == 4 || call == 8) {
            // Frames 1 and 3 follow a capture (the start's or the last
            // keyframe's, and frame 2's); 2 and 4 follow hook calls without.
            EXPECT_EQ(Times(), (std::vector<double>{250.0, 750.0, 250.0, 750.0})) << call;
        }
    }
    EXPECT_EQ(TestDir_List(dir), (std::vector<std::string>{"frame-00000.ppm", "frame-00002.ppm", "frame-00004.ppm"}));
    EXPECT_EQ(fakeGl.reads, 5);
    EXPECT_EQ(fakeGl.wrongReads, 0);
    TestDir_Remove(dir);
}

TEST_F(RunController, CameraSwitchesCountOnlyWhileRunningAndInThePassThatSeesThem) {
    setenv("FLYRATE_PASSES", "2", 1);
    Start(Path({0, 3}, "warmup 0.5 0 10\n"));
    Plugin_Component.OnNewMapLoaded();
    Camera.active = &fakeGame.otherCamera;  // during the warm-up: put back, not counted
    FakeGame_Frame(0.25);
    EXPECT_EQ(Camera.active, &bench.cameraCopy);
    FakeGame_Frame(0.25);
    ASSERT_EQ(bench.state, RunState_Running);
    Camera.active = &fakeGame.otherCamera;  // during the run: put back at the next frame
    FakeGame_Frame(0.25);
    EXPECT_EQ(Camera.active, &bench.cameraCopy);
    EXPECT_EQ(bench.savedCamera, &fakeGame.hostCamera);
    FakeGame_Frame(0.25);
    Camera.active = &fakeGame.otherCamera;  // seen only by the pass change
    Out();
    FakeGame_Frame(0.25);
    std::vector<std::string> pass1 = Out();
    ASSERT_EQ(pass1.size(), 5u);
    EXPECT_EQ(pass1[3], "flyrate: warning: the game switched the camera 1 times during the run");
    RunToClose(0.25);
    std::vector<std::string> pass2 = Out();
    ASSERT_EQ(pass2.size(), 5u);
    EXPECT_EQ(pass2[3], "flyrate: warning: the game switched the camera 1 times during the run");
}

TEST_F(RunController, FreeSlotInEveryStateGivesBackHookCameraAndTables) {
    struct Case {
        int frames;  // -1 Armed; 0 warming up; n: frames into the run
        const char *passes;
        const char *line;
    } cases[] = {
        {-1, "1", nullptr},
        {0, "1", "flyrate: the game closed before the end (frame 0 of 6, pass 1 of 1)"},
        {3, "1", "flyrate: the game closed before the end (frame 3 of 6, pass 1 of 1)"},
        {9, "2", "flyrate: the game closed before the end (frame 3 of 6, pass 2 of 2)"},
        {7, "1", nullptr},  // finished
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        FakeGame_Reset();
        setenv("FLYRATE_PASSES", c.passes, 1);
        Start(Path({0, 6}));
        if (c.frames >= 0) Plugin_Component.OnNewMapLoaded();
        for (int i = 0; i < c.frames; i++) FakeGame_Frame(0.25);
        Out();
        Plugin_Component.Free();
        EXPECT_EQ(Lines(Out()), c.line ? std::string(c.line) + "\n" : "");
        EXPECT_EQ(bench.state, RunState_Idle);
        EXPECT_EQ(bench.keyframes, nullptr);
        EXPECT_EQ(bench.frameTimes, nullptr);
        EXPECT_EQ(Game.Draw2DHooks[0], nullptr);
        EXPECT_EQ(Camera.active, &fakeGame.hostCamera);
    }
    // What the game has since given to others stays theirs.
    FakeGame_Reset();
    Start(Path({0, 6}));
    Plugin_Component.OnNewMapLoaded();
    HostDraw2DFn other = [](double) {};
    Game.Draw2DHooks[0] = other;
    Camera.active = &fakeGame.otherCamera;
    Plugin_Component.Free();
    EXPECT_EQ(Game.Draw2DHooks[0], other);
    EXPECT_EQ(Camera.active, &fakeGame.otherCamera);
}

// The run the game's users see: a script ending at frame 600, one pass, a
// map that builds chunks for half a second, 64 frames per second.
TEST_F(RunController, TypicalRunPrintsExactlyTheseLines) {
    std::string script = Start(Path({0, 300, 600}, "# x follows the frame number\n"));
    fakeGame.onClose = Plugin_Component.Free;  // the game shuts down at once
    Game.chunkUpdates = 1000;
    Plugin_Component.OnNewMapLoaded();
    std::vector<float> shown;
    for (int frame = 0; Game.Draw2DHooks[0] && frame < 10000; frame++) {
        if (frame < 32) Game.chunkUpdates += 10;  // the first half second
        if (frame == 300) Game.chunkUpdates += 1;
        FakeGame_Frame(1.0 / 64);
        shown.push_back(fakeGame.shownPosition.x);
    }
    EXPECT_EQ(Out(), (std::vector<std::string>{
                         "flyrate: " + script + ": 3 keyframes, 600 frames; warm-up 2-30 s, 1 s without chunk builds",
                         "flyrate: map loaded, warming up",
                         "flyrate: start after 2.00 s warm-up",
                         "flyrate: per-second fps: 64 64 64 64 64 64 64 64 64",
                         "flyrate: chunks built: 320 in the warm-up, 1 during the run",
                         "flyrate: 600 frames 9.38 seconds 64.00 fps, frame ms min/avg/p99/max 15.6/15.6/15.6/15.6",
                     }));
    // 128 warm-up frames showing frame 0, then frames 1 to 600.
    ASSERT_EQ(shown.size(), 128u + 600u);
    for (int k = 0; k < 728; k++) ASSERT_NEAR(shown[(size_t)k], k < 128 ? 0 : k - 127, 1e-3) << k;
    EXPECT_EQ(Camera.active, &fakeGame.hostCamera);
}

}  // namespace
