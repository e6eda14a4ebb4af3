// The scripted camera: installing it in the fake game's Camera record, and
// what its two callbacks answer and write.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "path/path.h"
#include "plugin/bench.h"
#include "tests/support/fakehost.h"
#include "tests/support/testbench.h"

namespace {

uint32_t Bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof u);
    return u;
}

class BenchCameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost_Reset();
        TestBench_Reset();
        // Recognisable bytes in the host camera's slots we don't replace.
        for (size_t i = 0; i < sizeof fakeHost.hostCamera.unknown1; i++) fakeHost.hostCamera.unknown1[i] = (uint8_t)(i + 1);
        memset(fakeHost.otherCamera.unknown40, 0xCD, sizeof fakeHost.otherCamera.unknown40);
        hostBefore = fakeHost.hostCamera;

        // Frame 0 to 10: x 0 -> 10, y 64, z -2 -> 2, orientX 350 -> 10, orientY -45 -> 45.
        bench.keyframes = (Keyframe *)malloc(2 * sizeof(Keyframe));
        bench.keyframes[0] = Keyframe{0, 0, 64, -2, 350, -45};
        bench.keyframes[1] = Keyframe{10, 10, 64, 2, 10, 45};
        bench.keyframeCount = 2;
        bench.totalFrames = 10;
    }
    void TearDown() override { TestBench_Reset(); }

    HostCamera hostBefore;
};

TEST_F(BenchCameraTest, FirstInstallCopiesAndSavesTheHostCamera) {
    bench.state = RunState_WarmingUp;
    BenchCamera_Ensure();

    EXPECT_EQ(Camera.active, &bench.cameraCopy);
    EXPECT_EQ(bench.savedCamera, &fakeHost.hostCamera);
    EXPECT_EQ(bench.cameraCopy.flag, 0);
    EXPECT_EQ(bench.cameraCopy.GetOrientation, &BenchCamera_GetOrientation);
    EXPECT_EQ(bench.cameraCopy.GetPosition, &BenchCamera_GetPosition);
    EXPECT_EQ(memcmp(bench.cameraCopy.unknown1, hostBefore.unknown1, sizeof hostBefore.unknown1), 0);
    EXPECT_EQ(memcmp(bench.cameraCopy.unknown40, hostBefore.unknown40, sizeof hostBefore.unknown40), 0);
    // The host's own camera is left as it was.
    EXPECT_EQ(memcmp(&fakeHost.hostCamera, &hostBefore, sizeof hostBefore), 0);
    EXPECT_EQ(bench.cameraSwitches, 0);
}

TEST_F(BenchCameraTest, InstallingTwiceChangesNothingTheSecondTime) {
    for (RunState state : {RunState_WarmingUp, RunState_Running}) {
        SetUp();
        bench.state = state;
        BenchCamera_Ensure();
        int32_t switches = bench.cameraSwitches;
        HostCamera copy = bench.cameraCopy;
        BenchCamera_Ensure();
        EXPECT_EQ(bench.cameraSwitches, switches) << state;
        EXPECT_EQ(memcmp(&copy, &bench.cameraCopy, sizeof copy), 0) << state;
        EXPECT_EQ(Camera.active, &bench.cameraCopy);
        EXPECT_EQ(bench.savedCamera, &fakeHost.hostCamera);
    }
}

TEST_F(BenchCameraTest, ReinstallsCountOnlyWhileRunning) {
    struct Case {
        RunState state;
        int32_t counted;
    } cases[] = {
        {RunState_Armed, 0}, {RunState_WarmingUp, 0}, {RunState_Running, 1}, {RunState_Finished, 0},
    };
    for (const Case &c : cases) {
        SetUp();
        bench.state = RunState_WarmingUp;
        BenchCamera_Ensure();
        HostCamera copy = bench.cameraCopy;

        bench.state = c.state;
        Camera.active = &fakeHost.otherCamera;  // the game switches cameras
        BenchCamera_Ensure();
        EXPECT_EQ(Camera.active, &bench.cameraCopy) << c.state;
        EXPECT_EQ(bench.cameraSwitches, c.counted) << c.state;
        // The camera switched to is never copied or saved.
        EXPECT_EQ(bench.savedCamera, &fakeHost.hostCamera) << c.state;
        EXPECT_EQ(memcmp(&copy, &bench.cameraCopy, sizeof copy), 0) << c.state;
    }
}

TEST_F(BenchCameraTest, CountsEveryReinstallInAPass) {
    BenchCamera_Ensure();
    bench.state = RunState_Running;
    for (int i = 1; i <= 3; i++) {
        Camera.active = (i % 2) ? &fakeHost.otherCamera : &fakeHost.hostCamera;
        BenchCamera_Ensure();
        BenchCamera_Ensure();
        EXPECT_EQ(bench.cameraSwitches, i);
    }
    EXPECT_EQ(bench.savedCamera, &fakeHost.hostCamera);
}

TEST_F(BenchCameraTest, WithNoActiveCameraInstallsNothing) {
    // Nothing to copy the game's other slots from: leave the game alone.
    Camera.active = nullptr;
    bench.state = RunState_Running;
    BenchCamera_Ensure();
    EXPECT_EQ(Camera.active, nullptr);
    EXPECT_EQ(bench.savedCamera, nullptr);
    EXPECT_EQ(bench.cameraSwitches, 0);
    // Once the game has a camera, the first install happens as usual.
    Camera.active = &fakeHost.hostCamera;
    BenchCamera_Ensure();
    EXPECT_EQ(bench.savedCamera, &fakeHost.hostCamera);
    EXPECT_EQ(Camera.active, &bench.cameraCopy);
}

TEST_F(BenchCameraTest, OrientationIsThePathsAnglesInRadiansRoundedToFloat) {
    struct Case {
        int32_t frame;
        uint32_t x, y;  // float bits
    } cases[] = {
        // 350 degrees: the double product rounds to ...15; a float product
        // would give ...14. -45 degrees is -pi/4.
        {0, 0x40c37a15u, 0xbf490fdbu},
        {5, 0x40490fdbu, 0x00000000u},   // 180 and 0 degrees
        {10, 0x3e32b8c2u, 0x3f490fdbu},  // 10 and 45 degrees
        {-4, 0x40c37a15u, 0xbf490fdbu},
    };
    for (const Case &c : cases) {
        bench.curFrame = c.frame;
        Vec2 r = BenchCamera_GetOrientation();
        EXPECT_EQ(Bits(r.x), c.x) << "frame " << c.frame << ": " << r.x;
        EXPECT_EQ(Bits(r.y), c.y) << "frame " << c.frame << ": " << r.y;
    }
    // A hand-made path at 27 degrees, where float and double products differ.
    bench.keyframes[0].orientX = 27;
    bench.curFrame = 0;
    EXPECT_EQ(Bits(BenchCamera_GetOrientation().x), 0x3ef1463au);
}

TEST_F(BenchCameraTest, PositionResetsTheViewAndWritesTheEntityAngles) {
    for (int i = 0; i < 16; i++) Camera.matrix[i] = 7.0f + (float)i;
    memset(Camera.field72, 0xFF, sizeof Camera.field72);
    Camera.float120 = 3.5f;
    memset(Camera.unknown80, 0x5A, sizeof Camera.unknown80);
    HostCameraState before = Camera;
    fakeHost.entity.headX = fakeHost.entity.headY = -99.0f;

    bench.curFrame = 5;
    Vec3 p = BenchCamera_GetPosition(0.75f);  // the argument is ignored
    EXPECT_EQ(p.x, 5.0f);
    EXPECT_EQ(p.y, 64.0f);
    EXPECT_EQ(p.z, 0.0f);
    for (int row = 0; row < 4; row++)
        for (int col = 0; col < 4; col++)
            EXPECT_EQ(Camera.matrix[row * 4 + col], row == col ? 1.0f : 0.0f) << row << "," << col;
    for (uint8_t b : Camera.field72) EXPECT_EQ(b, 0);
    EXPECT_EQ(Bits(Camera.float120), 0u);
    // Degrees as they stand in the path: orientX at byte 24, orientY at 20.
    EXPECT_EQ(fakeHost.entity.headX, 180.0f);
    EXPECT_EQ(fakeHost.entity.headY, 0.0f);
    // Nothing else in Camera is touched.
    EXPECT_EQ(memcmp(before.unknown0, Camera.unknown0, sizeof before.unknown0), 0);
    EXPECT_EQ(memcmp(before.unknown80, Camera.unknown80, sizeof before.unknown80), 0);
    EXPECT_EQ(Camera.active, before.active);
    EXPECT_EQ(memcmp(before.unknown104, Camera.unknown104, sizeof before.unknown104), 0);

    // Every call resets again, whatever the game wrote in between.
    Camera.matrix[3] = 2.0f;
    Camera.float120 = 1.0f;
    bench.curFrame = 10;
    p = BenchCamera_GetPosition(0.0f);
    EXPECT_EQ(p.x, 10.0f);
    EXPECT_EQ(p.z, 2.0f);
    EXPECT_EQ(Camera.matrix[3], 0.0f);
    EXPECT_EQ(Camera.float120, 0.0f);
    EXPECT_EQ(fakeHost.entity.headX, 10.0f);
    EXPECT_EQ(fakeHost.entity.headY, 45.0f);
}

TEST_F(BenchCameraTest, PositionWorksWithoutAnEntity) {
    Entities.cameraEntity = nullptr;
    Camera.matrix[0] = 0.0f;
    Camera.matrix[1] = 9.0f;
    Camera.float120 = 2.0f;
    bench.curFrame = 0;
    Vec3 p = BenchCamera_GetPosition(0.0f);
    EXPECT_EQ(p.x, 0.0f);
    EXPECT_EQ(p.y, 64.0f);
    EXPECT_EQ(p.z, -2.0f);
    EXPECT_EQ(Camera.matrix[0], 1.0f);
    EXPECT_EQ(Camera.matrix[1], 0.0f);
    EXPECT_EQ(Camera.float120, 0.0f);
}

TEST_F(BenchCameraTest, TheGameRendersFromThePathThroughTheInstalledCamera) {
    BenchCamera_Ensure();
    bench.curFrame = 5;
    // The game calls through its active pointer, as it does while rendering.
    Vec2 o = Camera.active->GetOrientation();
    Vec3 p = Camera.active->GetPosition(0.5f);
    EXPECT_EQ(Bits(o.x), 0x40490fdbu);
    EXPECT_EQ(p.x, 5.0f);
    // The saved host camera still answers with the game's own pose.
    EXPECT_EQ(bench.savedCamera->GetPosition(4.0f).x, 4.0f);
}

TEST_F(BenchCameraTest, CallbacksAfterThePathIsReleasedAnswerWithoutCrashing) {
    BenchCamera_Ensure();
    free(bench.keyframes);
    bench.keyframes = nullptr;
    bench.curFrame = 3;
    Vec2 o = Camera.active->GetOrientation();
    Vec3 p = Camera.active->GetPosition(0.0f);
    EXPECT_EQ(o.x, 0.0f);
    EXPECT_EQ(o.y, 0.0f);
    EXPECT_EQ(p.x, 0.0f);
    EXPECT_EQ(Camera.matrix[0], 1.0f);
}

}  // namespace
