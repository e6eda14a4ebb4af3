// The plug-in driven as the game drives it, on the controlled clock: start-up
// and its failures, warm-up, timed frames, passes, screenshots, the free slot.
#include <fcntl.h>
#include <sys/stat.h>

#include <tuple>

#include "run/run.h"
#include "tests/support/plugintest.h"

extern "C" int32_t Plugin_ApiVersion;

namespace {

// A script with keyframes at these frames, x following the frame number.
std::string Path(const std::vector<int> &frames, const std::string &warmup = "warmup 0 0 100\n") {
    std::string s = warmup;
    for (int f : frames) s += std::to_string(f) + " " + std::to_string(f) + " 80 0 90 -10\n";
    return s;
}

using RunController = PluginTest;

// A script ending at frame 600, one pass, chunks built for half a second,
// 64 frames a second, a game that shuts down inside the close request.
TEST_F(RunController, TypicalRunPrintsExactlyTheseLinesAndShowsEveryFrame) {
    Plugin_Component.OnNewMapLoaded();  // before start-up: nothing
    std::string script = Start(Path({0, 300, 600}, "# x follows the frame number\n"));
    fakeGame.onClose = Plugin_Component.Free;
    Game.chunkUpdates = 1000;
    Plugin_Component.OnNewMapLoaded();
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
        const char *warmup, *frames;  // of 0.25 s, the last one starting the run
        int builds;
        std::vector<std::string> out;
    } cases[] = {
        {"warmup 2 1 30\n", "2b6f", 2, {"flyrate: start after 2.00 s warm-up"}},  // quiet soon: the minimum
        {"warmup 2 1 30\n", "6b4f", 6, {"flyrate: start after 2.50 s warm-up"}},  // one quiet second more
        {"warmup 2 1 30\n", "120b", 120, {"flyrate: warning: still building chunks after 30 s",
                                          "flyrate: start after 30.00 s warm-up"}},  // never quiet: the limit
        {"warmup 2 1 2\n", "2b6f", 2, {"flyrate: warning: still building chunks after 2 s",
                                       "flyrate: start after 2.00 s warm-up"}},  // both at once: the limit warns
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        SetUp();
        Start(Path({0, 10}, c.warmup));
        Play("mm");  // a second load while warming up changes nothing
        Out();
        Play(c.frames);
        EXPECT_EQ(Out(), c.out);
        EXPECT_EQ(bench.curFrame, 1) << "started at the last frame, not before";
        EXPECT_EQ(bench.warmupChunks, c.builds);
    }
}

// Two passes. After each hook call's one clock reading 0.5 s pass, a
// capture's or a report's time, neither timed: frames 1 and 3 follow one and
// take 0.25 s, 2 and 4 take 0.75 s. Camera switches in the warm-up are not
// counted, those as a pass ends count in the next. The chunk counter starts
// again lower: all of it counts, beyond 32 bits. The log replaces an old one.
TEST_F(RunController, PassesScreenshotsSwitchesAndTheLog) {
    std::string dir = TestDir_Make(), csv = Scratch("an old log\n");
    setenv("FLYRATE_SHOTS", dir.c_str(), 1);
    setenv("FLYRATE_PASSES", "2", 1);
    setenv("FLYRATE_CSV", csv.c_str(), 1);
    Start(Path({0, 2, 4}, "warmup 0.25 0 10\n"));
    Play("m");
    Out();
    const int32_t counter[] = {0, 1, 3, 6, 10, -2000000000, 2000000000, 2000000001, 2000000003, 2000000006};
    for (int call = 0; call <= 9; call++) {
        if (call == 0 || call == 3 || call == 4) Play("s");
        Game.chunkUpdates = counter[call];
        FakeClock_AdvanceAfterNextRead(0.5);
        Play("f");
    }
    const std::string summary = "frames 2.00 seconds 2.00 fps, frame ms min/avg/p99/max 250.0/500.0/750.0/750.0";
    const std::string switched = "flyrate: warning: the game switched the camera 1 times during the run";
    EXPECT_EQ(Out(), (std::vector<std::string>{"flyrate: start after 0.25 s warm-up", "flyrate: per-second fps: 2 2",
                                               "flyrate: pass 1 of 2", "flyrate: chunks built: 0 in the warm-up, 10 during the run",
                                               switched, "flyrate: 4 " + summary, "flyrate: per-second fps: 2 2", "flyrate: pass 2 of 2",
                                               "flyrate: chunks built: 0 in the warm-up, 2000000003 during the run", switched,
                                               "flyrate: 4 " + summary}));
    EXPECT_EQ(TestFile_Read(csv), "pass,frame,frame_ms,chunks\n1,1,250.000000,1\n1,2,750.000000,2\n1,3,250.000000,3\n"
                                  "1,4,750.000000,4\n2,1,250.000000,-2000000000\n2,2,750.000000,4000000000\n"
                                  "2,3,250.000000,1\n2,4,750.000000,2\n");
    EXPECT_EQ(TestDir_List(dir), (std::vector<std::string>{"frame-00000.ppm", "frame-00002.ppm", "frame-00004.ppm"}));
    EXPECT_EQ(fakeGl.reads, 5);
    EXPECT_EQ(FakeClock_Reads(), 1 + 10 + 5 + 1) << "the map load, every hook call, after each capture and the pass change";
    EXPECT_TRUE(fakeGame.closeRequests == 1 && WindowInfo.exists == 0 && bench.savedCamera == &fakeGame.hostCamera);
    TestDir_Remove(dir);
}

// A pass whose log rows can't be written whole (the disk fills in the
// middle of pass 1's rows, or of pass 2's, past what the pass prints, which
// is caught in a file too) is taken out again with the warning: the passes
// before it stay whole, and the next pass, finding the file empty, starts
// it with the header.
TEST_F(RunController, AFailedLogPassLeavesTheOtherPassesWhole) {
    std::string rows[4] = {"pass,frame,frame_ms,chunks\n"};
    for (int pass = 1; pass <= 3; pass++)
        for (int frame = 1; frame <= 40; frame++) rows[pass] += std::to_string(pass) + "," + std::to_string(frame) + ",250.000000,0\n";
    for (int failing : {1, 2}) {
        SetUp();
        std::string csv = Scratch("");
        setenv("FLYRATE_PASSES", "3", 1);
        setenv("FLYRATE_CSV", csv.c_str(), 1);
        Start(Path({0, 40}));
        Play("mf");
        for (int pass = 1; pass <= 3; pass++) {
            Out();
            pass == failing ? DiskFullAfter(failing * 500, [&] { return Play("40f"), 0; }) : (Play("40f"), 0);
            EXPECT_EQ(OutText().find("flyrate: warning: can't write " + csv + "\n") != std::string::npos, pass == failing);
        }
        EXPECT_EQ(TestFile_Read(csv), rows[0] + rows[failing == 1 ? 2 : 1] + rows[3]) << failing;
    }
}

// A log that is a pipe (a FIFO here, /dev/stdout say) has no size that
// tells a first write from a later one: the header comes with the first
// pass only, and each later pass appends its rows.
TEST_F(RunController, ALogPipeGetsTheHeaderWithTheFirstPassOnly) {
    std::string dir = TestDir_Make(), fifo = dir + "/log", expected = "pass,frame,frame_ms,chunks\n";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // there first: the plug-in's open doesn't wait
    setenv("FLYRATE_PASSES", "3", 1);
    setenv("FLYRATE_CSV", fifo.c_str(), 1);
    Start(Path({0, 2}));
    Play("mf6f");
    for (int pass = 1; pass <= 3; pass++) expected += std::to_string(pass) + ",1,250.000000,0\n" + std::to_string(pass) + ",2,250.000000,0\n";
    char got[4096];
    ssize_t n = read(reader, got, sizeof got);
    EXPECT_EQ(std::string(got, n > 0 ? (size_t)n : 0), expected);
    close(reader);
    TestDir_Remove(dir);
}

TEST_F(RunController, FreeSlotInEveryStateGivesBackHookCameraAndTables) {
    struct Case {
        const char *passes, *events, *line;
    } cases[] = {
        {"1", "", ""},  // armed
        {"1", "m", "flyrate: the game closed before the end (frame 0 of 6, pass 1 of 1)\n"},
        {"1", "m3f", "flyrate: the game closed before the end (frame 3 of 6, pass 1 of 1)\n"},
        {"2", "m9f", "flyrate: the game closed before the end (frame 3 of 6, pass 2 of 2)\n"},
        {"1", "m7f", ""},  // finished
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.events);
        SetUp();
        setenv("FLYRATE_PASSES", c.passes, 1);
        Start(Path({0, 6}));
        Play(c.events);
        Out();
        Play("q");
        EXPECT_EQ(OutText(), c.line);
        EXPECT_TRUE(bench.state == RunState_Idle && !bench.keyframes && !bench.frameTimes && !Game.Draw2DHooks[0] &&
                    Camera.active == &fakeGame.hostCamera);
    }
}

const char kScript[] = "# a short flight\n0 0 80 0 90 -10\n5 10 80 0 90 -10\n20 40 82 -4 120 -5\n";

void OtherHook(double) {}

TEST_F(RunController, StartsOnceInTheFirstFreeHookSlot) {
    const HostComponentFn slots[] = {Bench_Init, Bench_Free, nullptr, nullptr, Bench_OnMapLoaded, nullptr};
    EXPECT_TRUE(Plugin_ApiVersion == 1 && !memcmp(&Plugin_Component, slots, sizeof slots)) << "what the game reads";
    Game.Draw2DHooks[0] = Game.Draw2DHooks[1] = OtherHook;
    std::string path = Start(kScript);
    EXPECT_EQ(Out(), std::vector<std::string>{"flyrate: " + path + ": 3 keyframes, 20 frames; warm-up 2-30 s, 1 s without chunk builds"});
    EXPECT_EQ(Game.Draw2DHooks[2], Bench_OnDraw2D);
    Plugin_Component.Init();  // a second start-up while configured changes nothing
    EXPECT_EQ(Game.Draw2DHooks[3], nullptr);
    Play("q");
    EXPECT_TRUE(Out().empty());
    EXPECT_EQ(Game.Draw2DHooks[2], nullptr);
    EXPECT_EQ(Game.Draw2DHooks[0], OtherHook);
}

TEST_F(RunController, ConfigurationFromTheEnvironment) {
    // Passes as a C conversion to int32 makes them (the low 32 bits); the
    // environment's own strings, and empty is unset.
    const std::tuple<const char *, const char *, int32_t> cases[] = {
        {"FLYRATE_PASSES", "1", 1}, {"FLYRATE_PASSES", "-3", 1}, {"FLYRATE_PASSES", "3xyz", 3}, {"FLYRATE_PASSES", "4294967299", 3},
        {"FLYRATE_PASSES", "2147483648", 1}, {"FLYRATE_SHOTS", "", 1}, {"FLYRATE_SHOTS", "/tmp/shots", 1}, {"FLYRATE_CSV", "", 1},
        {"FLYRATE_CSV", "/tmp/x.csv", 1}};
    for (auto [name, value, passes] : cases) {
        SCOPED_TRACE(std::string(name) + "=" + value);
        SetUp();
        setenv(name, value, 1);
        Start(kScript);
        EXPECT_EQ(bench.passes, passes);
        EXPECT_EQ(bench.shotsDir, *value && !strcmp(name, "FLYRATE_SHOTS") ? getenv(name) : nullptr);
        EXPECT_EQ(bench.csvPath, *value && !strcmp(name, "FLYRATE_CSV") ? getenv(name) : nullptr);
    }
    SetUp();
    std::string tuned = Start("warmup 0.5 0.25 10\n0 0 0 0 0 0\n8 1 1 1 1 1\n");
    EXPECT_EQ(Out().back(), "flyrate: " + tuned + ": 2 keyframes, 8 frames; warm-up 0.5-10 s, 0.25 s without chunk builds");
}

}  // namespace
