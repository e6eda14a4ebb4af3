// path.h: the camera path: keyframe script, interpolation, scripted camera.
#pragma once

#include <stdint.h>

#include "plugin/bench.h"

// pi / 180, applied in double precision between a script's degrees and the
// game's radians.
static constexpr double kRadiansPerDegree = 0.017453292519943295;

// Reads the keyframe script at path into bench.keyframes, keyframeCount and
// totalFrames (and the warm-up parameters from a warmup line). Returns 1 on
// success; on failure logs why (except when memory runs out) and returns 0.
int Keyframes_Load(const char *path);

// The camera pose at path frame t, interpolated between keyframes.
Keyframe Path_Sample(int32_t t);
// The same, starting the search from *segment (the index of the keyframe
// that ended the last segment used) and leaving there the one used now.
Keyframe Path_SampleNear(int32_t t, int32_t *segment);
// The pose at frame t on the straight line from k0 to k1, as sampling
// computes it.
Keyframe Path_Interpolate(const Keyframe &k0, const Keyframe &k1, int32_t t);

// Makes bench.cameraCopy the host's active camera, copying the host's camera
// the first time; counts re-installs while Running.
void BenchCamera_Ensure(void);
Vec2 BenchCamera_GetOrientation(void);
Vec3 BenchCamera_GetPosition(float t);

// Recording a flight (FLYRATE_RECORD=file): Start makes sure the script can
// be written, by creating the scratch file it grows in, and finishes a
// recording a crash left there instead. Returns 1 when the recording starts,
// 0 when it doesn't (having said why). Frame samples the game's active
// camera once per rendered frame and saves the samples to the scratch file
// every few seconds; Finish writes the fewest-keyframe script that replays
// every sample within the tolerance over the file.
int Record_Start(const char *file);
void Record_Frame(double now);
void Record_Finish(void);
