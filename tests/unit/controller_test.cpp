// The run controller, driven as the game drives it on the controlled clock:
// warm-up decision, timed frames, passes, screenshots, camera switches, the
// finish, and the free slot in every state.
#include <algorithm>

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
    std::vector<double> Times() { return std::vector<double>(bench.frameTimes, bench.frameTimes + bench.totalFrames); }
};

// The run the game's users see: a script ending at frame 600, one pass, a
// map that builds chunks for half a second, 64 frames per second, a game
// that shuts down inside the close request.
TEST_F(RunController, TypicalRunPrintsExactlyTheseLinesAndShowsEveryFrame) {
    Plugin_Component.OnNewMapLoaded();  // before start-up: nothing
    std::string script = Start(Path({0, 300, 600}, "# x follows the frame number\n"));
    fakeGame.onClose = Plugin_Component.Free;
    Game.chunkUpdates = 1000;
    Plugin_Component.OnNewMapLoaded();
    EXPECT_EQ(Camera.active, &bench.cameraCopy);
    std::vector<float> shown;
    for (int frame = 0; Game.Draw2DHooks[0] && frame < 10000; frame++) {
        if (frame < 32) Game.chunkUpdates += 10;  // the first half second
        if (frame == 300) Game.chunkUpdates += 1;
        if (frame == 200) Plugin_Component.OnNewMapLoaded();  // a later load changes nothing
        FakeGame_Frame(1.0 / 64);
        shown.push_back(fakeGame.shownPosition.x);
    }
    EXPECT_EQ(Out(), (std::vector<std::string>{
                         "flyrate: " + script + ": 3 keyframes, 600 frames; warm-up 2-30 s, 1 s without chunk builds",
                         "flyrate: map loaded, warming up", "flyrate: start after 2.00 s warm-up",
                         "flyrate: per-second fps: 64 64 64 64 64 64 64 64 64",
                         "flyrate: chunks built: 320 in the warm-up, 1 during the run",
                         "flyrate: 600 frames 9.38 seconds 64.00 fps, frame ms min/avg/p99/max 15.6/15.6/15.6/15.6"}));
    // 128 warm-up frames showing frame 0, then frames 1 to 600.
    ASSERT_EQ(shown.size(), 128u + 600u);
    for (int k = 0; k < 728; k++) ASSERT_NEAR(shown[(size_t)k], k < 128 ? 0 : k - 127, 1e-3) << k;
    EXPECT_EQ(Camera.active, &fakeGame.hostCamera);
    EXPECT_EQ(fakeGame.closeRequests, 1);
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
        SetUp();
        Start(Path({0, 10}, c.warmup));
        Plugin_Component.OnNewMapLoaded();
        Plugin_Component.OnNewMapLoaded();  // a second load while warming up changes nothing
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
        int64_t total;     // warmupChunks after the frame
        double lastBuild;  // lastBuildTime after the frame
    } steps[] = {
        {520, 20, 100.25},                                 // 20 more
        {7, 27, 100.5},                                    // restarted lower: all 7 are new
        {0, 27, 100.5},                                    // restarted at 0: nothing new
        {-2000000000, 27 - 2000000000LL, 101.0},
        {2000000000, 27 + 2000000000LL, 101.25},           // a difference beyond 32 bits
    };
    for (const Step &s : steps) {
        Game.chunkUpdates = s.counter;
        FakeGame_Frame(0.25);
        EXPECT_EQ(bench.warmupChunks, s.total) << s.counter;
        EXPECT_EQ(bench.lastBuildTime, s.lastBuild) << s.counter;
    }
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
    Start(Path({0, 2, 4}));
    Plugin_Component.OnNewMapLoaded();
    FakeGame_Frame(0.25);
    Out();
    for (int pass = 1; pass <= 3; pass++) {
        SCOPED_TRACE(pass);
        for (int frame = 1; frame <= 4; frame++) {
            Game.chunkUpdates += pass;
            EXPECT_EQ(fakeGame.closeRequests, 0);
            // The report and the pass change take 0.5 s, which the next
            // pass's first frame does not count.
            FakeClock_Set(bench.lastFrameTime + 0.125 * pass);
            if (frame == 4) FakeClock_AdvanceAfterNextRead(0.5);
            Bench_OnDraw2D(0);
            EXPECT_EQ(FakeClock_Reads(), frame == 4 && pass < 3 ? 2 : 1) << "one reading a frame, one after a report";
        }
        EXPECT_EQ(Out(), expected[pass - 1]);
        EXPECT_EQ(Times(), std::vector<double>(4, 125.0 * pass));
    }
    EXPECT_EQ(fakeGame.closeRequests, 1);
    EXPECT_EQ(WindowInfo.exists, 0);
    FakeGame_Frame(0.25);  // the hook stays until the free slot and does nothing
    EXPECT_EQ(Times(), std::vector<double>(4, 375.0));
    EXPECT_TRUE(Out().empty());
}

TEST_F(RunController, ScreenshotsAndCameraSwitchesInTwoPasses) {
    std::string dir = TestDir_Make();
    setenv("FLYRATE_SHOTS", dir.c_str(), 1);
    setenv("FLYRATE_PASSES", "2", 1);
    Start(Path({0, 2, 4}, "warmup 0.25 0 10\n"));
    Plugin_Component.OnNewMapLoaded();
    // Every hook call reads the clock, then 0.5 s pass: a capture's time
    // when it captures. Frames 1 and 3 follow a capture (the start's or the
    // last keyframe's, and frame 2's) and take 0.25 s; 2 and 4 take 0.75 s.
    // The game switches cameras in the warm-up (put back, not counted), in
    // the run (counted), and as the pass ends (counted in the next pass).
    for (int call = 0; call <= 9; call++) {
        if (call == 0 || call == 3 || call == 4) Camera.active = &fakeGame.otherCamera;
        FakeClock_AdvanceAfterNextRead(0.5);
        FakeGame_Frame(0.25);
        if (call == 4 || call == 8) {
            EXPECT_EQ(Times(), (std::vector<double>{250.0, 750.0, 250.0, 750.0})) << call;
        }
    }
    std::vector<std::string> out = Out();
    EXPECT_EQ(std::count(out.begin(), out.end(), "flyrate: warning: the game switched the camera 1 times during the run"), 2);
    EXPECT_EQ(TestDir_List(dir), (std::vector<std::string>{"frame-00000.ppm", "frame-00002.ppm", "frame-00004.ppm"}));
    EXPECT_EQ(fakeGl.reads, 5);
    EXPECT_EQ(bench.savedCamera, &fakeGame.hostCamera);
    TestDir_Remove(dir);
}

TEST_F(RunController, FreeSlotInEveryStateGivesBackHookCameraAndTables) {
    struct Case {
        int frames;  // -1: Armed; 0: warming up; n: frames into the run
        const char *passes, *line;
        bool othersTook;  // the game gave the slot and the camera to others
    } cases[] = {
        {-1, "1", nullptr, false},
        {0, "1", "flyrate: the game closed before the end (frame 0 of 6, pass 1 of 1)", false},
        {3, "1", "flyrate: the game closed before the end (frame 3 of 6, pass 1 of 1)", true},
        {9, "2", "flyrate: the game closed before the end (frame 3 of 6, pass 2 of 2)", false},
        {7, "1", nullptr, false},  // finished
    };
    HostDraw2DFn other = [](double) {};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        SetUp();
        setenv("FLYRATE_PASSES", c.passes, 1);
        Start(Path({0, 6}));
        if (c.frames >= 0) Plugin_Component.OnNewMapLoaded();
        for (int i = 0; i < c.frames; i++) FakeGame_Frame(0.25);
        if (c.othersTook) Game.Draw2DHooks[0] = other, Camera.active = &fakeGame.otherCamera;
        Out();
        Plugin_Component.Free();
        EXPECT_EQ(Out(), c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
        EXPECT_EQ(bench.state, RunState_Idle);
        EXPECT_TRUE(!bench.keyframes && !bench.frameTimes);
        EXPECT_EQ(Game.Draw2DHooks[0], c.othersTook ? other : nullptr);
        EXPECT_EQ(Camera.active, c.othersTook ? &fakeGame.otherCamera : &fakeGame.hostCamera);
    }
}

}  // namespace
