// camera.cpp: the scripted camera the game renders from during a run.
//
// The game renders from whatever camera object Camera.active points at. We
// point it at bench.cameraCopy: a copy of the game's own camera whose two
// pose callbacks answer from the path at bench.curFrame, so everything else
// the game's camera does stays in force.
#include <string.h>

#include "path/path.h"
#include "plugin/bench.h"
#include "plugin/host.h"

void BenchCamera_Ensure(void) {
    if (Camera.active == &bench.cameraCopy) return;
    if (!bench.savedCamera) {
        // With no active camera there is nothing to copy the game's other
        // slots from; a copy with them null would crash the renderer.
        if (!Camera.active) return;
        bench.savedCamera = Camera.active;
        memcpy(&bench.cameraCopy, Camera.active, sizeof bench.cameraCopy);
        bench.cameraCopy.flag = 0;
        bench.cameraCopy.GetOrientation = BenchCamera_GetOrientation;
        bench.cameraCopy.GetPosition = BenchCamera_GetPosition;
    }
    Camera.active = &bench.cameraCopy;
    // The game switching cameras mid-pass disturbs the timing; the report
    // says how often it happened.
    if (bench.state == RunState_Running) bench.cameraSwitches++;
}

// The path's pose at curFrame, sampled once however often the game asks.
static const Keyframe &BenchCamera_Pose(void) {
    if (!bench.poseValid || bench.poseFrame != bench.curFrame) {
        bench.pose = Path_SampleNear(bench.curFrame, &bench.poseSegment);
        bench.poseFrame = bench.curFrame;
        bench.poseValid = bench.keyframes != nullptr;
    }
    return bench.pose;
}

Vec2 BenchCamera_GetOrientation(void) {
    const Keyframe &pose = BenchCamera_Pose();
    Vec2 radians;
    radians.x = (float)((double)pose.orientX * kRadiansPerDegree);
    radians.y = (float)((double)pose.orientY * kRadiansPerDegree);
    return radians;
}

Vec3 BenchCamera_GetPosition(float t) {
    (void)t;  // the path frame, not the game's tick fraction, decides the pose
    const Keyframe &pose = BenchCamera_Pose();

    // Every call starts the view from the identity with the fields after it
    // cleared, so nothing the game's own camera left there carries over.
    for (int i = 0; i < 16; i++) Camera.matrix[i] = (i % 5 == 0) ? 1.0f : 0.0f;
    memset(Camera.field72, 0, sizeof Camera.field72);
    Camera.float120 = 0.0f;

    HostEntity *entity = Entities.cameraEntity;
    if (entity) {
        entity->headX = pose.orientX;
        entity->headY = pose.orientY;
    }
    Vec3 position;
    position.x = pose.x;
    position.y = pose.y;
    position.z = pose.z;
    return position;
}
