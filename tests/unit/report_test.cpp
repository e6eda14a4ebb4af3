// What a pass prints: the log line and the report's lines.
#include <algorithm>

#include "run/run.h"
#include "tests/support/plugintest.h"

namespace {

using BenchLog = PluginTest;

// Every test catches descriptor 1 without stdio: the log bypasses its buffer.
TEST_F(BenchLog, KeepsAtMost1022CharactersAndAddsTheNewline) {
    for (size_t len : {10u, 1022u, 1023u, 5000u}) {
        std::string text = "flyrate: " + std::string(len - 9, 'x');
        Bench_Log("%s", text.c_str());
        EXPECT_EQ(OutText(), text.substr(0, std::min(len, (size_t)1022)) + "\n") << len;
    }
}

// The lines Report_Pass prints for a pass of these frame times.
std::vector<std::string> Report(std::vector<double> times, int32_t pass = 1, int32_t passes = 1, int32_t switches = 0,
                                int64_t warm = 0, int64_t run = 0) {
    FakeGame_Reset();
    bench.totalFrames = (int32_t)times.size();
    bench.frameTimes = (double *)malloc(times.size() * sizeof(double));
    memcpy(bench.frameTimes, times.data(), times.size() * sizeof(double));
    bench.pass = pass, bench.passes = passes, bench.cameraSwitches = switches, bench.warmupChunks = warm, bench.runChunks = run;
    Report_Pass();
    EXPECT_EQ(memcmp(bench.frameTimes, times.data(), times.size() * sizeof(double)), 0) << "reordered";
    return TestText_Lines(Stdout_Take());
}

using ReportPass = PluginTest;
const std::string kChunks = "flyrate: chunks built: 0 in the warm-up, 0 during the run";

TEST_F(ReportPass, PrintsTheseLines) {
    std::string cutAt1022 = "flyrate: per-second fps:";  // 332 counts of " 64"; a 333rd would print as " 6"
    for (int i = 0; i < 332; i++) cutAt1022 += " 64";
    struct Case {
        std::vector<std::string> got, want;
    } cases[] = {
        {Report({20.0}), {"flyrate: per-second fps:", kChunks,
                          "flyrate: 1 frames 0.02 seconds 50.00 fps, frame ms min/avg/p99/max 20.0/20.0/20.0/20.0"}},
        // 1..200 ms scrambled. p99: the sorted time at n * 99 / 100, the second largest.
        {Report([] { std::vector<double> t; for (int i = 0; i < 200; i++) t.push_back((i * 37) % 200 + 1); return t; }()),
         {"flyrate: per-second fps: 11 11 9 11 9 9 10 11 9 10 9 10 10 10 11 11 7 11 11 10", kChunks,
                                  "flyrate: 200 frames 20.10 seconds 9.95 fps, frame ms min/avg/p99/max 1.0/100.5/199.0/200.0"}},
        // The frame reaching a boundary counts in the second ending there;
        // a long frame gives 0 for each further boundary; no tolerance: 120
        // frames of 1000/60 ms sum to just below 2 s.
        {Report({2500, 250, 250, 250, 250, 250, 250}), {"flyrate: per-second fps: 1 0 2 4", kChunks,
                "flyrate: 7 frames 4.00 seconds 1.75 fps, frame ms min/avg/p99/max 250.0/571.4/2500.0/2500.0"}},
        {Report(std::vector<double>(120, 1000.0 / 60)), {"flyrate: per-second fps: 60", kChunks,
                "flyrate: 120 frames 2.00 seconds 60.00 fps, frame ms min/avg/p99/max 16.7/16.7/16.7/16.7"}},
        {Report(std::vector<double>(25600, 15.625)), {cutAt1022, kChunks,
                "flyrate: 25600 frames 400.00 seconds 64.00 fps, frame ms min/avg/p99/max 15.6/15.6/15.6/15.6"}},
        {Report({500, 500}, 1, 1, 0, 5000000000, 7), {"flyrate: per-second fps: 2",
                "flyrate: chunks built: 5000000000 in the warm-up, 7 during the run",
                "flyrate: 2 frames 1.00 seconds 2.00 fps, frame ms min/avg/p99/max 500.0/500.0/500.0/500.0"}},
        {Report({500, 500}, 2, 3, 2), {"flyrate: per-second fps: 2", "flyrate: pass 2 of 3", kChunks,
                "flyrate: warning: the game switched the camera 2 times during the run",
                "flyrate: 2 frames 1.00 seconds 2.00 fps, frame ms min/avg/p99/max 500.0/500.0/500.0/500.0"}},
    };
    for (const Case &c : cases) EXPECT_EQ(c.got, c.want);
}

TEST_F(ReportPass, P99IndexOfAHugeTableStaysInside) {
    // 21,691,755 frames: n * 99 leaves 32 bits, and a 32-bit index would
    // point far before the copy. The slowest 1% are 7 ms, the rest 0.
    const int32_t n = 21691755;
    std::vector<double> times((size_t)n, 0.0);
    std::fill(times.begin() + (int64_t)n * 99 / 100, times.end(), 7.0);
    EXPECT_EQ(Report(times).back(), "flyrate: 21691755 frames 1518.43 seconds 14285.68 fps, frame ms min/avg/p99/max 0.0/0.1/7.0/7.0");
}

}  // namespace
