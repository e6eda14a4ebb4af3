// Path sampling: hand-worked poses checked to the bit, and the segment
// search checked against the plain linear definition on random scripts.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <vector>

#include "path/path.h"
#include "plugin/bench.h"
#include "tests/support/testbench.h"

namespace {

// Installs the keyframes as a loaded script would leave them.
void SetPath(const std::vector<Keyframe> &keyframes) {
    TestBench_Reset();
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

// Compares all six fields to the bit (Keyframe has no padding).
::testing::AssertionResult SameKeyframe(const Keyframe &a, const Keyframe &b) {
    if (memcmp(&a, &b, sizeof a) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "frame " << a.frame << " vs " << b.frame << "; x " << a.x << " vs " << b.x << "; y " << a.y << " vs "
           << b.y << "; z " << a.z << " vs " << b.z << "; orientX " << a.orientX << " vs " << b.orientX
           << "; orientY " << a.orientY << " vs " << b.orientY;
}

Keyframe Pose(int32_t frame, float x, float y, float z, float ox, float oy) { return Keyframe{frame, x, y, z, ox, oy}; }

class PathSample : public ::testing::Test {
protected:
    void TearDown() override { TestBench_Reset(); }
};

TEST_F(PathSample, InterpolatesHalfWayAndStopsAtTheEnds) {
    SetPath({Pose(0, 0, 10, -4, 0, 0), Pose(10, 100, 20, 4, 90, -30)});
    EXPECT_TRUE(SameKeyframe(Path_Sample(5), Pose(5, 50, 15, 0, 45, -15)));
    EXPECT_TRUE(SameKeyframe(Path_Sample(10), Pose(10, 100, 20, 4, 90, -30)));
    EXPECT_TRUE(SameKeyframe(Path_Sample(0), Pose(0, 0, 10, -4, 0, 0)));
}

TEST_F(PathSample, OutsideThePathGivesTheEndKeyframesWhole) {
    Keyframe first = Pose(0, 0.1f, 0.2f, 0.3f, 350, -10);
    Keyframe last = Pose(7, 1.1f, 1.2f, 1.3f, 10, 10);
    SetPath({first, Pose(3, 5, 5, 5, 5, 5), last});
    // The frame stays the keyframe's, not t.
    for (int32_t t : {0, -1, -7, INT32_MIN}) EXPECT_TRUE(SameKeyframe(Path_Sample(t), first)) << t;
    for (int32_t t : {7, 8, 1000, INT32_MAX}) EXPECT_TRUE(SameKeyframe(Path_Sample(t), last)) << t;
}

TEST_F(PathSample, AnInnerKeyframesFrameGivesItsValuesExactly) {
    // Values that floats can't hold exactly: u is 0 on the segment that
    // starts at the keyframe, so nothing is rounded.
    Keyframe inner = Pose(10, 0.7f, -1.3f, 1e-7f, 123.456f, -0.1f);
    SetPath({Pose(0, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f), inner, Pose(30, -3.3f, 4.4f, 5.5f, 6.6f, 7.7f),
             Pose(31, 9, 9, 9, 9, 9)});
    EXPECT_TRUE(SameKeyframe(Path_Sample(10), inner));
    EXPECT_TRUE(SameKeyframe(Path_Sample(30), Pose(30, -3.3f, 4.4f, 5.5f, 6.6f, 7.7f)));
}

TEST_F(PathSample, UsesTheSegmentAroundTheFrame) {
    SetPath({Pose(0, 0, 0, 0, 0, 0), Pose(10, 8, 4, 1, 0, 0), Pose(30, 8, -4, 2, 100, 0), Pose(34, 0, 0, 0, 0, 0)});
    EXPECT_TRUE(SameKeyframe(Path_Sample(20), Pose(20, 8, 0, 1.5f, 50, 0)));
    EXPECT_TRUE(SameKeyframe(Path_Sample(15), Pose(15, 8, 2, 1.25f, 25, 0)));
    EXPECT_TRUE(SameKeyframe(Path_Sample(33), Pose(33, 2, -1, 0.5f, 25, 0)));
    EXPECT_TRUE(SameKeyframe(Path_Sample(1), Pose(1, 0.8f, 0.4f, 0.1f, 0, 0)));
}

TEST_F(PathSample, MultipliesAndAddsInOneRounding) {
    // u = 1/3 rounds up to 11184811 / 2^25; times the difference 3 that is
    // 1 + 2^-25. Added to -1 in one rounding the result is 2^-25; rounding
    // the product first would give exactly 0.
    SetPath({Pose(0, -1, -1, 0, 0, 0), Pose(3, 2, 2, 0, 0, 0)});
    Keyframe k = Path_Sample(1);
    EXPECT_EQ(Bits(k.x), 0x33000000u) << k.x;
    EXPECT_EQ(k.x, ldexpf(1.0f, -25));
    EXPECT_EQ(Bits(k.y), 0x33000000u);
    // 2/3: -1 + (2 + 2^-24) is a tie between 1 and its next float; it goes
    // to the even one, 1.
    EXPECT_EQ(Path_Sample(2).x, 1.0f);
}

TEST_F(PathSample, InterpolatesAnglesAsPlainNumbers) {
    // 350 to 10 degrees goes back through 180, not forward through 0.
    SetPath({Pose(0, 0, 0, 0, 350, -170), Pose(4, 0, 0, 0, 10, 170)});
    EXPECT_EQ(Path_Sample(1).orientX, 265.0f);
    EXPECT_EQ(Path_Sample(2).orientX, 180.0f);
    EXPECT_EQ(Path_Sample(3).orientX, 95.0f);
    EXPECT_EQ(Path_Sample(1).orientY, -85.0f);
    EXPECT_EQ(Path_Sample(2).orientY, 0.0f);
}

TEST_F(PathSample, ChangesNothing) {
    SetPath({Pose(0, 1, 2, 3, 4, 5), Pose(9, 6, 7, 8, 9, 10)});
    Keyframe before[2] = {bench.keyframes[0], bench.keyframes[1]};
    for (int32_t t = -1; t <= 10; t++) Path_Sample(t);
    EXPECT_EQ(memcmp(before, bench.keyframes, sizeof before), 0);
    EXPECT_EQ(bench.keyframeCount, 2);
    EXPECT_EQ(bench.totalFrames, 9);
}

TEST_F(PathSample, WithoutAPathGivesAZeroPoseAtTheFrame) {
    // After the free slot has released the table, a late camera callback
    // must not read freed or null memory.
    TestBench_Reset();
    EXPECT_TRUE(SameKeyframe(Path_Sample(12), Pose(12, 0, 0, 0, 0, 0)));
    EXPECT_TRUE(SameKeyframe(Path_Sample(-3), Pose(-3, 0, 0, 0, 0, 0)));
    bench.totalFrames = 50;  // counts kept while the table is gone
    bench.keyframeCount = 3;
    EXPECT_TRUE(SameKeyframe(Path_Sample(20), Pose(20, 0, 0, 0, 0, 0)));
}

// The segment lookup as first defined: a linear scan from index 1 for the
// first keyframe whose frame is greater than t.
Keyframe LinearSample(const std::vector<Keyframe> &k, int32_t t) {
    if (t <= 0) return k.front();
    if (t >= k.back().frame) return k.back();
    size_t i = 1;
    while (k[i].frame <= t) i++;
    const Keyframe &k0 = k[i - 1], &k1 = k[i];
    float u = (float)(t - k0.frame) / (float)(k1.frame - k0.frame);
    return Keyframe{t,
                    fmaf(k1.x - k0.x, u, k0.x),
                    fmaf(k1.y - k0.y, u, k0.y),
                    fmaf(k1.z - k0.z, u, k0.z),
                    fmaf(k1.orientX - k0.orientX, u, k0.orientX),
                    fmaf(k1.orientY - k0.orientY, u, k0.orientY)};
}

// A random script: strictly ascending frames from 0 with gaps drawn from
// [1, maxGap], and values spread over several magnitudes.
std::vector<Keyframe> RandomPath(std::mt19937 &rng, int count, int32_t maxGap) {
    std::uniform_int_distribution<int32_t> gap(1, maxGap);
    std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
    std::uniform_int_distribution<int> scale(-6, 6);
    std::vector<Keyframe> k;
    int32_t frame = 0;
    for (int i = 0; i < count; i++) {
        if (i > 0) frame += gap(rng);
        k.push_back(Keyframe{frame, ldexpf(value(rng), scale(rng)), value(rng), value(rng), value(rng) * 0.36f,
                             value(rng) * 0.09f});
    }
    return k;
}

TEST(PathSampleSearch, MatchesTheLinearScanAtEveryFrame) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> count(2, 160);
    std::uniform_int_distribution<int> gapKind(0, 3);
    const int32_t maxGaps[] = {1, 3, 40, 400};  // one keyframe per frame up to sparse
    int64_t compared = 0;
    for (int script = 0; script < 120; script++) {
        std::vector<Keyframe> k = RandomPath(rng, count(rng), maxGaps[gapKind(rng)]);
        SetPath(k);
        for (int32_t t = -2; t <= bench.totalFrames + 2; t++) {
            Keyframe expected = LinearSample(k, t);
            Keyframe got = Path_Sample(t);
            ASSERT_TRUE(SameKeyframe(got, expected)) << "script " << script << ", t " << t;
            compared++;
        }
    }
    EXPECT_GT(compared, 100000);
    TestBench_Reset();
}

TEST(PathSampleSearch, MatchesTheLinearScanOnLongSparsePaths) {
    // Frames far apart, up to near the int32 limit: sample around every
    // keyframe and at random frames in between.
    std::mt19937 rng(77);
    for (int script = 0; script < 40; script++) {
        std::vector<Keyframe> k = RandomPath(rng, 2 + script * 25, INT32_MAX / 1100);
        SetPath(k);
        std::uniform_int_distribution<int32_t> anyFrame(-5, bench.totalFrames + 5);
        std::vector<int32_t> ts;
        for (const Keyframe &key : k)
            for (int32_t d = -2; d <= 2; d++) ts.push_back(key.frame + d);
        for (int i = 0; i < 2000; i++) ts.push_back(anyFrame(rng));
        for (int32_t t : ts) ASSERT_TRUE(SameKeyframe(Path_Sample(t), LinearSample(k, t))) << "t " << t;
    }
    TestBench_Reset();
}

}  // namespace
