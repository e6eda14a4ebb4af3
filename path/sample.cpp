// sample.cpp: the camera pose at any path frame.
//
// Poses are interpolated linearly between the two keyframes around the
// frame, with one 32-bit fused multiply-add per component, so every pose is
// reproducible to the bit. The camera callbacks sample the path several
// times per rendered frame, so the segment is found by binary search rather
// than by walking the table: long recorded paths cost no more per frame than
// short ones.
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

Keyframe Path_Sample(int32_t t) {
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

    int32_t end = Path_FindSegmentEnd(keyframes, count, t);
    const Keyframe &k0 = keyframes[end - 1];
    const Keyframe &k1 = keyframes[end];

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
