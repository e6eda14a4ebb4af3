// Keyframe scripts: the forms the loader accepts, every refusal with its
// message and line, a failed load leaving the last good path, and script
// files that are not what they seem.
#include <fcntl.h>
#include <sys/stat.h>

#include <thread>

#include <fstream>

#include "path/path.h"
#include "standin/standin.h"
#include "tests/support/plugintest.h"

namespace {

// n keyframes at frames 0, 10, 20, ..., values following the index.
std::string Numbered(int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += std::to_string(i * 10) + " " + std::to_string(i) + " 1 2 3 4\n";
    return s;
}

class KeyframesLoad : public PluginTest {
protected:
    int Load(const std::string &text, std::string *path = nullptr) {
        std::string file = Scratch(text);
        if (path) *path = file;
        return Keyframes_Load(file.c_str());
    }
    // The warm-up and the keyframes loaded, "min quiet max: frame:x,y,z,orientX,orientY ..." (%g).
    std::string Loaded() {
        char k[128];
        snprintf(k, sizeof k, "%g %g %g:", bench.warmupMin, bench.warmupQuiet, bench.warmupMax);
        std::string s = k;
        for (const Keyframe *p = bench.keyframes; p < bench.keyframes + bench.keyframeCount; p++)
            snprintf(k, sizeof k, " %d:%g,%g,%g,%g,%g", p->frame, p->x, p->y, p->z, p->orientX, p->orientY), s += k;
        return s;
    }
};

TEST_F(KeyframesLoad, AcceptsWhatTheFormatsAccept) {
    const std::string two = " 0:0,1,2,3,4 10:1,1,2,3,4";
    const std::pair<std::string, std::string> cases[] = {
        {"0 1 2 3 4 5\n120 64.5 80 -12.25 90 -15\n", "2 1 30: 0:1,2,3,4,5 120:64.5,80,-12.25,90,-15"},
        // scanf's forms: signs, exponents, hex floats, leading zeros, tabs, text after the six values.
        {"+0 1e2 0x1p3 -0 4 2.5 trailing\n0010\t1\t2\t3\t4\t5\n", "2 1 30: 0:100,8,-0,4,2.5 10:1,2,3,4,5"},
        {"warmup 3 0.5 20\n" + Numbered(2), "3 0.5 20:" + two},
        {"warmup2 1 40\n" + Numbered(2), "2 1 40:" + two},  // against its number
        {" \twarmup 1e1 -1 0x10 more\n" + Numbered(2), "10 -1 16:" + two},  // no range test
        {"warmup 1 2 3\n0 0 1 2 3 4\nwarmup 4 5 6\n10 1 1 2 3 4", "4 5 6:" + two},
        {"0 0 1 2 3 4\n2147483647 1 2 3 4 5\n", "2 1 30: 0:0,1,2,3,4 2147483647:1,2,3,4,5"},
    };
    for (const auto &c : cases) {
        SetUp();
        EXPECT_EQ(Load(c.first), 1) << c.first;
        EXPECT_EQ(OutText() + Loaded(), c.second) << c.first;
        EXPECT_EQ(bench.totalFrames, bench.keyframes[bench.keyframeCount - 1].frame);
    }
}

// The table of scripts that flycompare's tests read too: the plug-in's
// loader and the stand-in's each give every case's result, the frames or
// the line of the refusal ("refused" without one) from the message.
TEST_F(KeyframesLoad, AgreeWithTheCaseTable) {
    std::ifstream table(KEYFRAME_CASES);
    int cases = 0;
    for (std::string line, script, path; std::getline(table, line);) {
        size_t arrow = line.rfind(" => ");
        if (arrow == std::string::npos) continue;
        SetUp();
        script.clear(), cases++;
        for (size_t i = 0; i < arrow; i++) {  // escapes undone: \n ..., c\{N} for N copies of c
            char c = line[i] == '\\' ? line[++i] : 0, *end;
            if (c == '{') script.append(strtoul(&line[i + 1], &end, 10) - 1, script.back()), i = end - line.data();
            else script += !c ? line[i] : c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c == 'v' ? '\v' : c == 'f' ? '\f' : c == '0' ? '\0' : c;
        }
        auto result = [&](const std::string &message, std::vector<int> frames) {
            std::string got;
            for (int f : frames) got += (got.empty() ? "" : " ") + std::to_string(f);
            int at = 0;
            if (got.empty()) got = sscanf(message.c_str() + message.find(path) + path.size(), ":%d:", &at) == 1 ? "line " + std::to_string(at) : "refused";
            return got;
        };
        Load(script, &path);
        std::vector<int> plugin, standin;
        for (int i = 0; i < bench.keyframeCount; i++) plugin.push_back(bench.keyframes[i].frame);
        EXPECT_EQ(result(OutText(), plugin), line.substr(arrow + 4)) << "plug-in: " << line;
        std::string err = Scratch("");  // the stand-in's messages, on standard error
        int saved = dup(2);
        freopen(err.c_str(), "w", stderr);
        Fly_Load(path.c_str());
        fflush(stderr), dup2(saved, 2), close(saved);
        for (const FlyKey &k : flyKeys) standin.push_back(k.frame);
        EXPECT_EQ(result(TestFile_Read(err), standin), line.substr(arrow + 4)) << "stand-in: " << line;
    }
    EXPECT_GT(cases, 30) << KEYFRAME_CASES;  // the table was found and read
}

TEST_F(KeyframesLoad, RefusesWithTheLineAndWhy) {
    const std::string kf = "0 0 0 0 0 0\n";
    struct Case {
        std::string script, message;  // after "flyrate: error: <path>"
    } cases[] = {
        {"", ": needs at least two keyframes\n"},
        {"5 0 0 0 0 0\n", ":1: frames must start at 0 and ascend\n"},
        {"warmup 1 2\n", ":1: can't parse: warmup 1 2\n\n"},
        {kf + "  \tten 1 2 3 4 5\n", ":2: can't parse:   \tten 1 2 3 4 5\n\n"},
        {"0 0 0 0 0 0\r\n10 1 2 3 4\r\n", ":2: can't parse: 10 1 2 3 4\r\n\n"},
        {kf + "10 1 2 3", ":2: can't parse: 10 1 2 3\n"},  // no newline of its own
        {kf + "4294967306 1 2 3 4 5\n", ":2: can't parse: 4294967306 1 2 3 4 5\n\n"},  // %d would make it frame 10
        // Numbers the game can't use: a pose it can't render, a warm-up that never ends.
        {kf + "10 nan 0 0 0 0\n", ":2: can't parse: 10 nan 0 0 0 0\n\n"},
        // Long lines are read in 511-byte pieces, each counted as a line and shown as it is.
        {kf + "#" + std::string(510, 'x') + std::string(89, 'y') + "\n", ":3: can't parse: " + std::string(89, 'y') + "\n\n"},
    };
    for (const Case &c : cases) {
        SetUp();
        std::string path;
        EXPECT_EQ(Load(c.script, &path), 0);
        EXPECT_EQ(OutText(), "flyrate: error: " + path + c.message);
        EXPECT_TRUE(!bench.keyframes && bench.keyframeCount == 0 && bench.totalFrames == 0);
    }
}

TEST_F(KeyframesLoad, AFailedLoadLeavesTheLastGoodPath) {
    // Failing at once, half-way through a grown table (from 32), or at the
    // end; LeakSanitizer sees that every replaced or refused table is freed.
    std::string good;
    for (const std::string &script : {Numbered(40), Numbered(39) + "oops\n", Numbered(1), Numbered(200), Numbered(100) + "5 0 0 0 0 0\n"}) {
        if (Load(script)) good = Loaded();
        EXPECT_EQ(Loaded(), good);
    }
    EXPECT_TRUE(bench.keyframeCount == 200 && bench.totalFrames == 1990 && bench.keyframes[199].x == 199);
}

// A load that hangs (a device that never ends, a FIFO waiting for a writer)
// is stopped by the alarm, which fails the whole program rather than hold it.
TEST_F(KeyframesLoad, ScriptFilesThatAreNotWhatTheySeem) {
    std::string dir = TestDir_Make(), fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    alarm(10);
    for (std::string path : {"/nonexistent/flight.txt", "/proc/self/mem", "/dev/zero"}) {  // missing; reads fail; never end
        EXPECT_EQ(Keyframes_Load(path.c_str()), 0);
        EXPECT_EQ(OutText(), "flyrate: error: can't open " + path + "\n");
    }
    EXPECT_EQ(Keyframes_Load(fifo.c_str()), 0);  // no writer: empty, not waiting
    EXPECT_EQ(OutText(), "flyrate: error: " + fifo + ": needs at least two keyframes\n");
    // With a writer from the start that sends only once the loader waits,
    // as a shell's process substitution gives, the script loads.
    int writer = open(fifo.c_str(), O_RDWR);
    std::thread late([writer] {
        usleep(100 * 1000);
        EXPECT_EQ(write(writer, "0 0 0 0 0 0\n10 1 1 1 1 1\n", 24), 24);
        close(writer);
    });
    EXPECT_EQ(Keyframes_Load(fifo.c_str()), 1) << OutText();
    late.join();
    alarm(0);
    TestDir_Remove(dir);
}

}  // namespace
