// The camera path: hand-worked poses to the bit, the search from the last
// segment, and the scripted camera in the game's Camera record.
#include <math.h>

#include <random>

#include "path/path.h"
#include "tests/support/plugintest.h"

namespace {

// Keyframes as a load leaves them, in a table with spare records that a stray search would follow. None: no path.
void SetPath(const std::vector<Keyframe> &keyframes) {
    FakeGame_Reset();
    if (keyframes.empty()) return;
    std::vector<Keyframe> table(keyframes);
    table.resize(keyframes.size() + 4, Keyframe{INT32_MIN, 0, 0, 0, 0, 0});
    bench.keyframes = (Keyframe *)malloc(table.size() * sizeof(Keyframe));
    memcpy(bench.keyframes, table.data(), table.size() * sizeof(Keyframe));
    bench.keyframeCount = (int32_t)keyframes.size(), bench.totalFrames = keyframes.back().frame;
}

bool Same(const Keyframe &a, const Keyframe &b) { return memcmp(&a, &b, sizeof a) == 0; }  // to the bit, no padding

using PathSample = PluginTest;

TEST_F(PathSample, PosesAtHandWorkedFrames) {
    const std::vector<Keyframe> odd = {{0, 0.1f, 0.2f, 0.3f, 350, -10}, {3, 0.7f, -1.3f, 1e-7f, 123.456f, -0.1f}, {7, 1, 2, 3, 10, 10}};
    const std::vector<Keyframe> four = {{0, 0, 0, 0, 0, 0}, {10, 8, 4, 1, 0, 0}, {30, 8, -4, 2, 100, 0}, {34, 0, 0, 0, 0, 0}};
    // u = 1/3 rounds up to 11184811 / 2^25; times 3 that is 1 + 2^-25, and -1
    // plus that in one rounding is 2^-25 (0 with the product rounded first).
    // At 2/3 the sum ties between 1 and the next float: even wins.
    const std::vector<Keyframe> third = {{0, -1, -1, 0, 0, 0}, {3, 2, 2, 0, 0, 0}};
    const float tiny = ldexpf(1.0f, -25);
    // Angles are plain numbers: 350 to 10 degrees turns back through 180.
    const std::vector<Keyframe> turn = {{0, 0, 0, 0, 350, -170}, {4, 0, 0, 0, 10, 170}};
    struct Case {
        const std::vector<Keyframe> *path;
        int32_t t;
        Keyframe pose;
    } cases[] = {
        // Outside the path: the end keyframes whole, their own frame kept; at an
        // inner keyframe's frame its values exactly (u is 0 on the segment from it).
        {&odd, -1, odd[0]}, {&odd, INT32_MIN, odd[0]}, {&odd, 7, odd[2]}, {&odd, INT32_MAX, odd[2]}, {&odd, 3, odd[1]},
        {&four, 1, {1, 0.8f, 0.4f, 0.1f, 0, 0}}, {&four, 15, {15, 8, 2, 1.25f, 25, 0}}, {&four, 20, {20, 8, 0, 1.5f, 50, 0}},
        {&four, 30, four[2]}, {&four, 33, {33, 2, -1, 0.5f, 25, 0}},
        {&third, 1, {1, tiny, tiny, 0, 0, 0}}, {&third, 2, {2, 1, 1, 0, 0, 0}},
        {&turn, 1, {1, 0, 0, 0, 265, -85}}, {&turn, 3, {3, 0, 0, 0, 95, 85}},
    };
    for (const Case &c : cases) {
        SetPath(*c.path);
        EXPECT_TRUE(Same(Path_Sample(c.t), c.pose)) << c.t;
    }
    SetPath({});  // released by the free slot: a late callback gets a zero pose, not freed memory
    EXPECT_TRUE(Same(Path_Sample(12), Keyframe{12, 0, 0, 0, 0, 0}));
}

TEST_F(PathSample, SearchFromTheLastSegmentFindsWhatASearchFromNothingFinds) {
    // A long random path, played frame by frame with jumps back and forth.
    std::mt19937 rng(20240611);
    std::vector<Keyframe> k;
    for (int i = 0, frame = 0; i < 5000; i++, frame += (int)(rng() % 4) + 1) k.push_back({frame, (float)(rng() % 1000) * 0.1f, 1, 2, 3, 4});
    SetPath(k);
    int32_t segment = 0, t = -3;
    for (int i = 0; i < 100000; i++, t = rng() % 50 ? t + 1 : (int32_t)(rng() % (uint32_t)k.back().frame)) {
        Keyframe near = Path_SampleNear(t, &segment), searched = Path_Sample(t);
        ASSERT_TRUE(Same(near, searched)) << t;
    }
    // Passes of a short path: each new one starts again at frame 1 with the
    // hint on the last segment.
    SetPath({{0, 0, 0, 0, 0, 0}, {4, 8, 0, 0, 0, 0}, {8, 0, 0, 0, 0, 0}});
    segment = 1;
    for (int pass = 1; pass <= 2; pass++)
        for (t = 1; t <= 8; t++) ASSERT_TRUE(Same(Path_SampleNear(t, &segment), Path_Sample(t))) << pass << ": " << t;
}

class BenchCamera : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        // x 0 -> 10, y 64, z -2 -> 2, orientX 350 -> 10, orientY -45 -> 45 over frames 0 to 10.
        SetPath({{0, 0, 64, -2, 350, -45}, {10, 10, 64, 2, 10, 45}});
    }
};

TEST_F(BenchCamera, InstallsACopyAndPutsItBack) {
    // The first install copies the game's camera but for the flag and the
    // callbacks; later ones, counted while Running, put the copy back.
    HostCamera host = fakeGame.hostCamera;
    bench.state = RunState_Running;
    for (HostCamera *active : {&fakeGame.hostCamera, &bench.cameraCopy, &fakeGame.otherCamera, &fakeGame.hostCamera}) {
        Camera.active = active;
        BenchCamera_Ensure();
    }
    HostCamera copy = bench.cameraCopy;
    EXPECT_TRUE(copy.flag == 0 && copy.GetOrientation == BenchCamera_GetOrientation && copy.GetPosition == BenchCamera_GetPosition);
    copy.flag = host.flag, copy.GetOrientation = host.GetOrientation, copy.GetPosition = host.GetPosition;
    EXPECT_EQ(memcmp(&copy, &host, sizeof copy), 0);
    EXPECT_TRUE(Camera.active == &bench.cameraCopy && bench.savedCamera == &fakeGame.hostCamera && bench.cameraSwitches == 3);
    SetUp();
    Camera.active = nullptr;  // nothing to copy from: nothing installed
    BenchCamera_Ensure();
    EXPECT_EQ(Camera.active, nullptr);
}

TEST_F(BenchCamera, AnswersTheGameFromThePath) {
    // Radians in float of the degrees times pi/180 in double: 350 degrees
    // rounds to ...15 that way, to ...14 in float.
    const uint32_t radians[][3] = {{0, 0x40c37a15u, 0xbf490fdbu}, {5, 0x40490fdbu, 0}, {10, 0x3e32b8c2u, 0x3f490fdbu}};
    BenchCamera_Ensure();
    for (const uint32_t *r : radians) {
        bench.curFrame = (int32_t)r[0];
        Vec2 o = Camera.active->GetOrientation();
        EXPECT_TRUE(!memcmp(&o.x, &r[1], 4) && !memcmp(&o.y, &r[2], 4)) << r[0];
    }
    // The position resets the view and writes the entity's angles (degrees:
    // orientX at 24, orientY at 20), nothing else; without an entity, the rest.
    for (HostEntity *entity : {&fakeGame.entity, (HostEntity *)nullptr}) {
        memset(&Camera, 0x5A, sizeof Camera);
        Camera.active = &bench.cameraCopy;
        HostCameraState expected = Camera;
        memset(expected.matrix, 0, sizeof expected.matrix + sizeof expected.field72);  // the field right after
        for (int i = 0; i < 16; i += 5) expected.matrix[i] = 1.0f;
        expected.float120 = 0.0f;
        Entities.cameraEntity = entity;
        fakeGame.entity.headX = fakeGame.entity.headY = -99.0f;
        bench.curFrame = 5;
        Vec3 p = Camera.active->GetPosition(0.75f);  // the argument is not the path's frame
        EXPECT_TRUE(p.x == 5.0f && p.y == 64.0f && p.z == 0.0f);
        EXPECT_EQ(memcmp(&Camera, &expected, sizeof expected), 0);
        EXPECT_TRUE(fakeGame.entity.headX == (entity ? 180.0f : -99.0f) && fakeGame.entity.headY == (entity ? 0.0f : -99.0f));
    }
}

}  // namespace
