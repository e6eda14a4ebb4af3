// The pass report: per-second counts, the summary's figures and the lines
// that appear only sometimes.
#include "run/run.h"
#include "tests/support/plugintest.h"

namespace {

struct Pass {
    std::vector<double> times;
    int32_t pass, passes, switches;
    int64_t warmupChunks, runChunks;
};
Pass Frames(std::vector<double> times, int32_t pass = 1, int32_t passes = 1, int32_t switches = 0, int64_t warm = 0,
            int64_t run = 0) {
    return Pass{std::move(times), pass, passes, switches, warm, run};
}

class ReportPass : public PluginTest {
protected:
    // The lines Report_Pass prints for a pass of these frame times.
    std::vector<std::string> Report(const Pass &p) {
        FakeGame_Reset();
        bench.totalFrames = (int32_t)p.times.size();
        bench.frameTimes = (double *)malloc(p.times.size() * sizeof(double));
        memcpy(bench.frameTimes, p.times.data(), p.times.size() * sizeof(double));
        bench.pass = p.pass, bench.passes = p.passes, bench.cameraSwitches = p.switches;
        bench.warmupChunks = p.warmupChunks, bench.runChunks = p.runChunks;
        Report_Pass();
        EXPECT_EQ(memcmp(bench.frameTimes, p.times.data(), p.times.size() * sizeof(double)), 0) << "reordered";
        return Out();
    }
};

// Frame times 1..n ms in a scrambled order.
std::vector<double> Scrambled(int n) {
    std::vector<double> times;
    for (int i = 0; i < n; i++) times.push_back((double)((i * 37) % n + 1));
    return times;
}

const std::string kChunks = "flyrate: chunks built: 0 in the warm-up, 0 during the run";

TEST_F(ReportPass, PrintsTheseLines) {
    std::vector<double> slowStart = {2500, 250, 250, 250, 250, 250, 250};
    struct Case {
        Pass pass;
        std::vector<std::string> lines;
    } cases[] = {
        {Frames({20.0}), {"flyrate: per-second fps:", kChunks,
                    "flyrate: 1 frames 0.02 seconds 50.00 fps, frame ms min/avg/p99/max 20.0/20.0/20.0/20.0"}},
        // p99 is the sorted time at n * 99 / 100: the largest of 100, the
        // second largest of 200.
        {Frames(Scrambled(100)), {"flyrate: per-second fps: 22 18 20 21 19", kChunks,
                            "flyrate: 100 frames 5.05 seconds 19.80 fps, frame ms min/avg/p99/max 1.0/50.5/100.0/100.0"}},
        {Frames(Scrambled(200)), {"flyrate: per-second fps: 11 11 9 11 9 9 10 11 9 10 9 10 10 10 11 11 7 11 11 10", kChunks,
                            "flyrate: 200 frames 20.10 seconds 9.95 fps, frame ms min/avg/p99/max 1.0/100.5/199.0/200.0"}},
        // The frame that reaches a boundary counts in the second ending
        // there; what is left after the last whole second is not shown.
        {Frames(std::vector<double>(10, 250.0)), {"flyrate: per-second fps: 4 4", kChunks,
                "flyrate: 10 frames 2.50 seconds 4.00 fps, frame ms min/avg/p99/max 250.0/250.0/250.0/250.0"}},
        // A long frame gives 0 for every further boundary it passes.
        {Frames(slowStart), {"flyrate: per-second fps: 1 0 2 4", kChunks,
                       "flyrate: 7 frames 4.00 seconds 1.75 fps, frame ms min/avg/p99/max 250.0/571.4/2500.0/2500.0"}},
        // No tolerance: 120 frames of 1000/60 ms sum to just below 2 s.
        {Frames(std::vector<double>(120, 1000.0 / 60)), {"flyrate: per-second fps: 60", kChunks,
                "flyrate: 120 frames 2.00 seconds 60.00 fps, frame ms min/avg/p99/max 16.7/16.7/16.7/16.7"}},
        {Frames({500, 500}, 1, 1, 0, 5000000000, 7), {"flyrate: per-second fps: 2",
                "flyrate: chunks built: 5000000000 in the warm-up, 7 during the run",
                "flyrate: 2 frames 1.00 seconds 2.00 fps, frame ms min/avg/p99/max 500.0/500.0/500.0/500.0"}},
        {Frames({500, 500}, 2, 3, 2), {"flyrate: per-second fps: 2", "flyrate: pass 2 of 3", kChunks,
                "flyrate: warning: the game switched the camera 2 times during the run",
                "flyrate: 2 frames 1.00 seconds 2.00 fps, frame ms min/avg/p99/max 500.0/500.0/500.0/500.0"}},
    };
    for (const Case &c : cases) EXPECT_EQ(Report(c.pass), c.lines) << c.pass.times.size() << " frames";
}

TEST_F(ReportPass, PerSecondLineEndsAtTheLastWholeCountThatFits) {
    // 400 s at 64 fps: 332 counts of " 64" fill 1020 of the line's 1022
    // characters; the 333rd would be cut to " 6", a count that never was.
    std::vector<std::string> lines = Report(Frames(std::vector<double>(25600, 15.625)));
    std::string expected = "flyrate: per-second fps:";
    for (int i = 0; i < 332; i++) expected += " 64";
    EXPECT_EQ(lines, (std::vector<std::string>{expected, kChunks,
        "flyrate: 25600 frames 400.00 seconds 64.00 fps, frame ms min/avg/p99/max 15.6/15.6/15.6/15.6"}));
}

TEST_F(ReportPass, P99IndexOfAHugeTableStaysInside) {
    // 21,691,755 frames: n * 99 leaves 32 bits, and a 32-bit index would
    // point far before the copy. The slowest 1% are 7 ms, the rest 0.
    const int32_t n = 21691755;
    std::vector<double> times((size_t)n, 0.0);
    for (int64_t i = (int64_t)n * 99 / 100; i < n; i++) times[(size_t)i] = 7.0;
    std::vector<std::string> lines = Report(Frames(times));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "flyrate: 21691755 frames 1518.43 seconds 14285.68 fps, frame ms min/avg/p99/max 0.0/0.1/7.0/7.0");
}

}  // namespace
