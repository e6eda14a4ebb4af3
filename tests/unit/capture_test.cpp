// Frame capture: the exact PPM bytes at odd sizes and alignments, the file
// names, and the captures that warn or are skipped.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

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

class CaptureFrame : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        dir = TestDir_Make();
    }
    void TearDown() override {
        TestDir_Remove(dir);
        PluginTest::TearDown();
    }
    // Captures frame into `into` (dir by default); what was printed.
    std::string Capture(int32_t frame, const std::string &into = "") {
        std::string shots = into.empty() ? dir : into;
        bench.shotsDir = shots.c_str();
        Capture_Frame(frame);
        return OutText();
    }
    std::string dir;
};

TEST_F(CaptureFrame, WritesThePictureTopRowFirstAndPutsTheAlignmentBack) {
    // 33 x 3 = 99-byte rows, which GL pads at its default alignment of 4;
    // 1400 x 3 is longer than the capture's 4 KB row-swap chunk.
    for (auto size : {std::pair<int, int>{33, 17}, {1, 1}, {1400, 3}, {2, 2}}) {
        Game.width = size.first, Game.height = size.second;
        EXPECT_EQ(Capture(7), "");
        EXPECT_EQ(TestFile_Read(dir + "/frame-00007.ppm"), ExpectedPpm(size.first, size.second)) << size.first;
        EXPECT_EQ(fakeGl.packAlignment, 4) << "the game's alignment put back";
    }
    for (auto size : {std::pair<int, int>{0, 2}, {2, 0}, {-1, 2}}) {  // an empty framebuffer: nothing, silently
        Game.width = size.first, Game.height = size.second;
        EXPECT_EQ(Capture(8), "");
    }
    EXPECT_EQ(TestDir_List(dir), std::vector<std::string>{"frame-00007.ppm"});
    EXPECT_EQ(fakeGl.wrongReads, 0);
}

TEST_F(CaptureFrame, NamesAndWhereTheyCantBeWritten) {
    Game.width = Game.height = 2;
    // Root writes into any directory on disk, but makes no files in /proc.
    std::string file = Scratch("not a directory"), readOnly = geteuid() == 0 ? "/proc" : TestDir_Make();
    chmod(readOnly.c_str(), 0555);
    // Extra slashes lengthen a name without moving it: 1023 characters fit
    // the name buffer, 1024 would be cut to another name in the directory.
    std::string fits = dir + std::string(1023 - 16 - dir.size(), '/');
    struct Case {
        int32_t frame;
        std::string into, written;  // written into dir; none: a warning
    } cases[] = {
        {0, dir, "frame-00000.ppm"}, {99999, dir, "frame-99999.ppm"}, {123456, dir, "frame-123456.ppm"},
        {7, fits, "frame-00007.ppm"}, {7, fits + "/", ""}, {3, dir + "/missing", ""}, {3, file, ""}, {12, readOnly, ""},
    };
    for (const Case &c : cases) {
        char name[2048];
        snprintf(name, sizeof name, "%s/frame-%05d.ppm", c.into.c_str(), c.frame);
        std::string warning = ("flyrate: warning: can't write " + std::string(name).substr(0, 1023)).substr(0, 1022) + "\n";
        EXPECT_EQ(Capture(c.frame, c.into), c.written.empty() ? warning : "") << c.frame;
        EXPECT_EQ(TestDir_List(dir), c.written.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.written});
        EXPECT_EQ(TestFile_Read(dir + "/" + c.written), c.written.empty() ? "" : ExpectedPpm(2, 2));
        TestDir_Remove(dir);
        mkdir(dir.c_str(), 0700);
    }
    EXPECT_EQ(TestFile_Read(file), "not a directory");
    if (geteuid() != 0) rmdir(readOnly.c_str());
}

TEST_F(CaptureFrame, AShortWriteLeavesNoTruncatedPicture) {
    // A file-size limit stands in for a full disk: writes past it fail,
    // while the pixels go out (64 x 64, more than stdio's buffer) or as the
    // file is closed (30 x 30, held in the buffer until then).
    rlimit old, small;
    getrlimit(RLIMIT_FSIZE, &old);
    small = {100, old.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    for (int size : {64, 30}) {
        Game.width = Game.height = size;
        setrlimit(RLIMIT_FSIZE, &small);
        std::string out = Capture(5);
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(out, "flyrate: warning: can't write " + dir + "/frame-00005.ppm\n") << size;
    }
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_TRUE(TestDir_List(dir).empty());
}

}  // namespace
