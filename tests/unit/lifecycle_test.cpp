// Start-up and shutdown as the game drives them: the exported component,
// the environment, the hook slot, and start-up failures.
#include "run/run.h"
#include "tests/support/plugintest.h"

extern "C" int32_t Plugin_ApiVersion;

namespace {

const char kScript[] = "# a short flight\n0 0 80 0 90 -10\n5 10 80 0 90 -10\n20 40 82 -4 120 -5\n";

void OtherHook(double) {}

using Lifecycle = PluginTest;

TEST_F(Lifecycle, ExportsVersionOneAndTheComponent) {
    EXPECT_EQ(Plugin_ApiVersion, 1);
    const HostComponentFn slots[] = {Bench_Init, Bench_Free, nullptr, nullptr, Bench_OnMapLoaded, nullptr};
    EXPECT_EQ(memcmp(&Plugin_Component, slots, sizeof slots), 0);
}

TEST_F(Lifecycle, WithoutAScriptOrAFreeHookSlot) {
    // FLYRATE unset or empty: nothing at all. All slots taken: the error,
    // and the game keeps running without the benchmark.
    const char *kinds[] = {"FLYRATE unset", "FLYRATE empty", "all four hook slots taken"};
    for (int k = 0; k < 3; k++) {
        SCOPED_TRACE(kinds[k]);
        SetUp();
        setenv("FLYRATE", k == 1 ? "" : Scratch(kScript).c_str(), 1);
        if (k == 0) unsetenv("FLYRATE");
        for (HostDraw2DFn &hook : Game.Draw2DHooks) hook = k == 2 ? OtherHook : nullptr;
        Plugin_Component.Init();
        Plugin_Component.OnNewMapLoaded();
        FakeGame_Frame(1.0);
        Plugin_Component.Free();
        EXPECT_EQ(OutText(), k < 2 ? "" : "flyrate: error: no free Draw2D hook\n");
        EXPECT_EQ(Camera.active, &fakeGame.hostCamera);
        EXPECT_EQ(fakeGame.closeRequests, 0);
        for (HostDraw2DFn hook : Game.Draw2DHooks) EXPECT_EQ(hook, k < 2 ? nullptr : OtherHook);
    }
}

TEST_F(Lifecycle, ClaimsTheFirstFreeHookSlotOnce) {
    Game.Draw2DHooks[0] = Game.Draw2DHooks[1] = OtherHook;
    std::string path = Start(kScript);
    EXPECT_EQ(Out(), std::vector<std::string>{"flyrate: " + path + ": 3 keyframes, 20 frames; warm-up 2-30 s, 1 s without chunk builds"});
    EXPECT_EQ(Game.Draw2DHooks[2], Bench_OnDraw2D);
    EXPECT_EQ(std::vector<double>(bench.frameTimes, bench.frameTimes + 20), std::vector<double>(20, 0.0));
    Plugin_Component.Init();  // a second start-up while configured changes nothing
    EXPECT_TRUE(Out().empty());
    EXPECT_EQ(Game.Draw2DHooks[3], nullptr);
    Plugin_Component.Free();
    EXPECT_EQ(Game.Draw2DHooks[2], nullptr);
    EXPECT_EQ(Game.Draw2DHooks[0], OtherHook);
}

TEST_F(Lifecycle, ABadScriptClosesTheGame) {
    // A game that shuts down inside the close request, and one that calls
    // the free slot after the frame.
    for (bool atOnce : {true, false}) {
        for (const char *script : {(const char *)nullptr, "0 0 0 0 0 0\n9 1 1 1 1 1\n4 2 2 2 2 2\n"}) {
            SetUp();
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
        }
    }
}

TEST_F(Lifecycle, ConfigurationFromTheEnvironment) {
    struct Case {
        const char *name, *value;
        int32_t passes;
        bool set;  // FLYRATE_SHOTS or FLYRATE_CSV taken, as the environment's own string
    } cases[] = {
        {"FLYRATE_PASSES", "", 1, false}, {"FLYRATE_PASSES", "0", 1, false}, {"FLYRATE_PASSES", "1", 1, false},
        {"FLYRATE_PASSES", "-3", 1, false}, {"FLYRATE_PASSES", "text", 1, false}, {"FLYRATE_PASSES", "2", 2, false},
        {"FLYRATE_PASSES", "3xyz", 3, false},
        // An int32 as a C conversion makes it: the low 32 bits.
        {"FLYRATE_PASSES", "4294967299", 3, false}, {"FLYRATE_PASSES", "2147483648", 1, false},
        {"FLYRATE_PASSES", "-4294967294", 2, false},
        {"FLYRATE_SHOTS", "", 1, false}, {"FLYRATE_SHOTS", "/tmp/shots", 1, true},
        {"FLYRATE_CSV", "", 1, false}, {"FLYRATE_CSV", "/tmp/x.csv", 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + c.value);
        SetUp();
        setenv(c.name, c.value, 1);
        Start(kScript);
        EXPECT_EQ(bench.passes, c.passes);
        EXPECT_EQ(bench.shotsDir, c.set && !strcmp(c.name, "FLYRATE_SHOTS") ? getenv(c.name) : nullptr);
        EXPECT_EQ(bench.csvPath, c.set && !strcmp(c.name, "FLYRATE_CSV") ? getenv(c.name) : nullptr);
    }
    SetUp();
    std::string tuned = Start("warmup 0.5 0.25 10\n0 0 0 0 0 0\n8 1 1 1 1 1\n");
    EXPECT_EQ(Out().back(), "flyrate: " + tuned + ": 2 keyframes, 8 frames; warm-up 0.5-10 s, 0.25 s without chunk builds");
}

}  // namespace
