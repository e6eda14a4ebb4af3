// Recording a flight: a script that replays every frame the game's camera
// showed within the tolerance; the ways a recording ends without one; a
// crash's scratch file finished by the next start; the files it writes.
#include <fcntl.h>
#include <math.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <fstream>

#include "path/path.h"
#include "tests/support/plugintest.h"

// The process's umask and syncs as the plug-in's code sees them: counted.
static int umaskCalls, fsyncCalls;
extern "C" mode_t umask(mode_t mask) noexcept { return umaskCalls++, (mode_t)syscall(SYS_umask, mask); }
extern "C" int fsync(int fd) { return fsyncCalls++, (int)syscall(SYS_fsync, fd); }

namespace {

class Recording : public PluginTest {
protected:
    // Start-up, the map, frames of the game's camera along a climbing arc,
    // turning round nearly twice and looping over once (the angles kept
    // within (-pi, pi], as a game gives them), shutdown (unless the game
    // crashes first).
    std::vector<std::string> Record(int frames, const std::string &record = "", bool quit = true) {
        FakeGame_Reset();
        Stdout_Take();
        setenv("FLYRATE_RECORD", (record.empty() ? file : record).c_str(), 1);
        Plugin_Component.Init();
        Play(frames < 0 ? "f" : "fm");  // a frame before the map is not recorded
        for (int f = 0; f < frames; f++) Pose(f), Play("f");
        if (quit) Play("q");
        return Out();
    }
    static void Pose(int f) {
        fakeGame.position = Vec3{100 * cosf(0.002f * f), 60 + 0.01f * f, 100 * sinf(0.002f * f)};
        fakeGame.orientation = Vec2{remainderf(0.02f * f, 6.2831853f), remainderf(0.013f * f - 0.2f, 6.2831853f)};
    }
    // The script in file replays the frames 0..frames-1 of Pose.
    void ExpectReplays(int frames) {
        ASSERT_EQ(Keyframes_Load(file.c_str()), 1) << OutText();
        ASSERT_EQ(bench.totalFrames, frames - 1);
        for (int k = 1; k < bench.keyframeCount; k++)  // unwrapped: a turn replays as that turn, not a spin back
            EXPECT_TRUE(bench.keyframes[k].orientX > bench.keyframes[k - 1].orientX && bench.keyframes[k].orientY > bench.keyframes[k - 1].orientY);
        for (int f = 0, k = 0; f < frames; f++) {
            Pose(f);
            Keyframe p = Path_Sample(f);
            Vec3 at = fakeGame.position;
            EXPECT_LE(fmaxf(fmaxf(fabsf(p.x - at.x), fabsf(p.y - at.y)), fabsf(p.z - at.z)), 0.01f) << f;
            double yaw = remainder(p.orientX - fakeGame.orientation.x / kRadiansPerDegree, 360.0);
            EXPECT_LE(fmax(fabs(yaw), fabs(remainder(p.orientY - fakeGame.orientation.y / kRadiansPerDegree, 360.0))), 0.051) << f;
            bool key = bench.keyframes[k].frame == f;  // at a keyframe, the very position
            EXPECT_TRUE(!key || (p.x == at.x && p.z == at.z && bench.keyframes[k++].y == at.y)) << f;
        }
    }
    ~Recording() override { TestDir_Remove(dir); }
    std::string dir = TestDir_Make(), file = dir + "/flight.txt";
};

TEST_F(Recording, AFlightReplaysWithinTheTolerance) {
    std::vector<std::string> out = Record(600), script = TestText_Lines(TestFile_Read(file));
    int keyframes = 0;
    ASSERT_TRUE(out.size() == 2 && out[0] == "flyrate: recording to " + file);
    ASSERT_EQ(sscanf(out[1].c_str(), ("flyrate: recorded 600 frames as %d keyframes to " + file).c_str(), &keyframes), 1);
    EXPECT_LT(keyframes, 100);
    EXPECT_EQ(script[0] + script[1], "# flyrate recording: 600 frames as " + std::to_string(keyframes) +
                                         " keyframes, within 0.01 blocks and 0.05 degrees of eachwarmup 2 1 30");
    EXPECT_TRUE(Camera.active == &fakeGame.hostCamera && fakeGame.closeRequests == 0) << "only looked at";
    ExpectReplays(600);
}

TEST_F(Recording, EndsWithoutAScriptWhenItCantMakeOne) {
    const std::string old = "an older flight\n", notWritten = " frames recorded, a script needs two: " + file + " not written";
    const std::string scratch = file + ".recording", cant = "flyrate: warning: can't write ";
    std::ofstream(file) << old;
    EXPECT_EQ(Record(-1).back(), "flyrate: warning: 0" + notWritten) << "no map";
    EXPECT_EQ(Record(1).back(), "flyrate: warning: 1" + notWritten);
    // A destination that can't be written is refused at start: one line, nothing recorded.
    symlink("loop", (dir + "/loop").c_str());
    symlink(std::string(4090, 'b').c_str(), (dir + "/long").c_str());
    const std::string tooLong = "File name too long";
    for (auto [to, why] : std::vector<std::pair<std::string, std::string>>{
             {"/nonexistent/flight.txt", "No such file or directory"}, {file + "/x", "Not a directory"},
             {dir, "Is a directory"}, {dir + "/loop", "Too many levels of symbolic links"}, {"/dev/null", "not a regular file"},
             {std::string(5000, 'a'), tooLong}, {dir + "/long", tooLong}, {dir + "/" + std::string(4060, 'c'), tooLong}})  // no room for ".recording.new"
        EXPECT_EQ(Lines(Record(5, to)), (cant + to + ": " + why + "; nothing is recorded").substr(0, 1022) + "\n");
    // The disk fills: what the scratch file got is kept there, for the next start to finish.
    std::vector<std::string> full = DiskFullAfter(2000, [&] { return Record(5000); }), next;
    int saved = 0;
    ASSERT_TRUE(full.size() == 3 &&
                sscanf(full[1].c_str(), (cant + scratch + " after %d frames: later frames are kept in memory only").c_str(), &saved) == 1 && saved > 10) << Lines(full);
    EXPECT_EQ(full[2], cant + file + ": the recording stays in " + scratch + " for the next start to finish");
    EXPECT_EQ(TestFile_Read(file), old) << "the older file left whole";
    next = Record(5);
    ASSERT_TRUE(next.size() == 2 && !next[1].rfind("flyrate: recorded " + std::to_string(saved) + " frames as ", 0)) << Lines(next);
    ExpectReplays(saved);
    EXPECT_EQ(TestDir_List(dir), (std::vector<std::string>{"flight.txt", "long", "loop"})) << "the scratch file gone";
    Record(5, "", false), unlink(file.c_str()), mkdir(file.c_str(), 0755);  // FILE made a folder meanwhile
    Play("q");
    EXPECT_EQ(Out().back(), cant + file + ": the recording stays in " + scratch + " for the next start to finish");
    EXPECT_EQ(TestDir_List(dir), (std::vector<std::string>{"flight.txt", "flight.txt.recording", "long", "loop"}));
    // With FLYRATE set too the benchmark runs, and says the recording is off.
    setenv("FLYRATE_RECORD", file.c_str(), 1);
    std::string script = Start("0 0 0 0 0 0\n10 1 1 1 1 1\n");
    EXPECT_EQ(Out().front(), "flyrate: warning: FLYRATE runs the benchmark, so recording to " + file + " is off");
}

// The longest name that leaves room for the scratch files' names is
// recorded; a byte more is refused at start.
TEST_F(Recording, TheLongestNameThatLeavesRoomForTheScratchFiles) {
    std::string deep = dir;
    while (kRecordPathMax - sizeof ".recording.new" - deep.size() > 200) mkdir((deep += "/" + std::string(100, 'd')).c_str(), 0755);
    std::string longest = deep + "/" + std::string(kRecordPathMax - sizeof ".recording.new" - deep.size() - 1, 'f');
    EXPECT_EQ(Lines(Record(20, longest + "f")),
              ("flyrate: warning: can't write " + longest + "f: File name too long; nothing is recorded").substr(0, 1022) + "\n");
    EXPECT_EQ(Record(20, longest).size(), 2u);
    EXPECT_EQ(TestFile_Read(longest).rfind("# flyrate recording: 20 frames as ", 0), 0u);
}

// The game killed mid-flight: the next start makes the script of what the
// scratch file got, the last save at most a few seconds before, and records
// nothing; the start after records again.
TEST_F(Recording, ACrashLeavesTheFlightSoFarForTheNextStartToFinish) {
    const std::string scratch = file + ".recording";
    pid_t child = fork();
    if (child == 0) Record(600, "", false), raise(SIGKILL);
    int status = 0, saved = 0, keyframes = 0;
    ASSERT_TRUE(child > 0 && waitpid(child, &status, 0) == child && WIFSIGNALED(status));
    std::ofstream(scratch, std::ios::app) << "600 1.5";  // and a write cut short, as a crash may
    std::vector<std::string> out = Record(5);
    ASSERT_EQ(out.size(), 2u) << Lines(out);
    EXPECT_EQ(out[0], "flyrate: finishing the recording left in " + scratch + "; nothing new is recorded this time");
    ASSERT_EQ(sscanf(out[1].c_str(), ("flyrate: recorded %d frames as %d keyframes to " + file).c_str(), &saved, &keyframes), 2);
    EXPECT_GE(saved, 600 - 8) << "saved every 2 s, 8 frames here";
    ExpectReplays(saved);
    EXPECT_EQ(TestDir_List(dir), std::vector<std::string>{"flight.txt"});
    std::ofstream(scratch) << "# flyrate recording in progress: one keyframe per frame\nwarmup 2 1 30\n0 1 2 3 4 5\n";
    EXPECT_EQ(Record(5).front(), "flyrate: recording to " + file) << "one frame left: nothing to finish";
    // A scratch file another game holds is left to it; one that isn't a recording is left to the user.
    std::ofstream(scratch) << "# not a recording\n0 1 2 3 4 5\n7 1 2 3 4 5\n1 2";
    int held = open(scratch.c_str(), O_RDONLY);
    flock(held, LOCK_EX);
    EXPECT_EQ(Lines(Record(5)), "flyrate: warning: can't write " + file + ": another game is recording to it; nothing is recorded\n");
    close(held);
    EXPECT_EQ(Record(5).back(), "flyrate: warning: " + scratch + " isn't a recording flyrate can finish: nothing is recorded to " + file + " until it is removed");
    EXPECT_EQ(TestFile_Read(scratch), "# not a recording\n0 1 2 3 4 5\n7 1 2 3 4 5\n1 2") << "left as it was";
}

// A new file gets the mode the umask leaves, an existing one keeps its own,
// a link's target is written and the link stays; the umask is never
// touched, and the script and its folder are synced.
TEST_F(Recording, WritesTheLinksTargetWithItsMode) {
    mode_t mask = umask(027);
    mkdir((dir + "/sub").c_str(), 0755);
    struct { const char *link; mode_t existing, expected; } cases[] = {  // under umask 027
        {nullptr, 0, 0640}, {nullptr, 0604, 0604}, {"sub/real.txt", 0600, 0600}, {"sub/new.txt", 0, 0640}};
    for (const auto &c : cases) {
        std::string target = c.link ? dir + "/" + c.link : file;
        unlink(file.c_str());
        if (c.link) symlink(c.link, file.c_str());
        if (c.existing) close(open(target.c_str(), O_CREAT | O_WRONLY, 0)), chmod(target.c_str(), c.existing);
        umaskCalls = fsyncCalls = 0;
        int here = open(".", O_RDONLY);  // FILE named from the current folder
        EXPECT_EQ(chdir(dir.c_str()), 0);
        EXPECT_EQ(Record(20, "flight.txt").size(), 2u);
        EXPECT_EQ(fchdir(here) + close(here), 0);
        struct stat st = {}, at = {};  // the target's mode; FILE itself
        stat(target.c_str(), &st), lstat(file.c_str(), &at);
        EXPECT_TRUE((st.st_mode & 07777) == c.expected && S_ISLNK(at.st_mode) == (c.link != nullptr)) << target;
        EXPECT_TRUE(umaskCalls == 0 && fsyncCalls == 2) << umaskCalls << " umask, " << fsyncCalls << " fsync calls";
        ExpectReplays(20);
    }
    EXPECT_EQ(TestDir_List(dir + "/sub"), (std::vector<std::string>{"new.txt", "real.txt"})) << "no scratch file left";
    umask(mask);
}

}  // namespace
