// The camera path: hand-worked poses checked to the bit, the segment search
// against the plain linear definition on random paths, and the scripted
// camera installed in the game's Camera record by run state.
#include <math.h>
#include <string.h>

#include <random>

#include "path/path.h"
#include "tests/support/plugintest.h"

namespace {

// Installs keyframes as a successful load leaves them; none: no path.
void SetPath(const std::vector<Keyframe> &keyframes) {
    FakeGame_Reset();
    if (keyframes.empty()) return;
    bench.keyframes = (Keyframe *)malloc(keyframes.size() * sizeof(Keyframe));
    memcpy(bench.keyframes, keyframes.data(), keyframes.size() * sizeof(Keyframe));
    bench.keyframeCount = (int32_t)keyframes.size();
    bench.totalFrames = keyframes.back().frame;
}

uint32_t Bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof u);
    return u;
}

// All six fields to the bit (Keyframe has no padding).
::testing::AssertionResult SamePose(const Keyframe &a, const Keyframe &b) {
    if (memcmp(&a, &b, sizeof a) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "frame " << a.frame << " vs " << b.frame << "; " << a.x << "," << a.y << ","
                                         << a.z << "," << a.orientX << "," << a.orientY << " vs " << b.x << "," << b.y
                                         << "," << b.z << "," << b.orientX << "," << b.orientY;
}

using PathSample = PluginTest;

TEST_F(PathSample, PosesAtHandWorkedFrames) {
    const std::vector<Keyframe> line = {{0, 0, 10, -4, 0, 0}, {10, 100, 20, 4, 90, -30}};
    const std::vector<Keyframe> odd = {{0, 0.1f, 0.2f, 0.3f, 350, -10}, {3, 0.7f, -1.3f, 1e-7f, 123.456f, -0.1f},
                                       {7, 1.1f, 1.2f, 1.3f, 10, 10}};
    const std::vector<Keyframe> four = {{0, 0, 0, 0, 0, 0}, {10, 8, 4, 1, 0, 0}, {30, 8, -4, 2, 100, 0}, {34, 0, 0, 0, 0, 0}};
    // u = 1/3 rounds up to 11184811 / 2^25; times 3 that is 1 + 2^-25, and
    // -1 plus that in one rounding is 2^-25 (0 if the product were rounded
    // first). At 2/3 the sum ties between 1 and the next float: even wins.
    const std::vector<Keyframe> third = {{0, -1, -1, 0, 0, 0}, {3, 2, 2, 0, 0, 0}};
    const float tiny = ldexpf(1.0f, -25);
    // Angles are plain numbers: 350 to 10 degrees turns back through 180.
    const std::vector<Keyframe> turn = {{0, 0, 0, 0, 350, -170}, {4, 0, 0, 0, 10, 170}};
    struct Case {
        const std::vector<Keyframe> *path;
        int32_t t;
        Keyframe pose;
    } cases[] = {
        {&line, 5, {5, 50, 15, 0, 45, -15}}, {&line, 10, line[1]}, {&line, 0, line[0]},
        // Outside the path: the end keyframes whole, their own frame kept.
        {&odd, -1, odd[0]}, {&odd, INT32_MIN, odd[0]}, {&odd, 8, odd[2]}, {&odd, INT32_MAX, odd[2]},
        // An inner keyframe's frame: u is 0 on the segment starting there.
        {&odd, 3, odd[1]},
        {&four, 1, {1, 0.8f, 0.4f, 0.1f, 0, 0}}, {&four, 15, {15, 8, 2, 1.25f, 25, 0}},
        {&four, 20, {20, 8, 0, 1.5f, 50, 0}}, {&four, 30, four[2]}, {&four, 33, {33, 2, -1, 0.5f, 25, 0}},
        {&third, 1, {1, tiny, tiny, 0, 0, 0}}, {&third, 2, {2, 1, 1, 0, 0, 0}},
        {&turn, 1, {1, 0, 0, 0, 265, -85}}, {&turn, 2, {2, 0, 0, 0, 180, 0}}, {&turn, 3, {3, 0, 0, 0, 95, 85}},
    };
    for (const Case &c : cases) {
        SetPath(*c.path);
        EXPECT_TRUE(SamePose(Path_Sample(c.t), c.pose)) << "t " << c.t;
        EXPECT_TRUE(memcmp(bench.keyframes, c.path->data(), c.path->size() * sizeof(Keyframe)) == 0) << "changed";
    }
    // No path (released by the free slot): a late camera callback gets a
    // zero pose at the frame, not freed memory.
    SetPath({});
    EXPECT_TRUE(SamePose(Path_Sample(12), Keyframe{12, 0, 0, 0, 0, 0}));
}

// The segment lookup as first defined: a linear scan from index 1 for the
// first keyframe whose frame is greater than t.
Keyframe LinearSample(const std::vector<Keyframe> &k, int32_t t) {
    if (t <= 0) return k.front();
    if (t >= k.back().frame) return k.back();
    size_t i = 1;
    while (k[i].frame <= t) i++;
    const Keyframe &a = k[i - 1], &b = k[i];
    float u = (float)(t - a.frame) / (float)(b.frame - a.frame);
    return {t, fmaf(b.x - a.x, u, a.x), fmaf(b.y - a.y, u, a.y), fmaf(b.z - a.z, u, a.z),
            fmaf(b.orientX - a.orientX, u, a.orientX), fmaf(b.orientY - a.orientY, u, a.orientY)};
}

TEST_F(PathSample, SearchMatchesTheLinearScan) {
    // Random paths from a keyframe every frame to keyframes near the int32
    // limit apart, sampled around every keyframe and at random frames; and
    // with the search starting from the segment of the sample before.
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
    const int32_t maxGaps[] = {1, 3, 40, 400, INT32_MAX / 1100};
    for (int script = 0; script < 150; script++) {
        int32_t maxGap = maxGaps[script % 5], frame = 0;
        std::vector<Keyframe> k;
        for (int i = 0, n = 2 + script * 7 % 160; i < n; i++, frame += std::uniform_int_distribution<int32_t>(1, maxGap)(rng))
            k.push_back({frame, ldexpf(value(rng), i % 13 - 6), value(rng), value(rng), value(rng), value(rng)});
        SetPath(k);
        std::vector<int32_t> ts;
        for (const Keyframe &key : k)
            for (int32_t d = -2; d <= 2; d++) ts.push_back(key.frame + d);
        for (int i = 0; i < 1000; i++) ts.push_back(std::uniform_int_distribution<int32_t>(-5, k.back().frame)(rng));
        int32_t segment = 0;
        for (int32_t t : ts) {
            ASSERT_TRUE(SamePose(Path_Sample(t), LinearSample(k, t))) << "script " << script << ", t " << t;
            ASSERT_TRUE(SamePose(Path_SampleNear(t, &segment), LinearSample(k, t))) << "script " << script << ", t " << t;
        }
    }
}

// The scripted camera on a path from frame 0 to 10: x 0 -> 10, y 64, z -2 -> 2,
// orientX 350 -> 10, orientY -45 -> 45.
class BenchCamera : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        SetPath({{0, 0, 64, -2, 350, -45}, {10, 10, 64, 2, 10, 45}});
    }
};

TEST_F(BenchCamera, InstallsACopyAndPutsItBackByRunState) {
    for (RunState state : {RunState_Armed, RunState_WarmingUp, RunState_Running, RunState_Finished}) {
        SCOPED_TRACE(state);
        SetUp();
        const int counted = state == RunState_Running;
        HostCamera host = fakeGame.hostCamera;
        bench.state = state;
        BenchCamera_Ensure();
        // The game's camera, copied whole but for the flag and the callbacks.
        HostCamera copy = bench.cameraCopy;
        EXPECT_EQ(copy.flag, 0);
        EXPECT_EQ(copy.GetOrientation, &BenchCamera_GetOrientation);
        EXPECT_EQ(copy.GetPosition, &BenchCamera_GetPosition);
        copy.flag = host.flag, copy.GetOrientation = host.GetOrientation, copy.GetPosition = host.GetPosition;
        EXPECT_EQ(memcmp(&copy, &host, sizeof copy), 0);
        EXPECT_EQ(bench.savedCamera, &fakeGame.hostCamera);
        // Installed: nothing more happens. The game switches cameras: put
        // back, counted only while Running; the camera switched to is
        // never copied or saved.
        copy = bench.cameraCopy;
        for (HostCamera *active : {&bench.cameraCopy, &fakeGame.otherCamera, &fakeGame.hostCamera}) {
            Camera.active = active;
            BenchCamera_Ensure();
        }
        EXPECT_EQ(Camera.active, &bench.cameraCopy);
        EXPECT_EQ(bench.cameraSwitches, 3 * counted);
        EXPECT_EQ(bench.savedCamera, &fakeGame.hostCamera);
        EXPECT_EQ(memcmp(&copy, &bench.cameraCopy, sizeof copy), 0);
    }
    // With no active camera there is nothing to copy: nothing is installed.
    SetUp();
    Camera.active = nullptr;
    BenchCamera_Ensure();
    EXPECT_EQ(Camera.active, nullptr);
    EXPECT_EQ(bench.savedCamera, nullptr);
}

TEST_F(BenchCamera, AnswersTheGameFromThePath) {
    // Radians in float of the angles times pi/180 in double: 350 degrees
    // rounds to ...15 that way, to ...14 in float.
    struct Case {
        int32_t frame;
        uint32_t x, y;  // float bits
    } cases[] = {{0, 0x40c37a15u, 0xbf490fdbu}, {-4, 0x40c37a15u, 0xbf490fdbu}, {5, 0x40490fdbu, 0}, {10, 0x3e32b8c2u, 0x3f490fdbu}};
    BenchCamera_Ensure();
    for (const Case &c : cases) {
        bench.curFrame = c.frame;
        Vec2 r = Camera.active->GetOrientation();
        EXPECT_EQ(Bits(r.x), c.x) << c.frame;
        EXPECT_EQ(Bits(r.y), c.y) << c.frame;
    }
    // The position resets the view, writes the entity's angles (degrees as
    // the path has them: orientX at byte 24, orientY at 20), and touches
    // nothing else; without an entity it does the rest.
    for (HostEntity *entity : {&fakeGame.entity, (HostEntity *)nullptr}) {
        memset(&Camera, 0x5A, sizeof Camera);
        Camera.active = &bench.cameraCopy;
        HostCameraState before = Camera;
        Entities.cameraEntity = entity;
        fakeGame.entity.headX = fakeGame.entity.headY = -99.0f;
        bench.curFrame = 5;
        Vec3 p = Camera.active->GetPosition(0.75f);  // the argument is not the path's frame
        EXPECT_TRUE(p.x == 5.0f && p.y == 64.0f && p.z == 0.0f);
        for (int i = 0; i < 16; i++) before.matrix[i] = i % 5 == 0 ? 1.0f : 0.0f;
        memset(before.field72, 0, sizeof before.field72);
        before.float120 = 0.0f;
        EXPECT_EQ(memcmp(&Camera, &before, sizeof before), 0);
        EXPECT_EQ(fakeGame.entity.headX, entity ? 180.0f : -99.0f);
        EXPECT_EQ(fakeGame.entity.headY, entity ? 0.0f : -99.0f);
    }
}

}  // namespace
