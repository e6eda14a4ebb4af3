// The per-frame CSV log on a disk that is full: whether the rows fail while
// being written or only when the file is closed, the pass gives exactly one
// warning and nothing else changes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "plugin/bench.h"
#include "run/run.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"

namespace {

class HardeningCsv : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHost_Reset();
        bench = BenchState{};
    }
    void TearDown() override {
        free(bench.frameTimes);
        bench = BenchState{};
    }
    std::string Write(int32_t frames, int32_t pass, const char *path) {
        bench.totalFrames = frames;
        bench.frameTimes = (double *)calloc((size_t)frames, sizeof(double));
        for (int32_t i = 0; i < frames; i++) bench.frameTimes[i] = 16.666666 + i;
        bench.pass = pass;
        bench.csvPath = path;
        StdoutCapture_Begin();
        Report_WriteCsv();
        return StdoutCapture_End();
    }
};

}  // namespace

TEST_F(HardeningCsv, AFullDiskWarnsOncePerPass) {
    const std::string warning = "flyrate: warning: can't write /dev/full\n";
    struct Case {
        int32_t frames;
        int32_t pass;
        const char *why;
    } cases[] = {
        {3, 1, "rows fit the stream's buffer: the close fails"},
        {3, 2, "appending a later pass: the close fails"},
        {2000, 1, "rows overflow the buffer: a row fails, the rest are not tried"},
        {2000, 2, "a later pass of many rows"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Write(c.frames, c.pass, "/dev/full"), warning) << c.why;
        free(bench.frameTimes);
        bench.frameTimes = nullptr;
    }
}

TEST_F(HardeningCsv, NoFrameTableWritesNoFile) {
    std::string dir = TestDir_Make();
    std::string path = dir + "/frames.csv";
    bench.csvPath = path.c_str();
    bench.totalFrames = 4;
    StdoutCapture_Begin();
    Report_WriteCsv();
    EXPECT_EQ(StdoutCapture_End(), "");
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    rmdir(dir.c_str());
}
