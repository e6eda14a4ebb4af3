// Recording a flight: what the game's camera showed, written as a script
// that replays every frame within the tolerance; and every way a recording
// ends without one.
#include <math.h>
#include <signal.h>
#include <sys/resource.h>

#include "path/path.h"
#include "tests/support/plugintest.h"

namespace {

class Recording : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        dir = TestDir_Make();
        file = dir + "/flight.txt";
        setenv("FLYRATE_RECORD", file.c_str(), 1);
    }
    void TearDown() override {
        TestDir_Remove(dir);
        PluginTest::TearDown();
    }
    // The game's camera at frame f: along a slow climbing arc, turning round
    // nearly twice, with the yaw the game reports kept within (-pi, pi].
    static void Pose(int f) {
        fakeGame.position = Vec3{100 * cosf(0.002f * f), 60 + 0.01f * f, 100 * sinf(0.002f * f)};
        fakeGame.orientation = Vec2{remainderf(0.02f * f, 6.2831853f), -0.2f};
    }
    // The map loads, then `frames` frames flown as Pose has it.
    void Fly(int frames) {
        Play("m");
        for (int f = 0; f < frames; f++) Pose(f), Play("f");
    }
    std::string dir, file;
};

TEST_F(Recording, AFlightReplaysWithinTheTolerance) {
    Plugin_Component.Init();
    Play("f");  // before the map: not recorded
    Fly(600);
    Play("q");
    std::vector<std::string> out = Out(), script = TestText_Lines(TestFile_Read(file));
    int keyframes = 0;
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], "flyrate: recording to " + file);
    ASSERT_EQ(sscanf(out[1].c_str(), ("flyrate: recorded 600 frames as %d keyframes to " + file).c_str(), &keyframes), 1);
    EXPECT_LT(keyframes, 100);
    EXPECT_EQ(script[0], "# flyrate recording: 600 frames as " + std::to_string(keyframes) +
                             " keyframes, within 0.01 blocks and 0.05 degrees of each");
    EXPECT_EQ(script[1], "warmup 2 1 30");
    EXPECT_TRUE(Camera.active == &fakeGame.hostCamera && fakeGame.closeRequests == 0) << "only looked at";

    ASSERT_EQ(Keyframes_Load(file.c_str()), 1) << OutText();
    EXPECT_TRUE(bench.keyframeCount == keyframes && bench.totalFrames == 599);
    for (int f = 0, k = 0; f < 600; f++) {
        Pose(f);
        Keyframe p = Path_Sample(f);
        Vec3 at = fakeGame.position;
        EXPECT_LE(fmaxf(fmaxf(fabsf(p.x - at.x), fabsf(p.y - at.y)), fabsf(p.z - at.z)), 0.01f) << f;
        double yaw = remainder(p.orientX - fakeGame.orientation.x / kRadiansPerDegree, 360.0);
        EXPECT_LE(fabs(yaw) + fabs(p.orientY - fakeGame.orientation.y / kRadiansPerDegree), 0.051) << f;
        if (k < keyframes && bench.keyframes[k].frame == f) {  // at a keyframe, the very position
            EXPECT_TRUE(p.x == at.x && p.y == at.y && p.z == at.z) << f;
            k++;
        }
    }
}

TEST_F(Recording, EndsWithoutAScriptWhenItCantMakeOne) {
    struct Case {
        int frames;          // recorded; -1: no map loaded
        std::string record;  // FLYRATE_RECORD, if not the file in dir
        const char *last;    // the last line, up to the file's name
    } cases[] = {
        {-1, "", "flyrate: warning: 0 frames recorded, a script needs two: "},
        {1, "", "flyrate: warning: 1 frames recorded, a script needs two: "},
        {5, "/nonexistent/flight.txt", "flyrate: warning: can't write "},
        {5, "/tmp" + std::string(1012, '/') + "flight.txt", "flyrate: warning: can't write "},  // no room for a suffix
        {5000, "", "flyrate: warning: can't write "},  // the disk fills
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        SetUp();
        FILE *old = fopen(file.c_str(), "w");
        fputs("an older flight\n", old);
        fclose(old);
        if (!c.record.empty()) setenv("FLYRATE_RECORD", c.record.c_str(), 1);
        Plugin_Component.Init();
        if (c.frames >= 0) Fly(c.frames);
        // A file-size limit stands in for a full disk: writes past it fail.
        rlimit limit, small;
        getrlimit(RLIMIT_FSIZE, &limit);
        small = {c.frames == 5000 ? (rlim_t)2000 : limit.rlim_cur, limit.rlim_max};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
        Play("q");
        setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<std::string> out = Out();
        EXPECT_EQ(out.size(), 2u);
        EXPECT_EQ(out.back(), (c.last + (c.record.empty() ? file : c.record) + (c.frames < 2 ? " not written" : "")).substr(0, 1022));
        EXPECT_EQ(TestDir_List(dir), std::vector<std::string>{"flight.txt"}) << "no scratch file left";
        EXPECT_EQ(TestFile_Read(file), "an older flight\n") << "the older file left whole";
    }
}

TEST_F(Recording, IsOffWhileTheBenchmarkRunsAndNeedsAHookSlot) {
    std::string script = Start("0 0 0 0 0 0\n10 1 1 1 1 1\n");
    EXPECT_EQ(Out(), (std::vector<std::string>{"flyrate: warning: FLYRATE runs the benchmark, so recording to " + file + " is off",
                                               "flyrate: " + script + ": 2 keyframes, 10 frames; warm-up 2-30 s, 1 s without chunk builds"}));
    SetUp();
    for (HostDraw2DFn &hook : Game.Draw2DHooks) hook = [](double) {};
    Plugin_Component.Init();
    Play("mfq");
    EXPECT_EQ(OutText(), "flyrate: error: no free Draw2D hook\n");
    EXPECT_TRUE(fakeGame.closeRequests == 0 && TestDir_List(dir).empty());
}

}  // namespace
