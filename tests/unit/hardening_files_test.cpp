// Files that are not what they seem: a script path naming a directory, an
// unreadable file, a file whose reads fail, an empty file, a FIFO, a device,
// and (still working) a pipe that has a writer;
// a screenshot directory that is a file, can't be written, or makes names
// longer than the name buffer. Each gives its one message and nothing else
// happens: no hang, no hook taken, no stray file.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "glctx/glctx.h"
#include "plugin/bench.h"
#include "plugin/host.h"
#include "run/run.h"
#include "tests/support/capture.h"
#include "tests/support/fakehost.h"

namespace {

const char kClosing[] = "flyrate: closing the game\n";

std::vector<std::string> Entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        }
        closedir(d);
    }
    return names;
}

struct StartUp {
    std::string out;
    bool exited = false;  // false: killed, i.e. it hung
    int status = -1;      // the child's verdict on the state it was left in
};

// Runs the plug-in's start-up with FLYRATE=path in a child process, so a
// start-up that hangs (a FIFO opened for reading waits for a writer) fails
// the test instead of stopping it: the child is killed by an alarm. The
// child reports through its exit status whether start-up failed cleanly:
// Finished, the game asked to close once, no hook slot taken, nothing held.
StartUp StartWith(const std::string &path) {
    StartUp r;
    setenv("FLYRATE", path.c_str(), 1);
    unsetenv("FLYRATE_SHOTS");
    unsetenv("FLYRATE_PASSES");
    unsetenv("FLYRATE_CSV");
    StdoutCapture_Begin();
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);  // guard only: a sound start-up takes microseconds
        FakeHost_Reset();
        bench = BenchState{};
        Bench_Init();
        bool clean = bench.state == RunState_Finished && fakeHost.closeRequests == 1 && WindowInfo.exists == 0 &&
                     !Game.Draw2DHooks[0] && !bench.frameTimes && bench.keyframeCount == 0;
        Bench_Free();
        // exit, not _exit: a coverage build writes its counts at exit.
        exit(clean ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.out = StdoutCapture_End();
    r.exited = WIFEXITED(status);
    r.status = r.exited ? WEXITSTATUS(status) : -1;
    unsetenv("FLYRATE");
    return r;
}

}  // namespace

TEST(HardeningScriptFile, ADirectoryCantBeOpened) {
    std::string dir = TestDir_Make();
    StartUp r = StartWith(dir);
    rmdir(dir.c_str());
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.out, "flyrate: error: can't open " + dir + "\n" + kClosing);
    EXPECT_EQ(r.status, 0);
}

TEST(HardeningScriptFile, AnUnreadableFileCantBeOpened) {
    std::string path;
    if (geteuid() != 0) {
        path = TestFile_Write("0 0 0 0 0 0\n10 1 1 1 1 1\n");
        chmod(path.c_str(), 0);
    } else {
        // Permissions don't stop root; a write-only kernel setting does.
        path = "/proc/sys/vm/compact_memory";
        int fd = open(path.c_str(), O_RDONLY);
        if (fd >= 0) close(fd);
        if (fd >= 0 || access(path.c_str(), F_OK) != 0) GTEST_SKIP() << "no file here that root can't read";
    }
    StartUp r = StartWith(path);
    if (geteuid() != 0) unlink(path.c_str());
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.out, "flyrate: error: can't open " + path + "\n" + kClosing);
    EXPECT_EQ(r.status, 0);
}

TEST(HardeningScriptFile, AFileWhoseReadsFailCantBeOpened) {
    // Opens fine, but reading at offset 0 fails: the script can't be read,
    // which must not pass for an empty (or, mid-file, a shorter) script.
    StartUp r = StartWith("/proc/self/mem");
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.out, "flyrate: error: can't open /proc/self/mem\n" + std::string(kClosing));
    EXPECT_EQ(r.status, 0);
}

TEST(HardeningScriptFile, AnEmptyFileNeedsTwoKeyframes) {
    std::string path = TestFile_Write("");
    StartUp r = StartWith(path);
    unlink(path.c_str());
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.out, "flyrate: error: " + path + ": needs at least two keyframes\n" + kClosing);
    EXPECT_EQ(r.status, 0);
}

TEST(HardeningScriptFile, AFifoWithoutAWriterReadsAsEmptyInsteadOfHanging) {
    std::string dir = TestDir_Make();
    std::string fifo = dir + "/script";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    StartUp r = StartWith(fifo);
    unlink(fifo.c_str());
    rmdir(dir.c_str());
    ASSERT_TRUE(r.exited) << "start-up hung on a FIFO without a writer";
    EXPECT_EQ(r.out, "flyrate: error: " + fifo + ": needs at least two keyframes\n" + kClosing);
    EXPECT_EQ(r.status, 0);
}

TEST(HardeningScriptFile, ADeviceCantBeOpened) {
    // /dev/zero never ends: every 511-byte piece of it would be skipped as a
    // blank line, for ever. /dev/null is as good as empty, like a file.
    StartUp r = StartWith("/dev/zero");
    ASSERT_TRUE(r.exited) << "start-up hung reading a device";
    EXPECT_EQ(r.out, "flyrate: error: can't open /dev/zero\n" + std::string(kClosing));
    EXPECT_EQ(r.status, 0);
}

TEST(HardeningScriptFile, APipeWithItsWriterStillLoads) {
    // What a shell's process substitution hands over: a pipe with data.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const char script[] = "0 0 0 0 0 0\n10 1 1 1 1 1\n";
    ASSERT_EQ(write(fds[1], script, sizeof script - 1), (ssize_t)sizeof script - 1);
    close(fds[1]);
    std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    setenv("FLYRATE", path.c_str(), 1);
    unsetenv("FLYRATE_SHOTS");
    unsetenv("FLYRATE_PASSES");
    unsetenv("FLYRATE_CSV");
    FakeHost_Reset();
    bench = BenchState{};
    StdoutCapture_Begin();
    Bench_Init();
    std::string out = StdoutCapture_End();
    EXPECT_EQ(bench.state, RunState_Armed) << out;
    EXPECT_EQ(bench.keyframeCount, 2);
    EXPECT_EQ(bench.totalFrames, 10);
    Bench_Free();
    bench = BenchState{};
    close(fds[0]);
    unsetenv("FLYRATE");
}

namespace {

class HardeningShotsDir : public ::testing::Test {
protected:
    void SetUp() override {
        bench = BenchState{};
        FakeHost_Reset();
        char err[256] = "";
        ctx = GlContext_Create(2, 2, err, sizeof err);
        ASSERT_NE(ctx, nullptr) << err;
        Game.width = 2;
        Game.height = 2;
    }
    void TearDown() override {
        if (ctx) GlContext_Destroy(ctx);
        bench = BenchState{};
    }
    std::string Capture(const std::string &dir, int32_t frame) {
        bench.shotsDir = dir.c_str();
        StdoutCapture_Begin();
        Capture_Frame(frame);
        return StdoutCapture_End();
    }
    GlContext *ctx = nullptr;
};

}  // namespace

TEST_F(HardeningShotsDir, AFileInsteadOfADirectoryIsWarnedAboutAndLeftAlone) {
    std::string file = TestFile_Write("not a directory");
    EXPECT_EQ(Capture(file, 3), "flyrate: warning: can't write " + file + "/frame-00003.ppm\n");
    EXPECT_EQ(TestFile_Read(file), "not a directory");
    unlink(file.c_str());
}

TEST_F(HardeningShotsDir, ADirectoryThatCantBeWrittenIsWarnedAbout) {
    std::string dir;
    bool made = geteuid() != 0;
    if (made) {
        dir = TestDir_Make();
        chmod(dir.c_str(), 0555);
    } else {
        dir = "/proc";  // root writes anywhere on disk, but makes no files here
    }
    EXPECT_EQ(Capture(dir, 12), "flyrate: warning: can't write " + dir + "/frame-00012.ppm\n");
    EXPECT_EQ(access((dir + "/frame-00012.ppm").c_str(), F_OK), -1);
    if (made) rmdir(dir.c_str());
}

TEST_F(HardeningShotsDir, ANameLongerThanTheBufferIsNotCutShort) {
    // A real directory whose screenshot names pass 1023 bytes: cut to fit,
    // "<dir>/frame-00007.ppm" would become a different file in it. Nothing
    // may be written there; the warning names what fitted.
    std::string base = TestDir_Make();
    std::string dir = base;
    std::vector<std::string> made;
    while (dir.size() + 200 < 1015) {
        dir += "/" + std::string(199, 'd');
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        made.push_back(dir);
    }
    dir += "/" + std::string(1015 - dir.size() - 1, 'e');
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    made.push_back(dir);
    ASSERT_EQ(dir.size(), 1015u);

    std::string full = dir + "/frame-00007.ppm";
    std::string expect = ("flyrate: warning: can't write " + full.substr(0, 1023)).substr(0, 1022) + "\n";
    EXPECT_EQ(Capture(dir, 7), expect);
    EXPECT_TRUE(Entries(dir).empty()) << "a screenshot went to a cut name: " << Entries(dir)[0];

    for (auto it = made.rbegin(); it != made.rend(); ++it) rmdir(it->c_str());
    rmdir(base.c_str());
}
