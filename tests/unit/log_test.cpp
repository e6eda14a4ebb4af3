// The log line: exact text, truncation at 1022 characters, one write per line.
#include <gtest/gtest.h>

#include <string>

#include "plugin/bench.h"
#include "tests/support/capture.h"
#include "tests/support/testclock.h"

TEST(BenchLog, WritesOneLineWithNewline) {
    StdoutCapture_Begin();
    Bench_Log("flyrate: %d keyframes, %s", 3, "ok");
    EXPECT_EQ(StdoutCapture_End(), "flyrate: 3 keyframes, ok\n");
}

TEST(BenchLog, KeepsAtMost1022Characters) {
    for (size_t len : {1021u, 1022u, 1023u, 1024u, 5000u}) {
        std::string text = "flyrate: " + std::string(len - 9, 'x');
        StdoutCapture_Begin();
        Bench_Log("%s", text.c_str());
        std::string out = StdoutCapture_End();
        size_t kept = len < 1022 ? len : 1022;
        EXPECT_EQ(out, text.substr(0, kept) + "\n") << "length " << len;
    }
}

TEST(BenchLog, BypassesStdioBuffering) {
    // Buffered stdout text written before a log line must come out after it
    // unless flushed: the log goes straight to the descriptor.
    StdoutCapture_Begin();
    setvbuf(stdout, nullptr, _IOFBF, 4096);
    printf("buffered ");
    Bench_Log("flyrate: first");
    Bench_Log("flyrate: second");
    std::string out = StdoutCapture_End();
    EXPECT_EQ(out, "flyrate: first\nflyrate: second\nbuffered ");
}

TEST(BenchNow, ReadsTheMonotonicClockInSeconds) {
    TestClock_Set(12.5);
    EXPECT_EQ(Bench_Now(), 12.5);
    TestClock_Advance(0.25);
    EXPECT_EQ(Bench_Now(), 12.75);
    EXPECT_EQ(TestClock_Reads(), 2);
    TestClock_Release();
}
