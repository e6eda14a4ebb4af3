// sample.cpp: the camera pose at any path frame.
//
// Poses are interpolated linearly between the two keyframes around the
// frame, with one 32-bit fused multiply-add per component, so every pose is
// reproducible to the bit. A path played frame by frame stays on a segment
// for many frames, so a search starts from the last segment; anywhere else
// the segment is found by binary search rather than by walking the table:
// long recorded paths cost no more per frame than short ones.
#include <math.h>
#include <stdint.h>

#include "path/path.h"
#include "plugin/bench.h"

// Index of the first keyframe after index 0 whose frame is greater than t,
// or count when there is none. Frames strictly ascend, so "frame > t" is
// false up to some index and true from there on. The boundary lies in
// [base, base + n] throughout: each step looks at base + half, moves base
// there when that frame is still <= t, and drops half of the range either
// way, until one candidate is left. The step is a conditional move, not a
// branch, so a frame anywhere in a long path costs the same few loads with
// no mispredicted jumps.
static int32_t Path_FindSegmentEnd(const Keyframe *keyframes, int32_t count, int32_t t) {
    const Keyframe *base = keyframes + 1;
    int32_t n = count - 1;
    while (n > 1) {
        int32_t half = n / 2;
        base = base[half].frame <= t ? base + half : base;
        n -= half;
    }
    return (int32_t)(base - keyframes) + (base->frame <= t ? 1 : 0);
}

// Whether the segment ending at keyframe `end` holds frame t.
static bool Path_Holds(const Keyframe *keyframes, int32_t count, int32_t end, int32_t t) {
    return end >= 1 && end < count && keyframes[end - 1].frame <= t && t < keyframes[end].frame;
}

Keyframe Path_Interpolate(const Keyframe &k0, const Keyframe &k1, int32_t t) {
    float u = (float)(t - k0.frame) / (float)(k1.frame - k0.frame);
    Keyframe pose;
    pose.frame = t;
    pose.x = fmaf(k1.x - k0.x, u, k0.x);
    pose.y = fmaf(k1.y - k0.y, u, k0.y);
    pose.z = fmaf(k1.z - k0.z, u, k0.z);
    pose.orientX = fmaf(k1.orientX - k0.orientX, u, k0.orientX);
    pose.orientY = fmaf(k1.orientY - k0.orientY, u, k0.orientY);
    return pose;
}

Keyframe Path_SampleNear(int32_t t, int32_t *segment) {
    const Keyframe *keyframes = bench.keyframes;
    int32_t count = bench.keyframeCount;
    // No path (the free slot has released it, or nothing was loaded): a
    // camera callback that still arrives gets a neutral pose, not a crash.
    // A loaded path has at least two keyframes and ends at totalFrames.
    if (!keyframes) {
        Keyframe none = {};
        none.frame = t;
        return none;
    }
    if (t <= 0) return keyframes[0];
    if (t >= bench.totalFrames) return keyframes[count - 1];

    // Played frame by frame, t lies on the last call's segment or the next:
    // one step forward without a branch, then a check that rarely fails.
    // Anywhere else the segment is found by search.
    int32_t end = *segment;
    if (end >= 1 && end < count - 1) end += keyframes[end].frame <= t;
    if (!Path_Holds(keyframes, count, end, t)) end = Path_FindSegmentEnd(keyframes, count, t);
    *segment = end;
    return Path_Interpolate(keyframes[end - 1], keyframes[end], t);
}

Keyframe Path_Sample(int32_t t) {
    int32_t segment = 0;
    return Path_SampleNear(t, &segment);
}
