// path.h: the camera path: keyframe script, interpolation, scripted camera.
#pragma once

#include <stdint.h>

#include "plugin/bench.h"

// Reads the keyframe script at path into bench.keyframes, keyframeCount and
// totalFrames (and the warm-up parameters from a warmup line). Returns 1 on
// success; on failure logs why (except when memory runs out) and returns 0.
int Keyframes_Load(const char *path);

// The camera pose at path frame t, interpolated between keyframes.
Keyframe Path_Sample(int32_t t);

// Makes bench.cameraCopy the host's active camera, copying the host's camera
// the first time; counts re-installs while Running.
void BenchCamera_Ensure(void);
Vec2 BenchCamera_GetOrientation(void);
Vec3 BenchCamera_GetPosition(float t);
