// GPU times (FLYRATE_GPU=1) through the game's calls, with the fake GL's
// timer queries: what is measured and where it goes, results that come back
// late or not at all, contexts without timer queries, a disjoint timer, and
// nothing at all without the variable.
#include <algorithm>

#include "tests/support/plugintest.h"

namespace {

class GpuTimes : public PluginTest {
protected:
    // A one-pass script of `frames` frames with the log; the map loaded and
    // the warm-up over (its one frame), nothing printed kept.
    std::string Fly(int frames, const char *gpu = "1", const char *passes = "1") {
        std::string csv = Scratch("");
        setenv("FLYRATE_CSV", csv.c_str(), 1);
        setenv("FLYRATE_PASSES", passes, 1);
        if (gpu) setenv("FLYRATE_GPU", gpu, 1);
        Start("warmup 0 0 100\n0 0 0 0 0 0\n" + std::to_string(frames) + " 1 0 0 0 0\n");
        Play("mf");
        return csv;
    }
    // The log's rows (header first), each cut to its GPU cells.
    std::vector<std::string> GpuCells(const std::string &csv) {
        std::vector<std::string> rows = TestText_Lines(TestFile_Read(csv));
        for (std::string &row : rows) {
            size_t at = 0;
            for (int comma = 0; comma < 4 && at != std::string::npos; comma++) at = row.find(',', at + 1);
            row = at == std::string::npos ? "(none)" : row.substr(at + 1);
        }
        return rows;
    }
};

// The lag grows by a millisecond a frame, so each result shows which frame
// it went to, and each frame's GPU time is its 250 ms plus that millisecond;
// results come back three queries late and are waited for only at the end.
// The same through EGL and through GLX.
TEST_F(GpuTimes, EachFrameGetsItsOwnResultsWithoutWaitingBeforeThePassEnds) {
    for (bool glx : {false, true}) {
        SCOPED_TRACE(glx ? "GLX" : "EGL");
        SetUp();
        fakeGl.glx = glx;
        fakeGl.latency = 3;
        std::string csv = Fly(6);
        for (int frame = 1; frame <= 5; frame++) {
            fakeGl.lagNs = frame * 1000000LL;
            Play("f");
        }
        EXPECT_EQ(fakeGl.waits, 0) << "a timed frame waited for a result";
        fakeGl.lagNs = 6000000;
        Play("f");
        EXPECT_EQ(fakeGl.waits, 3) << "the pass's end waits for the queries still out";
        EXPECT_EQ(GpuCells(csv), (std::vector<std::string>{"gpu_ms,gpu_lag_ms", "251.000000,1.000000",
                                                           "251.000000,2.000000", "251.000000,3.000000",
                                                           "251.000000,4.000000", "251.000000,5.000000",
                                                           "251.000000,6.000000"}));
        std::vector<std::string> out = Out();
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), "flyrate: gpu: 6 of 6 frames timed, gpu ms avg/max 251.0/251.0, lag ms avg/max 3.5/6.0");
        EXPECT_EQ(fakeGl.issued, 7) << "the pass's start and each frame";
        EXPECT_EQ(fakeGl.live, 0) << "the queries outlive the run";
    }
}

// Results that never come back in time: once the ring of 8 is full, the
// oldest is given up for each new one; its frame has no figures, and the
// frame after it no GPU time (it has nothing to measure from). The pass's
// end collects the last 8.
TEST_F(GpuTimes, ResultsStillOutWhenTheRingWrapsAreMissing) {
    fakeGl.latency = 100;
    std::string csv = Fly(20);
    Play("20f");
    std::vector<std::string> want = {"gpu_ms,gpu_lag_ms"};
    for (int frame = 1; frame <= 20; frame++)
        want.push_back(frame <= 12 ? "," : frame == 13 ? ",0.000000" : "250.000000,0.000000");
    EXPECT_EQ(GpuCells(csv), want);
    EXPECT_EQ(Out().back(), "flyrate: gpu: 7 of 20 frames timed, gpu ms avg/max 250.0/250.0, lag ms avg/max 0.0/0.0");
}

// A capture's time is left out of the frame after it, on the GPU as on the
// clock; the second pass starts afresh and measures every frame again.
TEST_F(GpuTimes, CapturesAndPassesStartTheNextFrameAfresh) {
    std::string dir = TestDir_Make();
    setenv("FLYRATE_SHOTS", dir.c_str(), 1);
    fakeGl.latency = 1;
    fakeGl.readNs = 500000000;  // each capture takes half a second
    std::string csv = Scratch("");
    setenv("FLYRATE_CSV", csv.c_str(), 1);
    setenv("FLYRATE_PASSES", "2", 1);
    setenv("FLYRATE_GPU", "1", 1);
    Start("warmup 0 0 100\n0 0 0 0 0 0\n2 1 0 0 0 0\n4 2 0 0 0 0\n");
    Play("m");
    Play("9f");  // the warm-up's, then two passes of 4
    std::vector<std::string> want(9, "250.000000,0.000000");
    want[0] = "gpu_ms,gpu_lag_ms";
    EXPECT_EQ(GpuCells(csv), want) << "frames 1 and 3 follow a capture";
    EXPECT_EQ(fakeGl.reads, 5);
    EXPECT_EQ(fakeGame.closeRequests, 1);
    EXPECT_EQ(fakeGl.live, 0);
    TestDir_Remove(dir);
}

TEST_F(GpuTimes, WithoutTimerQueriesOneWarningAndTheRunGoesOnWithoutThem) {
    struct Case {
        int bits;
        const char *missing, *why;
    } cases[] = {
        {0, nullptr, "GL_QUERY_COUNTER_BITS is 0"},
        {64, "glQueryCounter", "glQueryCounter"},
        {64, "glGetQueryObjectui64v", "glGetQueryObjectui64v"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        SetUp();
        fakeGl.counterBits = c.bits;
        fakeGl.missing = c.missing;
        std::string csv = Scratch("");
        setenv("FLYRATE_CSV", csv.c_str(), 1);
        setenv("FLYRATE_GPU", "1", 1);
        Start("warmup 0 0 100\n0 0 0 0 0 0\n3 1 0 0 0 0\n");
        Out();
        Play("m5f");
        std::vector<std::string> out = Out();
        ASSERT_EQ(out.size(), 6u);
        EXPECT_EQ(out[1], std::string("flyrate: warning: no GPU timer queries (") + c.why +
                              "): the run goes on without GPU times");
        EXPECT_EQ(out[5].rfind("flyrate: 3 frames", 0), 0u) << "no gpu line after the summary";
        EXPECT_EQ(TestFile_Read(csv).substr(0, 27), "pass,frame,frame_ms,chunks\n");
        EXPECT_EQ(fakeGl.issued + fakeGl.live, 0);
        EXPECT_EQ(fakeGame.closeRequests, 1);
    }
}

// A driver that says its timer jumped: from there on nothing is measured,
// the queries in flight are dropped (frame 2's), the log keeps its columns,
// empty, and the next pass measures nothing either.
TEST_F(GpuTimes, ADisjointTimerStopsTheFiguresWithOneWarning) {
    fakeGl.listsDisjoint = true;
    std::string csv = Fly(4, "1", "2");
    Play("2f");
    fakeGl.disjoint = true;
    Play("6f");
    std::vector<std::string> out = Out();
    EXPECT_EQ(std::count(out.begin(), out.end(),
                         "flyrate: warning: the GPU timer was disjoint at frame 3 of pass 1: no more GPU times in this run"),
              1);
    EXPECT_EQ(std::count(out.begin(), out.end(),
                         "flyrate: gpu: 1 of 4 frames timed, gpu ms avg/max 250.0/250.0, lag ms avg/max 0.0/0.0"),
              1);
    EXPECT_EQ(out.back(), "flyrate: gpu: 0 of 4 frames timed");
    std::vector<std::string> cells = GpuCells(csv);
    EXPECT_EQ(cells[1], "250.000000,0.000000");
    for (size_t row = 2; row < cells.size(); row++) EXPECT_EQ(cells[row], ",") << row;
    EXPECT_EQ(cells.size(), 9u);
    EXPECT_EQ(fakeGl.live, 0);
}

// Unset, 0 or another word: no query, no column, no line; a word is said.
TEST_F(GpuTimes, OnlyOneTurnsThemOn) {
    for (const char *value : {(const char *)nullptr, "0", "", "yes"}) {
        SCOPED_TRACE(value ? value : "unset");
        SetUp();
        std::string csv = Fly(2, value);
        Play("2f");
        std::string out = OutText();
        EXPECT_EQ(out.find("gpu:"), std::string::npos);
        EXPECT_EQ(out.find("FLYRATE_GPU=yes: only 1 turns GPU times on") != std::string::npos, value && *value == 'y');
        EXPECT_EQ(TestFile_Read(csv).substr(0, 27), "pass,frame,frame_ms,chunks\n");
        EXPECT_EQ(fakeGl.issued + fakeGl.live, 0);
    }
}

}  // namespace
