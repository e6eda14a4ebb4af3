// Frame capture: exact PPM bytes at odd sizes and alignments, the names, and
// the captures that warn or are skipped.
#include "run/run.h"
#include "tests/support/plugintest.h"

namespace {

// The PPM of FakeGl's picture: GL's row h-1 is the top, written first.
std::string ExpectedPpm(int w, int h) {
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int y = h - 1; y >= 0; y--)
        for (int i = 0; i < w * 3; i++) ppm += (char)FakeGl_Pixel(i / 3, y, i % 3);
    return ppm;
}

// Captures into dir; what was printed and what is in dir, then emptied.
std::string Capture(int32_t frame, const std::string &dir, int w, int h, const std::string &into = "") {
    Game.width = w, Game.height = h;
    std::string shots = into.empty() ? dir : into;
    bench.shotsDir = shots.c_str();
    Capture_Frame(frame);
    std::string out = Stdout_Take();
    for (const std::string &name : TestDir_List(dir)) out += name + ": " + TestFile_Read(dir + "/" + name), unlink((dir + "/" + name).c_str());
    return out;
}

using CaptureFrame = PluginTest;

TEST_F(CaptureFrame, WritesThePictureAndWarnsWhereItCant) {
    std::string dir = TestDir_Make(), warn = "flyrate: warning: can't write ";
    // Extra slashes lengthen a name without moving it: 1023 characters fit
    // the name buffer, 1024 would be cut to another name in the directory.
    std::string fits = dir + std::string(1023 - 16 - dir.size(), '/');
    // 33 x 3 = 99-byte rows, which GL pads at its default alignment of 4
    // (put back afterwards); 1400 x 3 is longer than the row-swap chunk.
    EXPECT_EQ(Capture(7, dir, 33, 17), "frame-00007.ppm: " + ExpectedPpm(33, 17));
    EXPECT_EQ(fakeGl.packAlignment, 4);
    EXPECT_EQ(Capture(123456, dir, 1400, 3), "frame-123456.ppm: " + ExpectedPpm(1400, 3));
    EXPECT_EQ(Capture(7, dir, 2, 2, fits), "frame-00007.ppm: " + ExpectedPpm(2, 2));
    EXPECT_EQ(Capture(7, dir, 2, 2, fits + "/"), (warn + fits + "//frame-00007.pp").substr(0, 1022) + "\n");
    EXPECT_EQ(Capture(3, dir, 2, 2, dir + "/missing"), warn + dir + "/missing/frame-00003.ppm\n");
    for (int w : {0, -1}) EXPECT_EQ(Capture(1, dir, w, 2) + Capture(1, dir, 2, w), "") << "nothing, silently";
    EXPECT_EQ(fakeGl.wrongReads, 0);
    // No truncated picture is left on a full disk.
    EXPECT_EQ(DiskFullAfter(100, [&] { return Capture(5, dir, 64, 64); }), warn + dir + "/frame-00005.ppm\n");
    TestDir_Remove(dir);
}

}  // namespace
