// Keyframe scripts: the forms the loader accepts, every refusal with its
// message and line, a failed load leaving the last good path, and script
// files that are not what they seem.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "path/path.h"
#include "tests/support/plugintest.h"

namespace {

// n keyframes at frames 0, 10, 20, ..., values following the index: the
// script and the table it loads into.
std::string Numbered(int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += std::to_string(i * 10) + " " + std::to_string(i) + " " + std::to_string(i + 1) + " 2 3 4\n";
    return s;
}
std::vector<Keyframe> NumberedKeyframes(int n) {
    std::vector<Keyframe> k;
    for (int i = 0; i < n; i++) k.push_back({i * 10, (float)i, (float)i + 1, 2, 3, 4});
    return k;
}

class KeyframesLoad : public PluginTest {
protected:
    // Loads a script of this text; the log goes to out.
    int Load(const std::string &text, std::string *path = nullptr) {
        std::string file = Scratch(text);
        if (path) *path = file;
        return Keyframes_Load(file.c_str());
    }
    std::vector<Keyframe> Table() { return std::vector<Keyframe>(bench.keyframes, bench.keyframes + bench.keyframeCount); }
};

bool Same(const std::vector<Keyframe> &a, const std::vector<Keyframe> &b) {
    return a.size() == b.size() && memcmp(a.data(), b.data(), a.size() * sizeof(Keyframe)) == 0;
}

TEST_F(KeyframesLoad, AcceptsWhatTheFormatsAccept) {
    const std::string pad1200(1200, ' '), pad499(499, ' ');
    struct Case {
        std::string script;
        std::vector<Keyframe> keyframes;
        double warmup[3];
    } cases[] = {
        {"0 1 2 3 4 5\n120 64.5 80 -12.25 90 -15\n", {{0, 1, 2, 3, 4, 5}, {120, 64.5f, 80, -12.25f, 90, -15}}, {2, 1, 30}},
        // scanf's forms: signs, exponents, hex floats, leading zeros, tabs,
        // and text after the six values.
        {"+0 1e2 0x1p3 -0 4 2.5 trailing words\n0010\t1\t2\t3\t4\t5\n", {{0, 100, 8, -0.0f, 4, 2.5f}, {10, 1, 2, 3, 4, 5}}, {2, 1, 30}},
        {"# a comment\n\n   \t \n\r\n  \t# indented\n\t 0 1 2 3 4 5\r\n#\r\n10 6 7 8 9 10\r\n   ",
         {{0, 1, 2, 3, 4, 5}, {10, 6, 7, 8, 9, 10}}, {2, 1, 30}},
        {"warmup 3 0.5 20\n" + Numbered(2), NumberedKeyframes(2), {3, 0.5, 20}},
        {"warmup2 1 40\n" + Numbered(2), NumberedKeyframes(2), {2, 1, 40}},  // keyword against its number
        {"  \twarmup 1e1 -1 0x10 and more\n" + Numbered(2), NumberedKeyframes(2), {10, -1, 16}},  // no range test
        {"warmup 1 2 3\n0 0 1 2 3 4\nwarmup 4 5 6\n10 1 2 2 3 4\n", NumberedKeyframes(2), {4, 5, 6}},
        {Numbered(2) + "warmup 7\t8\t9", NumberedKeyframes(2), {7, 8, 9}},
        // 511 bytes with the newline are one read; a longer line's further
        // pieces are blanks here.
        {"0 0 1 2 3 4" + pad499 + "\n10 1 2 2 3 4" + pad1200 + "\n", NumberedKeyframes(2), {2, 1, 30}},
        {"0 0 1 2 3 4\n2147483647 1 2 3 4 5\n", {{0, 0, 1, 2, 3, 4}, {INT32_MAX, 1, 2, 3, 4, 5}}, {2, 1, 30}},
        // Across the table's growths, from 32 keyframes doubling.
        {Numbered(32), NumberedKeyframes(32), {2, 1, 30}},
        {Numbered(33), NumberedKeyframes(33), {2, 1, 30}},
        {Numbered(1000), NumberedKeyframes(1000), {2, 1, 30}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script.substr(0, 60));
        FakeGame_Reset();
        ASSERT_EQ(Load(c.script), 1) << OutText();
        EXPECT_EQ(OutText(), "");
        EXPECT_TRUE(Same(Table(), c.keyframes));
        EXPECT_EQ(bench.totalFrames, c.keyframes.back().frame);
        EXPECT_EQ(bench.warmupMin, c.warmup[0]);
        EXPECT_EQ(bench.warmupQuiet, c.warmup[1]);
        EXPECT_EQ(bench.warmupMax, c.warmup[2]);
    }
}

TEST_F(KeyframesLoad, RefusesWithTheLineAndWhy) {
    const std::string kf = "0 0 0 0 0 0\n", exact = "0 0 0 0 0 0" + std::string(499, ' ') + "\n";
    const std::string longComment = "#" + std::string(510, 'x'), tail = std::string(89, 'x') + "\n";
    struct Case {
        std::string script;
        std::string message;  // after "flyrate: error: <path>"
    } cases[] = {
        {"", ": needs at least two keyframes\n"},
        {"warmup 1 2 3\n" + kf, ": needs at least two keyframes\n"},
        {"5 0 0 0 0 0\n", ":1: frames must start at 0 and ascend\n"},
        {"-2147483648 1 2 3 4 5\n", ":1: frames must start at 0 and ascend\n"},
        {"# c\n" + kf + "\n10 0 0 0 0 0\n10 1 1 1 1 1\n", ":5: frames must start at 0 and ascend\n"},
        {kf + "20 0 0 0 0 0\n15 0 0 0 0 0\n", ":3: frames must start at 0 and ascend\n"},
        {"warmup 1 2\n", ":1: can't parse: warmup 1 2\n\n"},
        {"warmup\n", ":1: can't parse: warmup\n\n"},
        {"Warmup 1 2 3\n", ":1: can't parse: Warmup 1 2 3\n\n"},
        {kf + "  \tten 1 2 3 4 5\n", ":2: can't parse:   \tten 1 2 3 4 5\n\n"},
        {kf + "10 1 2 3 4\n", ":2: can't parse: 10 1 2 3 4\n\n"},
        {kf + "20 1,2 3 4 5 6\n", ":2: can't parse: 20 1,2 3 4 5 6\n\n"},
        {"0 0 0 0 0 0\r\n10 1 2 3 4\r\n", ":2: can't parse: 10 1 2 3 4\r\n\n"},
        {kf + "10 1 2 3", ":2: can't parse: 10 1 2 3\n"},  // no newline of its own
        // Outside int32: %d would wrap 4294967306 into frame 10.
        {kf + "4294967306 1 2 3 4 5\n", ":2: can't parse: 4294967306 1 2 3 4 5\n\n"},
        {kf + "-2147483649 1 2 3 4 5\n", ":2: can't parse: -2147483649 1 2 3 4 5\n\n"},
        // A pose or a warm-up the game can't use: it would never render or
        // never start.
        {kf + "10 nan 0 0 0 0\n", ":2: can't parse: 10 nan 0 0 0 0\n\n"},
        {kf + "10 0 0 0 0 -inf\n", ":2: can't parse: 10 0 0 0 0 -inf\n\n"},
        {"warmup 1 1 nan\n", ":1: can't parse: warmup 1 1 nan\n\n"},
        {"warmup inf 1 1\n", ":1: can't parse: warmup inf 1 1\n\n"},
        // Long lines are read in 511-byte pieces, each counted as a line.
        {exact + "bad\n", ":2: can't parse: bad\n\n"},
        {"0 0 0 0 0 0" + std::string(500, ' ') + "\nbad\n", ":3: can't parse: bad\n\n"},
        {kf + longComment + tail, ":3: can't parse: " + tail + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.script.substr(0, 60));
        FakeGame_Reset();
        std::string path;
        EXPECT_EQ(Load(c.script, &path), 0);
        EXPECT_EQ(OutText(), "flyrate: error: " + path + c.message);
        EXPECT_EQ(bench.keyframes, nullptr);
        EXPECT_EQ(bench.keyframeCount, 0);
        EXPECT_EQ(bench.totalFrames, 0);
    }
}

TEST_F(KeyframesLoad, AFailedLoadLeavesTheLastGoodPath) {
    // Loads that fail at once, half-way through a grown table, or at the
    // end; LeakSanitizer sees that every replaced or refused table is freed.
    const std::string scripts[] = {Numbered(40), Numbered(39) + "oops\n", Numbered(3), Numbered(1), Numbered(200),
                                   Numbered(100) + "5 0 0 0 0 0\n"};
    std::vector<Keyframe> good;
    for (const std::string &script : scripts) {
        if (Load(script)) good = Table();
        EXPECT_TRUE(Same(Table(), good));
        EXPECT_EQ(bench.totalFrames, good.back().frame);
    }
    EXPECT_EQ(good.size(), 200u);
}

// Loads the script in a child process, so a load that hangs (reading a
// device that never ends, or opening a FIFO that waits for a writer) fails
// the test instead of stopping it. With a writer (a descriptor open on the
// FIFO), the script is sent only once the loader has begun waiting for it.
// Returns what was printed, or "hung".
std::string LoadInChild(const std::string &path, int writer = -1) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);  // a sound load takes microseconds
        if (writer >= 0) close(writer);
        exit(Keyframes_Load(path.c_str()) ? 0 : 1);  // exit, not _exit: coverage counts are written at exit
    }
    if (writer >= 0) {
        usleep(100 * 1000);
        const char script[] = "0 0 0 0 0 0\n10 1 1 1 1 1\n";
        EXPECT_EQ(write(writer, script, sizeof script - 1), (ssize_t)sizeof script - 1);
        close(writer);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::string out = Stdout_Take();
    return WIFEXITED(status) ? out : "hung";
}

TEST_F(KeyframesLoad, ScriptFilesThatAreNotWhatTheySeem) {
    std::string dir = TestDir_Make(), fifo = dir + "/fifo", locked = Scratch(Numbered(2));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Root reads any file; a write-only kernel setting stops root too.
    std::string unreadable = geteuid() != 0 ? locked : "/proc/sys/vm/compact_memory";
    chmod(locked.c_str(), 0);
    struct Case {
        std::string path;
        std::string out;
    } cases[] = {
        {"/nonexistent/flight.txt", "flyrate: error: can't open /nonexistent/flight.txt\n"},
        {unreadable, "flyrate: error: can't open " + unreadable + "\n"},
            // Opens, but reading fails: not an empty or a shorter script.
        {"/proc/self/mem", "flyrate: error: can't open /proc/self/mem\n"},
        // Never ends: every piece would be skipped as blank, for ever.
        {"/dev/zero", "flyrate: error: can't open /dev/zero\n"},
        // Without a writer a FIFO reads as empty instead of holding start-up.
        {fifo, "flyrate: error: " + fifo + ": needs at least two keyframes\n"},
    };
    for (const Case &c : cases) EXPECT_EQ(LoadInChild(c.path), c.out) << c.path;
    // A pipe with a writer, as a shell's process substitution gives, loads.
    EXPECT_EQ(LoadInChild(fifo, open(fifo.c_str(), O_RDWR)), "");
    TestDir_Remove(dir);
}

}  // namespace
