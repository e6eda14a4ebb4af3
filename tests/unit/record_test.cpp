// Recording a flight: a script that replays every frame the game's camera
// showed within the tolerance; and the ways a recording ends without one.
#include <math.h>

#include <fstream>

#include "path/path.h"
#include "tests/support/plugintest.h"

namespace {

class Recording : public PluginTest {
protected:
    // Start-up, the map, frames of the game's camera along a climbing arc,
    // turning round nearly twice and looping over once (the angles kept
    // within (-pi, pi], as a game gives them), shutdown.
    std::vector<std::string> Record(int frames, const std::string &record = "") {
        FakeGame_Reset();
        Stdout_Take();
        setenv("FLYRATE_RECORD", (record.empty() ? file : record).c_str(), 1);
        Plugin_Component.Init();
        Play(frames < 0 ? "f" : "fm");  // a frame before the map is not recorded
        for (int f = 0; f < frames; f++) Pose(f), Play("f");
        Play("q");
        return Out();
    }
    static void Pose(int f) {
        fakeGame.position = Vec3{100 * cosf(0.002f * f), 60 + 0.01f * f, 100 * sinf(0.002f * f)};
        fakeGame.orientation = Vec2{remainderf(0.02f * f, 6.2831853f), remainderf(0.013f * f - 0.2f, 6.2831853f)};
    }
    ~Recording() override { TestDir_Remove(dir); }
    std::string dir = TestDir_Make(), file = dir + "/flight.txt";
};

TEST_F(Recording, AFlightReplaysWithinTheTolerance) {
    std::vector<std::string> out = Record(600), script = TestText_Lines(TestFile_Read(file));
    int keyframes = 0;
    ASSERT_TRUE(out.size() == 2 && out[0] == "flyrate: recording to " + file);
    ASSERT_EQ(sscanf(out[1].c_str(), ("flyrate: recorded 600 frames as %d keyframes to " + file).c_str(), &keyframes), 1);
    EXPECT_LT(keyframes, 100);
    EXPECT_EQ(script[0] + script[1], "# flyrate recording: 600 frames as " + std::to_string(keyframes) +
                                         " keyframes, within 0.01 blocks and 0.05 degrees of eachwarmup 2 1 30");
    EXPECT_TRUE(Camera.active == &fakeGame.hostCamera && fakeGame.closeRequests == 0) << "only looked at";
    ASSERT_EQ(Keyframes_Load(file.c_str()), 1) << OutText();
    for (int k = 1; k < bench.keyframeCount; k++)  // unwrapped: a turn replays as that turn, not a spin back
        EXPECT_TRUE(bench.keyframes[k].orientX > bench.keyframes[k - 1].orientX && bench.keyframes[k].orientY > bench.keyframes[k - 1].orientY);
    for (int f = 0, k = 0; f < 600; f++) {
        Pose(f);
        Keyframe p = Path_Sample(f);
        Vec3 at = fakeGame.position;
        EXPECT_LE(fmaxf(fmaxf(fabsf(p.x - at.x), fabsf(p.y - at.y)), fabsf(p.z - at.z)), 0.01f) << f;
        double yaw = remainder(p.orientX - fakeGame.orientation.x / kRadiansPerDegree, 360.0);
        EXPECT_LE(fmax(fabs(yaw), fabs(remainder(p.orientY - fakeGame.orientation.y / kRadiansPerDegree, 360.0))), 0.051) << f;
        bool key = bench.keyframes[k].frame == f;  // at a keyframe, the very position
        EXPECT_TRUE(!key || (p.x == at.x && p.z == at.z && bench.keyframes[k++].y == at.y)) << f;
    }
}

TEST_F(Recording, EndsWithoutAScriptWhenItCantMakeOne) {
    const std::string old = "an older flight\n", notWritten = " frames recorded, a script needs two: " + file + " not written";
    std::ofstream(file) << old;
    EXPECT_EQ(Record(-1).back(), "flyrate: warning: 0" + notWritten) << "no map";
    EXPECT_EQ(Record(1).back(), "flyrate: warning: 1" + notWritten);
    EXPECT_EQ(Record(5, "/nonexistent/flight.txt").back(), "flyrate: warning: can't write /nonexistent/flight.txt");
    std::vector<std::string> full = DiskFullAfter(2000, [&] { return Record(5000); });
    EXPECT_EQ(full.back(), "flyrate: warning: can't write " + file);
    EXPECT_EQ(TestDir_List(dir), std::vector<std::string>{"flight.txt"}) << "no scratch file left";
    EXPECT_EQ(TestFile_Read(file), old) << "the older file left whole";
    // With FLYRATE set too the benchmark runs, and says the recording is off.
    setenv("FLYRATE_RECORD", file.c_str(), 1);
    std::string script = Start("0 0 0 0 0 0\n10 1 1 1 1 1\n");
    EXPECT_EQ(Out().front(), "flyrate: warning: FLYRATE runs the benchmark, so recording to " + file + " is off");
}

}  // namespace
