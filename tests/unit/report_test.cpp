// The per-pass report: per-second counts, summary figures, optional lines.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "plugin/bench.h"
#include "run/run.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"

namespace {

struct ReportCase {
    int32_t pass = 1, passes = 1, switches = 0;
    int64_t warmupChunks = 0, runChunks = 0;
};

// Runs Report_Pass over the given frame times (not owned by bench) and
// returns the printed lines.
std::vector<std::string> Report(std::vector<double> &times, const ReportCase &c = {}) {
    bench = BenchState{};
    FakeHost_Reset();
    bench.totalFrames = (int32_t)times.size();
    bench.frameTimes = times.data();
    bench.pass = c.pass;
    bench.passes = c.passes;
    bench.cameraSwitches = c.switches;
    bench.warmupChunks = c.warmupChunks;
    bench.runChunks = c.runChunks;
    StdoutCapture_Begin();
    Report_Pass();
    std::string out = StdoutCapture_End();
    bench = BenchState{};
    return TestText_Lines(out);
}

std::string PerSecond(std::vector<double> times) { return Report(times).at(0); }

}  // namespace

TEST(ReportPass, OneFrameGivesItsTimeForEveryStatistic) {
    std::vector<double> times = {20.0};
    EXPECT_EQ(Report(times), (std::vector<std::string>{
                                 "flyrate: per-second fps:",
                                 "flyrate: chunks built: 0 in the warm-up, 0 during the run",
                                 "flyrate: 1 frames 0.02 seconds 50.00 fps, frame ms min/avg/p99/max "
                                 "20.0/20.0/20.0/20.0",
                             }));
}

TEST(ReportPass, P99IsTheSortedTimeAtNTimes99Over100) {
    // Frame times 1..n ms in a scrambled order; the report sorts a copy.
    struct {
        int n;
        const char *summary;
    } cases[] = {
        {100, "flyrate: 100 frames 5.05 seconds 19.80 fps, frame ms min/avg/p99/max 1.0/50.5/100.0/100.0"},
        {200, "flyrate: 200 frames 20.10 seconds 9.95 fps, frame ms min/avg/p99/max 1.0/100.5/199.0/200.0"},
    };
    for (const auto &c : cases) {
        std::vector<double> times;
        for (int i = 0; i < c.n; i++) times.push_back((double)((i * 37) % c.n + 1));
        std::vector<double> before = times;
        std::vector<std::string> lines = Report(times);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[2], c.summary);
        EXPECT_EQ(times, before) << "the frame table itself stays in frame order";
    }
}

TEST(ReportPass, PerSecondCountsFollowTheRunningSumExactly) {
    // A frame that reaches a boundary counts in the second ending there;
    // frames after the last whole second are not shown.
    EXPECT_EQ(PerSecond(std::vector<double>(10, 250.0)), "flyrate: per-second fps: 4 4");
    // A long frame gives 0 for every further boundary it passes.
    std::vector<double> slowStart = {2500.0, 250.0, 250.0, 250.0, 250.0, 250.0, 250.0};
    EXPECT_EQ(PerSecond(slowStart), "flyrate: per-second fps: 1 0 2 4");
    // No tolerance: 120 frames of 1000/60 ms sum to just below 2 s.
    EXPECT_EQ(PerSecond(std::vector<double>(120, 1000.0 / 60)), "flyrate: per-second fps: 60");
    // Too short for a whole second: the line has no counts at all.
    EXPECT_EQ(PerSecond(std::vector<double>(3, 100.0)), "flyrate: per-second fps:");
}

TEST(ReportPass, PerSecondTextIsBoundedAndThePrintedLineCut) {
    // One frame of 10000 s passes 10000 boundaries: " 1" then " 0" for
    // each further one, far more than the 8192-byte text holds. The text
    // stops growing, and the log keeps the first 1022 characters.
    std::vector<double> times = {10000.0 * 1000, 1000.0};
    std::vector<std::string> lines = Report(times);
    ASSERT_EQ(lines.size(), 3u);
    std::string expected = "flyrate: per-second fps: 1";
    while (expected.size() < 1022) expected += " 0";
    expected.resize(1022);
    EXPECT_EQ(lines[0], expected);
    EXPECT_EQ(lines[2].rfind("flyrate: 2 frames 10001.00 seconds", 0), 0u) << lines[2];
}

TEST(ReportPass, PassLineOnlyWithSeveralPassesAndWarningOnlyAfterSwitches) {
    std::vector<double> times = {500.0, 500.0};
    const std::string perSecond = "flyrate: per-second fps: 2";
    const std::string summary = "flyrate: 2 frames 1.00 seconds 2.00 fps, frame ms min/avg/p99/max 500.0/500.0/500.0/500.0";

    ReportCase one;
    one.warmupChunks = 5000000000;  // beyond 32 bits
    one.runChunks = 7;
    EXPECT_EQ(Report(times, one), (std::vector<std::string>{
                                      perSecond,
                                      "flyrate: chunks built: 5000000000 in the warm-up, 7 during the run",
                                      summary,
                                  }));

    ReportCase several;
    several.pass = 2;
    several.passes = 3;
    several.switches = 2;
    EXPECT_EQ(Report(times, several), (std::vector<std::string>{
                                          perSecond,
                                          "flyrate: pass 2 of 3",
                                          "flyrate: chunks built: 0 in the warm-up, 0 during the run",
                                          "flyrate: warning: the game switched the camera 2 times during the run",
                                          summary,
                                      }));
}

TEST(ReportPass, P99IndexOfAHugeTableStaysInside) {
    // 21,691,755 frames: n * 99 no longer fits 32 bits, and a 32-bit index
    // would point far before the copy. The slowest 1% are 7 ms, the rest 0.
    const int32_t n = 21691755;
    const int64_t p99 = (int64_t)n * 99 / 100;
    double *table = (double *)calloc((size_t)n, sizeof(double));
    ASSERT_NE(table, nullptr);
    for (int64_t i = p99; i < n; i++) table[i] = 7.0;
    bench = BenchState{};
    bench.totalFrames = n;
    bench.frameTimes = table;
    StdoutCapture_Begin();
    Report_Pass();
    std::vector<std::string> lines = TestText_Lines(StdoutCapture_End());
    bench = BenchState{};
    free(table);
    ASSERT_EQ(lines.size(), 3u);
    const std::string tail = "frame ms min/avg/p99/max 0.0/0.1/7.0/7.0";
    ASSERT_GE(lines[2].size(), tail.size());
    EXPECT_EQ(lines[2].substr(lines[2].size() - tail.size()), tail) << lines[2];
    EXPECT_EQ(lines[2].rfind("flyrate: 21691755 frames 1518.43 seconds 14285.68 fps", 0), 0u) << lines[2];
}
