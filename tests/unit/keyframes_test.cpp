// Keyframe script loading: accepted forms, line counting, every failure
// message with its line, and what a failed or repeated load leaves behind.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "path/path.h"
#include "plugin/bench.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"
#include "tests/support/testbench.h"

namespace {

struct LoadResult {
    int ok;
    std::string out;   // everything logged
    std::string path;  // the script's path, as it appears in messages
};

// Writes the script to a temporary file, loads it and captures the log.
LoadResult LoadScript(const std::string &text) {
    LoadResult r;
    r.path = TestFile_Write(text);
    StdoutCapture_Begin();
    r.ok = Keyframes_Load(r.path.c_str());
    r.out = StdoutCapture_End();
    unlink(r.path.c_str());
    return r;
}

std::string KeyframeLine(int frame, float value) {
    char buf[128];
    snprintf(buf, sizeof buf, "%d %.9g %.9g %.9g %.9g %.9g\n", frame, value, value + 1, value + 2, value + 3,
             value + 4);
    return buf;
}

// n keyframes at frames 0, step, 2*step, ... with values following the index.
std::string Script(int n, int step = 10) {
    std::string s;
    for (int i = 0; i < n; i++) s += KeyframeLine(i * step, (float)i);
    return s;
}

class KeyframesLoad : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost_Reset();
        TestBench_Reset();
    }
    void TearDown() override { TestBench_Reset(); }

    void ExpectFrames(const std::vector<int32_t> &frames) {
        ASSERT_EQ(bench.keyframeCount, (int32_t)frames.size());
        for (size_t i = 0; i < frames.size(); i++) EXPECT_EQ(bench.keyframes[i].frame, frames[i]) << "index " << i;
        EXPECT_EQ(bench.totalFrames, frames.back());
    }
};

TEST_F(KeyframesLoad, ReadsEveryFieldOfAKeyframeLine) {
    LoadResult r = LoadScript("0 1 2 3 4 5\n120 64.5 80 -12.25 90 -15\n");
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.out, "");
    ExpectFrames({0, 120});
    const Keyframe &k = bench.keyframes[1];
    EXPECT_EQ(k.x, 64.5f);
    EXPECT_EQ(k.y, 80.0f);
    EXPECT_EQ(k.z, -12.25f);
    EXPECT_EQ(k.orientX, 90.0f);
    EXPECT_EQ(k.orientY, -15.0f);
    EXPECT_EQ(bench.keyframes[0].x, 1.0f);
    EXPECT_EQ(bench.keyframes[0].orientY, 5.0f);
}

TEST_F(KeyframesLoad, AcceptsWhatTheScanfFormatsAccept) {
    // Trailing text is ignored; %f takes exponents, hex floats, inf, and a
    // plus sign; the frame may carry a sign and leading zeros.
    LoadResult r = LoadScript(
        "+0 1e2 0x1p3 -0 inf 2.5 trailing words\n"
        "0010\t1\t2\t3\t4\t5\n"
        "20 1,2 3 4 5 6\n");
    // "1,2" stops the second number at the comma: only two values convert.
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.out, "flyrate: error: " + r.path + ":3: can't parse: 20 1,2 3 4 5 6\n\n");

    TestBench_Reset();
    r = LoadScript("+0 1e2 0x1p3 -0 inf 2.5 trailing words\n0010\t1\t2\t3\t4\t5\n");
    ASSERT_EQ(r.ok, 1) << r.out;
    ExpectFrames({0, 10});
    EXPECT_EQ(bench.keyframes[0].x, 100.0f);
    EXPECT_EQ(bench.keyframes[0].y, 8.0f);
    EXPECT_TRUE(std::signbit(bench.keyframes[0].z));
    EXPECT_TRUE(std::isinf(bench.keyframes[0].orientX));
}

TEST_F(KeyframesLoad, GrowsTheTableAcrossDoublings) {
    for (int n : {2, 31, 32, 33, 64, 65, 1000}) {
        TestBench_Reset();
        LoadResult r = LoadScript(Script(n));
        ASSERT_EQ(r.ok, 1) << n << " keyframes: " << r.out;
        ASSERT_EQ(bench.keyframeCount, n);
        EXPECT_EQ(bench.totalFrames, (n - 1) * 10);
        for (int i = 0; i < n; i++) {
            ASSERT_EQ(bench.keyframes[i].frame, i * 10) << n << " keyframes, index " << i;
            ASSERT_EQ(bench.keyframes[i].x, (float)i);
            ASSERT_EQ(bench.keyframes[i].orientY, (float)i + 4);
        }
    }
}

TEST_F(KeyframesLoad, SkipsCommentsBlankLinesAndCarriageReturns) {
    LoadResult r = LoadScript(
        "# a comment\n"
        "\n"
        "   \t \n"
        "\r\n"
        "  \t# an indented comment\n"
        "\t 0 1 2 3 4 5\r\n"
        "#\r\n"
        "10 6 7 8 9 10\r\n"
        "   ");  // blanks with no line end at the end of the file
    ASSERT_EQ(r.ok, 1) << r.out;
    EXPECT_EQ(r.out, "");
    ExpectFrames({0, 10});
    EXPECT_EQ(bench.keyframes[1].orientY, 10.0f);
}

TEST_F(KeyframesLoad, ReadsTheWarmupLine) {
    struct Case {
        const char *line;
        double min, quiet, max;
    } cases[] = {
        {"warmup 3 0.5 20\n", 3, 0.5, 20},
        {"warmup2 1 40\n", 2, 1, 40},  // keyword written against its first number
        {"  \twarmup 1e1 -1 0x10\n", 10, -1, 16},  // no range test
        {"warmup 4 5 6 and more\n", 4, 5, 6},
        {"warmup 7\t8\t9", 7, 8, 9},  // last line, no newline
    };
    for (const Case &c : cases) {
        TestBench_Reset();
        LoadResult r = LoadScript(std::string(c.line) + "\n" + Script(2));
        ASSERT_EQ(r.ok, 1) << c.line << r.out;
        EXPECT_EQ(bench.warmupMin, c.min) << c.line;
        EXPECT_EQ(bench.warmupQuiet, c.quiet) << c.line;
        EXPECT_EQ(bench.warmupMax, c.max) << c.line;
    }
}

TEST_F(KeyframesLoad, LaterWarmupLinesOverrideEarlierOnes) {
    LoadResult r = LoadScript("warmup 1 2 3\n" + KeyframeLine(0, 0) + "warmup 4 5 6\n" + KeyframeLine(5, 1));
    ASSERT_EQ(r.ok, 1) << r.out;
    EXPECT_EQ(bench.warmupMin, 4.0);
    EXPECT_EQ(bench.warmupQuiet, 5.0);
    EXPECT_EQ(bench.warmupMax, 6.0);
}

TEST_F(KeyframesLoad, LeavesTheWarmupDefaultsWithoutAWarmupLine) {
    ASSERT_EQ(LoadScript(Script(3)).ok, 1);
    EXPECT_EQ(bench.warmupMin, 2.0);
    EXPECT_EQ(bench.warmupQuiet, 1.0);
    EXPECT_EQ(bench.warmupMax, 30.0);
}

TEST_F(KeyframesLoad, ReadsALongLineAsSeveralCountedPieces) {
    // 511 bytes including the newline is one read: the line after it is 2.
    std::string exact = "0 0 0 0 0 0" + std::string(499, ' ') + "\n";
    ASSERT_EQ(exact.size(), 511u);
    LoadResult r = LoadScript(exact + "bad\n");
    EXPECT_EQ(r.out, "flyrate: error: " + r.path + ":2: can't parse: bad\n\n");

    // 512 bytes: the newline arrives as a second, blank piece.
    TestBench_Reset();
    std::string over = "0 0 0 0 0 0" + std::string(500, ' ') + "\n";
    r = LoadScript(over + "bad\n");
    EXPECT_EQ(r.out, "flyrate: error: " + r.path + ":3: can't parse: bad\n\n");

    // A long comment: its second piece is no longer a comment and is shown
    // as read, from the 512th byte on.
    TestBench_Reset();
    std::string tail = std::string(89, 'x') + "\n";
    r = LoadScript(KeyframeLine(0, 0) + "#" + std::string(510, 'x') + tail);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.out, "flyrate: error: " + r.path + ":3: can't parse: " + tail + "\n");

    // A keyframe line padded past the buffer still loads: the first piece
    // holds its six values, the rest is blanks.
    TestBench_Reset();
    r = LoadScript(KeyframeLine(0, 0) + "10 1 2 3 4 5" + std::string(1200, ' ') + "\n");
    ASSERT_EQ(r.ok, 1) << r.out;
    ExpectFrames({0, 10});
}

TEST_F(KeyframesLoad, ReportsEveryFailureWithItsLine) {
    struct Case {
        std::string script;
        std::string message;  // after "flyrate: error: <path>"; "\n" from the log follows
    } cases[] = {
        {"", ": needs at least two keyframes"},
        {"# only\n\n  # comments\n", ": needs at least two keyframes"},
        {"warmup 1 2 3\n0 0 0 0 0 0\n", ": needs at least two keyframes"},
        {"5 0 0 0 0 0\n", ":1: frames must start at 0 and ascend"},
        {"-1 0 0 0 0 0\n", ":1: frames must start at 0 and ascend"},
        {"# c\n0 0 0 0 0 0\n\n10 0 0 0 0 0\n10 1 1 1 1 1\n", ":5: frames must start at 0 and ascend"},
        {"0 0 0 0 0 0\n20 0 0 0 0 0\n15 0 0 0 0 0\n", ":3: frames must start at 0 and ascend"},
        {"warmup 1 2\n", ":1: can't parse: warmup 1 2\n"},
        {"warmup\n", ":1: can't parse: warmup\n"},
        {"warmupx 1 2 3\n", ":1: can't parse: warmupx 1 2 3\n"},
        {"Warmup 1 2 3\n", ":1: can't parse: Warmup 1 2 3\n"},
        {"0 0 0 0 0 0\n  \tten 1 2 3 4 5\n", ":2: can't parse:   \tten 1 2 3 4 5\n"},
        {"0 0 0 0 0 0\n10 1 2 3 4\n", ":2: can't parse: 10 1 2 3 4\n"},
        {"0 0 0 0 0 0\r\n10 1 2 3 4\r\n", ":2: can't parse: 10 1 2 3 4\r\n"},
        {"0 0 0 0 0 0\n10 1 2 3", ":2: can't parse: 10 1 2 3"},  // no newline, so no blank line
    };
    for (const Case &c : cases) {
        TestBench_Reset();
        LoadResult r = LoadScript(c.script);
        EXPECT_EQ(r.ok, 0) << c.script;
        EXPECT_EQ(r.out, "flyrate: error: " + r.path + c.message + "\n") << c.script;
        EXPECT_EQ(bench.keyframeCount, 0);
        EXPECT_EQ(bench.totalFrames, 0);
    }
}

TEST_F(KeyframesLoad, RefusesFrameNumbersOutsideInt32) {
    // %d would wrap 4294967306 into frame 10 and load it; every number
    // outside the int32 range is a parse error instead.
    for (const char *frame : {"4294967306", "2147483648", "-2147483649", "99999999999999999999999"}) {
        TestBench_Reset();
        std::string bad = std::string(frame) + " 1 2 3 4 5\n";
        LoadResult r = LoadScript(KeyframeLine(0, 0) + bad);
        EXPECT_EQ(r.ok, 0) << frame;
        EXPECT_EQ(r.out, "flyrate: error: " + r.path + ":2: can't parse: " + bad + "\n") << frame;
    }
    // The ends of the range are ordinary frame numbers.
    TestBench_Reset();
    LoadResult r = LoadScript(KeyframeLine(0, 0) + "2147483647 1 2 3 4 5\n");
    ASSERT_EQ(r.ok, 1) << r.out;
    ExpectFrames({0, INT32_MAX});
    TestBench_Reset();
    r = LoadScript("-2147483648 1 2 3 4 5\n");
    EXPECT_EQ(r.out, "flyrate: error: " + r.path + ":1: frames must start at 0 and ascend\n");
}

TEST_F(KeyframesLoad, ReportsAFileThatCannotBeOpened) {
    StdoutCapture_Begin();
    int ok = Keyframes_Load("/nonexistent/dir/flight.txt");
    std::string out = StdoutCapture_End();
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(out, "flyrate: error: can't open /nonexistent/dir/flight.txt\n");
    EXPECT_EQ(bench.keyframes, nullptr);
}

TEST_F(KeyframesLoad, AFailedLoadKeepsTheCountsOfTheLastGoodOne) {
    ASSERT_EQ(LoadScript(Script(100)).ok, 1);
    // Forty good keyframes, then an error: the table was written to, but the
    // kept counts must still describe memory the table holds.
    LoadResult r = LoadScript(Script(40, 3) + "oops\n");
    ASSERT_EQ(r.ok, 0);
    EXPECT_EQ(bench.keyframeCount, 100);
    EXPECT_EQ(bench.totalFrames, 990);
    volatile int32_t sum = 0;
    for (int i = 0; i < bench.keyframeCount; i++) sum = sum + bench.keyframes[i].frame;  // in bounds under ASan
    (void)sum;
}

TEST_F(KeyframesLoad, ReloadingReusesTheTableWithoutLeaking) {
    // Smaller, larger and equal reloads; LeakSanitizer checks at exit that
    // no table was dropped along the way.
    for (int n : {40, 3, 200, 200, 2}) {
        LoadResult r = LoadScript(Script(n, 7));
        ASSERT_EQ(r.ok, 1) << r.out;
        ASSERT_EQ(bench.keyframeCount, n);
        EXPECT_EQ(bench.totalFrames, (n - 1) * 7);
        EXPECT_EQ(bench.keyframes[n - 1].x, (float)(n - 1));
    }
}

}  // namespace
