// Frame capture against real OpenGL: exact PPM bytes, file names, and the
// captures that are skipped.
#include <GL/gl.h>
#include <dirent.h>
#include <string.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "glctx/glctx.h"
#include "plugin/bench.h"
#include "run/run.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"

namespace {

// A colour per pixel that differs between every row and every column.
unsigned char Channel(int x, int y, int c) { return (unsigned char)((x * 7 + y * 29 + c * 101) % 256); }

// Paints the picture pixel by pixel with scissored clears, so nothing
// depends on shaders or rasterisation rules.
void Paint(int w, int h) {
    glEnable(GL_SCISSOR_TEST);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            glScissor(x, y, 1, 1);
            glClearColor(Channel(x, y, 0) / 255.0f, Channel(x, y, 1) / 255.0f, Channel(x, y, 2) / 255.0f, 1.0f);
            glClear(GL_COLOR_BUFFER_BIT);
        }
    }
    glDisable(GL_SCISSOR_TEST);
    glFinish();
}

// The PPM of the painted picture: GL row h-1 is the top, written first.
std::string ExpectedPpm(int w, int h) {
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    for (int y = h - 1; y >= 0; y--) {
        for (int x = 0; x < w; x++) {
            for (int c = 0; c < 3; c++) ppm += (char)Channel(x, y, c);
        }
    }
    return ppm;
}

void RemoveDir(const std::string &dir) {
    for (const std::string &name : TestDir_List(dir)) remove((dir + "/" + name).c_str());
    rmdir(dir.c_str());
}

class CaptureFrame : public ::testing::Test {
protected:
    void SetUp() override {
        bench = BenchState{};
        FakeHost_Reset();
        dir = TestDir_Make();
        ASSERT_FALSE(dir.empty());
        bench.shotsDir = dir.c_str();
    }
    void TearDown() override {
        if (ctx) GlContext_Destroy(ctx);
        bench = BenchState{};
        RemoveDir(dir);
    }
    // A current context with a w x h framebuffer, also set as the game's size.
    void MakeContext(int w, int h) {
        char err[256] = "";
        ctx = GlContext_Create(w, h, err, sizeof err);
        ASSERT_NE(ctx, nullptr) << err;
        Game.width = w;
        Game.height = h;
    }
    std::string Capture(int32_t frame) {
        StdoutCapture_Begin();
        Capture_Frame(frame);
        return StdoutCapture_End();
    }

    std::string dir;
    GlContext *ctx = nullptr;
};

}  // namespace

TEST_F(CaptureFrame, WritesTheExactPictureTopRowFirst) {
    MakeContext(33, 17);
    Paint(33, 17);
    EXPECT_EQ(Capture(7), "");
    EXPECT_EQ(TestFile_Read(dir + "/frame-00007.ppm"), ExpectedPpm(33, 17));
}

TEST_F(CaptureFrame, PacksRowsTightlyWhateverTheAlignmentWas) {
    // Rows of 33 x 3 = 99 bytes: at the default alignment of 4 GL would pad
    // each row to 100 and every row after the first would come out shifted.
    MakeContext(33, 17);
    Paint(33, 17);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    Capture(1);
    EXPECT_EQ(TestFile_Read(dir + "/frame-00001.ppm"), ExpectedPpm(33, 17));
    GLint alignment = 0;
    glGetIntegerv(GL_PACK_ALIGNMENT, &alignment);
    EXPECT_EQ(alignment, 1);
}

TEST_F(CaptureFrame, OnePixelGivesThreeBytesAfterTheHeader) {
    MakeContext(1, 1);
    Paint(1, 1);
    Capture(0);
    std::string ppm = TestFile_Read(dir + "/frame-00000.ppm");
    EXPECT_EQ(ppm, ExpectedPpm(1, 1));
    EXPECT_EQ(ppm.size(), std::string("P6\n1 1\n255\n").size() + 3);
}

TEST_F(CaptureFrame, NamesHaveAtLeastFiveDigits) {
    MakeContext(2, 2);
    Paint(2, 2);
    struct {
        int32_t frame;
        const char *name;
    } cases[] = {{0, "frame-00000.ppm"}, {42, "frame-00042.ppm"}, {99999, "frame-99999.ppm"}, {123456, "frame-123456.ppm"}};
    for (const auto &c : cases) {
        Capture(c.frame);
        EXPECT_EQ(TestFile_Read(dir + "/" + c.name), ExpectedPpm(2, 2)) << c.name;
    }
    EXPECT_EQ(TestDir_List(dir).size(), 4u);
}

TEST_F(CaptureFrame, MissingDirectoryWarnsAndWritesNothing) {
    MakeContext(2, 2);
    std::string missing = dir + "/no-such-dir";
    bench.shotsDir = missing.c_str();
    EXPECT_EQ(Capture(3), "flyrate: warning: can't write " + missing + "/frame-00003.ppm\n");
    EXPECT_TRUE(TestDir_List(dir).empty());
    // The next capture to a good directory works as before.
    bench.shotsDir = dir.c_str();
    EXPECT_EQ(Capture(4), "");
    EXPECT_EQ(TestDir_List(dir), std::vector<std::string>{"frame-00004.ppm"});
}

TEST_F(CaptureFrame, NameThatDoesNotFitIsNotCut) {
    MakeContext(2, 2);
    Paint(2, 2);
    // Extra slashes lengthen the directory without changing where it is.
    // A name of 1023 characters fits the 1024-byte buffer; one of 1030
    // would be cut to ".../frame-00", a file in the same directory.
    const std::string tail = "/frame-00007.ppm";
    std::string fits = dir + std::string(1023 - tail.size() - dir.size(), '/');
    bench.shotsDir = fits.c_str();
    EXPECT_EQ(Capture(7), "");
    EXPECT_EQ(TestDir_List(dir), std::vector<std::string>{"frame-00007.ppm"});
    remove((dir + tail).c_str());

    std::string tooLong = dir + std::string(1030 - tail.size() - dir.size(), '/');
    bench.shotsDir = tooLong.c_str();
    std::string cut = (tooLong + tail).substr(0, 1023);
    std::string warning = ("flyrate: warning: can't write " + cut).substr(0, 1022) + "\n";
    EXPECT_EQ(Capture(7), warning);
    EXPECT_TRUE(TestDir_List(dir).empty());
}

TEST_F(CaptureFrame, EmptyOrNegativeSizeCapturesNothingSilently) {
    MakeContext(2, 2);
    for (auto size : {std::pair<int, int>{0, 2}, {2, 0}, {-1, 2}, {2, -5}, {0, 0}}) {
        Game.width = size.first;
        Game.height = size.second;
        EXPECT_EQ(Capture(1), "");
    }
    EXPECT_TRUE(TestDir_List(dir).empty());
}
