// Start-up and shutdown as the game drives them: the exported component,
// the environment, the hook slot, and start-up failures.
#include "run/run.h"
#include "tests/support/plugintest.h"

extern "C" int32_t Plugin_ApiVersion;

namespace {

const char kScript[] = "# a short flight\n0 0 80 0 90 -10\n5 10 80 0 90 -10\n20 40 82 -4 120 -5\n";

void OtherHook(double) {}

using Lifecycle = PluginTest;

TEST_F(Lifecycle, ExportsVersionOneAndTheComponentSlots) {
    EXPECT_EQ(Plugin_ApiVersion, 1);
    const HostComponentFn slots[] = {Bench_Init, Bench_Free, nullptr, nullptr, Bench_OnMapLoaded, nullptr};
    EXPECT_EQ(memcmp(&Plugin_Component, slots, sizeof slots), 0);
}

TEST_F(Lifecycle, WithoutAScriptThePluginDoesNothing) {
    for (const char *value : {(const char *)nullptr, ""}) {
        FakeGame_Reset();
        if (value) setenv("FLYRATE", value, 1);
        Plugin_Component.Init();
        Plugin_Component.OnNewMapLoaded();
        FakeGame_Frame(1.0);
        Plugin_Component.Free();
        EXPECT_EQ(OutText(), "");
        EXPECT_EQ(bench.state, RunState_Idle);
        for (HostDraw2DFn hook : Game.Draw2DHooks) EXPECT_EQ(hook, nullptr);
        EXPECT_EQ(Camera.active, &fakeGame.hostCamera);
        EXPECT_EQ(fakeGame.closeRequests, 0);
    }
}

TEST_F(Lifecycle, ClaimsTheFirstFreeHookSlotOnce) {
    Game.Draw2DHooks[0] = Game.Draw2DHooks[1] = OtherHook;
    std::string path = Start(kScript);
    EXPECT_EQ(Out(), std::vector<std::string>{"flyrate: " + path +
                                              ": 3 keyframes, 20 frames; warm-up 2-30 s, 1 s without chunk builds"});
    EXPECT_EQ(bench.state, RunState_Armed);
    EXPECT_EQ(Game.Draw2DHooks[2], Bench_OnDraw2D);
    EXPECT_EQ(std::vector<double>(bench.frameTimes, bench.frameTimes + 20), std::vector<double>(20, 0.0));
    Plugin_Component.Init();  // a second start-up while configured changes nothing
    EXPECT_TRUE(Out().empty());
    EXPECT_EQ(Game.Draw2DHooks[3], nullptr);
    Plugin_Component.Free();
    EXPECT_EQ(Game.Draw2DHooks[2], nullptr);
    EXPECT_EQ(Game.Draw2DHooks[0], OtherHook);
}

TEST_F(Lifecycle, NoFreeHookSlotLeavesTheGameRunning) {
    for (HostDraw2DFn &hook : Game.Draw2DHooks) hook = OtherHook;
    Start(kScript);
    Plugin_Component.OnNewMapLoaded();
    Plugin_Component.Free();
    EXPECT_EQ(OutText(), "flyrate: error: no free Draw2D hook\n");
    EXPECT_EQ(fakeGame.closeRequests, 0);
    EXPECT_EQ(Camera.active, &fakeGame.hostCamera);
    for (HostDraw2DFn hook : Game.Draw2DHooks) EXPECT_EQ(hook, OtherHook);
}

TEST_F(Lifecycle, ABadScriptClosesTheGame) {
    // Both kinds of game: one that shuts down inside the close request, one
    // that calls the free slot after the frame.
    for (bool atOnce : {true, false}) {
        for (const char *script : {(const char *)nullptr, "0 0 0 0 0 0\n9 1 1 1 1 1\n4 2 2 2 2 2\n"}) {
            FakeGame_Reset();
            fakeGame.onClose = atOnce ? Plugin_Component.Free : nullptr;
            std::string path = script ? Scratch(script) : "/nonexistent/flight.txt";
            setenv("FLYRATE", path.c_str(), 1);
            Plugin_Component.Init();
            EXPECT_EQ(bench.state, atOnce ? RunState_Idle : RunState_Finished);
            Plugin_Component.Free();
            EXPECT_EQ(OutText(), (script ? "flyrate: error: " + path + ":3: frames must start at 0 and ascend\n"
                                         : "flyrate: error: can't open " + path + "\n") +
                                     "flyrate: closing the game\n");
            EXPECT_EQ(fakeGame.closeRequests, 1);
            EXPECT_EQ(WindowInfo.exists, 0);
            for (HostDraw2DFn hook : Game.Draw2DHooks) EXPECT_EQ(hook, nullptr);
            EXPECT_EQ(bench.keyframes, nullptr);
        }
    }
}

TEST_F(Lifecycle, ConfigurationFromTheEnvironment) {
    struct Case {
        const char *name, *value;
        int32_t passes;
        const char *shots, *csv;  // expected; null: unset
    } cases[] = {
        {"FLYRATE_PASSES", nullptr, 1, nullptr, nullptr}, {"FLYRATE_PASSES", "", 1, nullptr, nullptr},
        {"FLYRATE_PASSES", "0", 1, nullptr, nullptr}, {"FLYRATE_PASSES", "1", 1, nullptr, nullptr},
        {"FLYRATE_PASSES", "-3", 1, nullptr, nullptr}, {"FLYRATE_PASSES", "text", 1, nullptr, nullptr},
        {"FLYRATE_PASSES", "2", 2, nullptr, nullptr}, {"FLYRATE_PASSES", "3xyz", 3, nullptr, nullptr},
        // Taken as an int32, as a C conversion does: its low 32 bits.
        {"FLYRATE_PASSES", "4294967299", 3, nullptr, nullptr}, {"FLYRATE_PASSES", "2147483648", 1, nullptr, nullptr},
        {"FLYRATE_PASSES", "-4294967294", 2, nullptr, nullptr},
        {"FLYRATE_SHOTS", "", 1, nullptr, nullptr}, {"FLYRATE_SHOTS", "/tmp/shots", 1, "/tmp/shots", nullptr},
        {"FLYRATE_CSV", "", 1, nullptr, nullptr}, {"FLYRATE_CSV", "/tmp/x.csv", 1, nullptr, "/tmp/x.csv"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + (c.value ? c.value : "(unset)"));
        FakeGame_Reset();
        ClearEnvironment();
        if (c.value) setenv(c.name, c.value, 1);
        Start(kScript);
        EXPECT_EQ(bench.passes, c.passes);
        // The environment's own strings, not copies.
        EXPECT_EQ(bench.shotsDir, c.shots ? getenv("FLYRATE_SHOTS") : nullptr);
        EXPECT_EQ(bench.csvPath, c.csv ? getenv("FLYRATE_CSV") : nullptr);
    }
    FakeGame_Reset();
    std::string tuned = Start("warmup 0.5 0.25 10\n0 0 0 0 0 0\n8 1 1 1 1 1\n");
    EXPECT_EQ(Out().back(), "flyrate: " + tuned + ": 2 keyframes, 8 frames; warm-up 0.5-10 s, 0.25 s without chunk builds");
}

}  // namespace
