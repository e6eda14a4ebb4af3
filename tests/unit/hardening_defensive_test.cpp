// The plug-in's guards against states its own callers never create but a
// misbehaving game, a failed load or the C library can: each must stay
// quiet and inside its tables.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <wchar.h>

#include <string>

#include "path/path.h"
#include "plugin/bench.h"
#include "run/run.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"
#include "tests/support/testbench.h"

namespace {

class HardeningGuards : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost_Reset();
        TestBench_Reset();
    }
    void TearDown() override { TestBench_Reset(); }
    static int Load(const std::string &text) {
        std::string path = TestFile_Write(text);
        StdoutCapture_Begin();
        int ok = Keyframes_Load(path.c_str());
        StdoutCapture_End();
        unlink(path.c_str());
        return ok;
    }
};

}  // namespace

TEST_F(HardeningGuards, LogWritesNothingWhenFormattingFails) {
    // A wide character the C locale can't encode makes vsnprintf fail.
    StdoutCapture_Begin();
    Bench_Log("flyrate: %lc", (wint_t)0x100);
    Bench_Log("flyrate: after");
    EXPECT_EQ(StdoutCapture_End(), "flyrate: after\n");
}

TEST_F(HardeningGuards, PathWithATableButNoKeyframesGivesANeutralPose) {
    // A first load that fails after its table was allocated leaves the
    // table with no keyframes counted; a camera callback must not read it.
    ASSERT_EQ(Load("0 1 2 3 4 5\n3 x\n"), 0);
    ASSERT_NE(bench.keyframes, nullptr);
    ASSERT_EQ(bench.keyframeCount, 0);
    for (int32_t t : {-1, 0, 5}) {
        Keyframe k = Path_Sample(t);
        EXPECT_EQ(k.frame, t);
        EXPECT_EQ(k.x, 0.0f);
        EXPECT_EQ(k.orientY, 0.0f);
    }
}

TEST_F(HardeningGuards, PathAfterAFailedReloadStaysInsideTheTable) {
    // The failed reload overwrote the first records but kept the counts of
    // the good load, so totalFrames (10) lies past the table's last frame (4).
    ASSERT_EQ(Load("0 0 0 0 0 0\n10 1 1 1 1 1\n"), 1);
    ASSERT_EQ(Load("0 5 5 5 5 5\n4 6 6 6 6 6\nbad\n"), 0);
    ASSERT_EQ(bench.keyframeCount, 2);
    ASSERT_EQ(bench.totalFrames, 10);
    Keyframe k = Path_Sample(7);
    EXPECT_EQ(k.frame, 4);
    EXPECT_EQ(k.x, 6.0f);
}

TEST_F(HardeningGuards, ReportWithoutFramesPrintsNothing) {
    StdoutCapture_Begin();
    Report_Pass();  // no table, no frames
    bench.totalFrames = 3;
    Report_Pass();  // frames but no table
    bench.totalFrames = 0;
    bench.frameTimes = (double *)calloc(1, sizeof(double));
    Report_Pass();  // a table but no frames
    EXPECT_EQ(StdoutCapture_End(), "");
}

TEST_F(HardeningGuards, CaptureWithoutADirectoryDoesNothing) {
    std::string cwdFile = "frame-00001.ppm";
    unlink(cwdFile.c_str());
    StdoutCapture_Begin();
    Capture_Frame(1);
    EXPECT_EQ(StdoutCapture_End(), "");
    EXPECT_NE(access(cwdFile.c_str(), F_OK), 0);
    EXPECT_NE(access(("/" + cwdFile).c_str(), F_OK), 0);
}
