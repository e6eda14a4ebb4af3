// Start-up and shutdown as the game drives them: exports, environment,
// hook slot, start-up failures, the free slot, and a whole typical run.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "path/path.h"
#include "plugin/bench.h"
#include "run/run.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"
#include "tests/support/testclock.h"

extern "C" {
extern int32_t Plugin_ApiVersion;
extern HostComponent Plugin_Component;
}

namespace {

const char *const kVariables[] = {"FLYRATE", "FLYRATE_SHOTS", "FLYRATE_PASSES", "FLYRATE_CSV"};

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *name : kVariables) unsetenv(name);
        bench = BenchState{};
        FakeHost_Reset();
        TestClock_Set(50.0);
        script = TestFile_Write("# a short flight\n0 0 80 0 90 -10\n5 10 80 0 90 -10\n20 40 82 -4 120 -5\n");
    }
    void TearDown() override {
        Free();
        bench = BenchState{};
        for (const char *name : kVariables) unsetenv(name);
        remove(script.c_str());
        TestClock_Release();
    }
    // Bench_Init with FLYRATE set to path; returns the lines it printed.
    std::vector<std::string> Init(const std::string &path) {
        setenv("FLYRATE", path.c_str(), 1);
        StdoutCapture_Begin();
        Plugin_Component.Init();
        return TestText_Lines(StdoutCapture_End());
    }
    std::vector<std::string> MapLoaded() {
        StdoutCapture_Begin();
        Plugin_Component.OnNewMapLoaded();
        return TestText_Lines(StdoutCapture_End());
    }
    std::vector<std::string> Free() {
        StdoutCapture_Begin();
        Plugin_Component.Free();
        return TestText_Lines(StdoutCapture_End());
    }

    std::string script;
};

}  // namespace

TEST_F(Lifecycle, ExportsVersionAndComponentSlots) {
    EXPECT_EQ(Plugin_ApiVersion, 1);
    EXPECT_EQ(Plugin_Component.Init, Bench_Init);
    EXPECT_EQ(Plugin_Component.Free, Bench_Free);
    EXPECT_EQ(Plugin_Component.Reset, nullptr);
    EXPECT_EQ(Plugin_Component.OnNewMap, nullptr);
    EXPECT_EQ(Plugin_Component.OnNewMapLoaded, Bench_OnMapLoaded);
    EXPECT_EQ(Plugin_Component.Next, nullptr);
}

TEST_F(Lifecycle, UnsetOrEmptyFlyrateDoesNothing) {
    for (bool set : {false, true}) {
        SCOPED_TRACE(set ? "empty" : "unset");
        bench = BenchState{};
        if (set) setenv("FLYRATE", "", 1);
        StdoutCapture_Begin();
        Bench_Init();
        Bench_OnMapLoaded();
        Bench_OnDraw2D(0.0);
        Bench_Free();
        EXPECT_EQ(StdoutCapture_End(), "");
        EXPECT_EQ(bench.state, RunState_Idle);
        EXPECT_EQ(bench.hookIndex, -1);
        for (HostDraw2DFn hook : Game.Draw2DHooks) EXPECT_EQ(hook, nullptr);
        EXPECT_EQ(Camera.active, &fakeHost.hostCamera);
        EXPECT_EQ(fakeHost.closeRequests, 0);
    }
}

static void OtherHook(double) {}

TEST_F(Lifecycle, ClaimsTheFirstFreeHookSlotAndArms) {
    Game.Draw2DHooks[0] = OtherHook;
    Game.Draw2DHooks[1] = OtherHook;
    EXPECT_EQ(Init(script), std::vector<std::string>{"flyrate: " + script +
                                                      ": 3 keyframes, 20 frames; warm-up 2-30 s, 1 s without chunk builds"});
    EXPECT_EQ(bench.state, RunState_Armed);
    EXPECT_EQ(bench.hookIndex, 2);
    EXPECT_EQ(Game.Draw2DHooks[2], Bench_OnDraw2D);
    EXPECT_EQ(Game.Draw2DHooks[3], nullptr);
    ASSERT_NE(bench.frameTimes, nullptr);
    for (int i = 0; i < 20; i++) EXPECT_EQ(bench.frameTimes[i], 0.0);
    EXPECT_EQ(bench.shotsDir, nullptr);
    EXPECT_EQ(bench.passes, 1);

    // A second initialisation while configured changes nothing.
    EXPECT_TRUE(Init(script).empty());
    EXPECT_EQ(Game.Draw2DHooks[3], nullptr);
    EXPECT_EQ(bench.hookIndex, 2);

    // The free slot gives the slot back and leaves the others alone.
    EXPECT_TRUE(Free().empty());
    EXPECT_EQ(Game.Draw2DHooks[2], nullptr);
    EXPECT_EQ(Game.Draw2DHooks[0], OtherHook);
    EXPECT_EQ(Game.Draw2DHooks[1], OtherHook);
}

TEST_F(Lifecycle, ScriptWarmupLineShowsInTheSummary) {
    std::string tuned = TestFile_Write("warmup 0.5 0.25 10\n0 0 0 0 0 0\n8 1 1 1 1 1\n");
    EXPECT_EQ(Init(tuned), std::vector<std::string>{"flyrate: " + tuned +
                                                     ": 2 keyframes, 8 frames; warm-up 0.5-10 s, 0.25 s without chunk builds"});
    remove(tuned.c_str());
}

TEST_F(Lifecycle, NoFreeHookSlotLeavesTheGameRunning) {
    for (HostDraw2DFn &hook : Game.Draw2DHooks) hook = OtherHook;
    EXPECT_EQ(Init(script), std::vector<std::string>{"flyrate: error: no free Draw2D hook"});
    EXPECT_EQ(bench.state, RunState_Finished);
    EXPECT_EQ(bench.keyframes, nullptr);
    EXPECT_EQ(fakeHost.closeRequests, 0);
    EXPECT_TRUE(MapLoaded().empty());
    EXPECT_EQ(Camera.active, &fakeHost.hostCamera);
    EXPECT_TRUE(Free().empty());
    for (HostDraw2DFn hook : Game.Draw2DHooks) EXPECT_EQ(hook, OtherHook);
}

TEST_F(Lifecycle, BadScriptClosesTheGame) {
    // Both kinds of game: one that shuts down inside the close request,
    // one that calls the free slot later.
    std::string missing = script + "-missing";
    std::string unordered = TestFile_Write("0 0 0 0 0 0\n9 1 1 1 1 1\n4 2 2 2 2 2\n");
    struct {
        std::string path;
        std::string error;
    } cases[] = {
        {missing, "flyrate: error: can't open " + missing},
        {unordered, "flyrate: error: " + unordered + ":3: frames must start at 0 and ascend"},
    };
    for (const auto &c : cases) {
        for (bool freesAtOnce : {true, false}) {
            SCOPED_TRACE(c.path + (freesAtOnce ? " frees at once" : " frees later"));
            bench = BenchState{};
            FakeHost_Reset();
            fakeHost.onClose = freesAtOnce ? Bench_Free : nullptr;
            EXPECT_EQ(Init(c.path), (std::vector<std::string>{c.error, "flyrate: closing the game"}));
            EXPECT_EQ(fakeHost.closeRequests, 1);
            EXPECT_EQ(WindowInfo.exists, 0);
            EXPECT_EQ(bench.state, freesAtOnce ? RunState_Idle : RunState_Finished);
            for (HostDraw2DFn hook : Game.Draw2DHooks) EXPECT_EQ(hook, nullptr);
            EXPECT_TRUE(Free().empty());
            EXPECT_EQ(bench.keyframes, nullptr);
            EXPECT_EQ(bench.frameTimes, nullptr);
        }
    }
    remove(unordered.c_str());
}

TEST_F(Lifecycle, PassesAndShotsFromTheEnvironment) {
    struct {
        const char *value;
        int32_t passes;
    } cases[] = {
        {nullptr, 1}, {"", 1}, {"0", 1}, {"1", 1}, {"-3", 1}, {"text", 1}, {"3xyz", 3}, {"2", 2},
        // The number is taken as an int32: its low 32 bits.
        {"4294967299", 3}, {"2147483648", 1}, {"-4294967294", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        Bench_Free();
        bench = BenchState{};
        FakeHost_Reset();
        if (c.value) {
            setenv("FLYRATE_PASSES", c.value, 1);
        } else {
            unsetenv("FLYRATE_PASSES");
        }
        Init(script);
        EXPECT_EQ(bench.passes, c.passes);
    }

    Bench_Free();
    bench = BenchState{};
    setenv("FLYRATE_SHOTS", "", 1);
    Init(script);
    EXPECT_EQ(bench.shotsDir, nullptr);
    Bench_Free();
    bench = BenchState{};
    setenv("FLYRATE_SHOTS", "/tmp/shots", 1);
    Init(script);
    EXPECT_EQ(bench.shotsDir, getenv("FLYRATE_SHOTS")) << "the environment's own string";
}

TEST_F(Lifecycle, QuittingDuringTheWarmUpReportsFrameZero) {
    Init(script);
    EXPECT_EQ(MapLoaded(), std::vector<std::string>{"flyrate: map loaded, warming up"});
    EXPECT_EQ(Camera.active, &bench.cameraCopy);
    EXPECT_EQ(Free(),
              std::vector<std::string>{"flyrate: the game closed before the end (frame 0 of 20, pass 1 of 1)"});
    EXPECT_EQ(bench.state, RunState_Idle);
    EXPECT_EQ(Camera.active, &fakeHost.hostCamera);
    EXPECT_EQ(Game.Draw2DHooks[0], nullptr);
    EXPECT_EQ(bench.keyframes, nullptr);
    EXPECT_EQ(bench.frameTimes, nullptr);
}

TEST_F(Lifecycle, FreeLeavesWhatTheGameHasSinceReplaced) {
    Init(script);
    MapLoaded();
    // The game gave our slot to someone else and switched to another camera.
    Game.Draw2DHooks[0] = OtherHook;
    Camera.active = &fakeHost.otherCamera;
    Free();
    EXPECT_EQ(Game.Draw2DHooks[0], OtherHook);
    EXPECT_EQ(Camera.active, &fakeHost.otherCamera);
    EXPECT_EQ(bench.keyframes, nullptr);
}

// The run the game's users see: a script ending at frame 600, one pass, a
// map that builds chunks for half a second, 64 frames per second.
TEST_F(Lifecycle, TypicalRunPrintsExactlyTheseLines) {
    std::string flight = TestFile_Write("# x follows the frame number\n0 0 80 0 90 -10\n300 300 80 0 90 -10\n"
                                        "600 600 80 0 90 -10\n");
    fakeHost.onClose = Bench_Free;  // the game shuts down at once
    StdoutCapture_Begin();
    setenv("FLYRATE", flight.c_str(), 1);
    Plugin_Component.Init();
    Game.chunkUpdates = 1000;
    Plugin_Component.OnNewMapLoaded();
    const double frame = 1.0 / 64;
    int hookCalls = 0;
    std::vector<float> shown;
    while (Game.Draw2DHooks[0] && hookCalls < 10000) {
        // The game renders from the active camera, then calls the hook.
        shown.push_back(Camera.active->GetPosition(0.0f).x);
        TestClock_Advance(frame);
        if (hookCalls < 32) Game.chunkUpdates += 10;  // the first half second
        if (hookCalls == 300) Game.chunkUpdates += 1;
        Game.Draw2DHooks[0](frame);
        hookCalls++;
    }
    std::vector<std::string> lines = TestText_Lines(StdoutCapture_End());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "flyrate: " + flight + ": 3 keyframes, 600 frames; warm-up 2-30 s, 1 s without chunk builds",
                         "flyrate: map loaded, warming up",
                         "flyrate: start after 2.00 s warm-up",
                         "flyrate: per-second fps: 64 64 64 64 64 64 64 64 64",
                         "flyrate: chunks built: 320 in the warm-up, 1 during the run",
                         "flyrate: 600 frames 9.38 seconds 64.00 fps, frame ms min/avg/p99/max 15.6/15.6/15.6/15.6",
                     }));
    // 128 warm-up frames showing frame 0, then frames 1 to 600.
    ASSERT_EQ(hookCalls, 128 + 600);
    for (int i = 0; i < 128; i++) EXPECT_EQ(shown[i], 0.0f);
    for (int k = 1; k <= 600; k++) EXPECT_NEAR(shown[127 + k], k, 1e-3) << k;
    EXPECT_EQ(fakeHost.closeRequests, 1);
    EXPECT_EQ(bench.state, RunState_Idle);
    EXPECT_EQ(Camera.active, &fakeHost.hostCamera);
    EXPECT_EQ(bench.frameTimes, nullptr);
    remove(flight.c_str());
}
