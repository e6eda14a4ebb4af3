// e2e_test.cpp: the built flyrate.so inside the stand-in game, for what only
// the real library in a real game shows: the example flight timed against
// the game's own clock, screenshots against the game's own render, and the
// game quitting early. Each test starts the stand-in as a process and reads
// the plug-in's lines (standard output), the game's ("standin: ...",
// standard error) and the files written.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <math.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "tests/support/files.h"

namespace {

struct Result {
    int status = -1;
    std::vector<std::string> out, err;
};

bool Has(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class E2E : public ::testing::Test {
protected:
    void SetUp() override { dir = TestDir_Make(); }
    void TearDown() override { TestDir_Remove(dir); }
    static std::string Quote(const std::string &s) {
        std::string q = "'";
        for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    }
    // Runs the stand-in with these options and variables (the plug-in's
    // others unset), under a time limit in case a run never closes.
    Result Standin(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {}) {
        std::string cmd = "env -u FLYRATE -u FLYRATE_SHOTS -u FLYRATE_PASSES -u FLYRATE_CSV -u FLYRATE_RECORD";
        for (const auto &kv : env) cmd += " " + Quote(kv.first + "=" + kv.second);
        cmd += " " + Quote(STANDIN) + " --max-seconds 120";
        for (const std::string &a : args) cmd += " " + Quote(a);
        cmd += " >" + Quote(dir + "/stdout") + " 2>" + Quote(dir + "/stderr");
        Result r;
        int status = system(cmd.c_str());
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = TestText_Lines(TestFile_Read(dir + "/stdout"));
        r.err = TestText_Lines(TestFile_Read(dir + "/stderr"));
        return r;
    }
    std::string Write(const std::string &name, const std::string &text) {
        FILE *f = fopen((dir + "/" + name).c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
        return dir + "/" + name;
    }
    std::string dir;
};

struct Summary {
    int frames = 0;
    double seconds = 0, fps = 0, min = 0, avg = 0, p99 = 0, max = 0;
};
bool ParseSummary(const std::string &line, const char *prefix, Summary *s) {
    std::string format = std::string(prefix) + "%d frames %lf seconds %lf fps, frame ms min/avg/p99/max %lf/%lf/%lf/%lf";
    return sscanf(line.c_str(), format.c_str(), &s->frames, &s->seconds, &s->fps, &s->min, &s->avg, &s->p99, &s->max) == 7;
}

// The example flight, two passes, every chunk built at once so the warm-up
// ends at its 2 s minimum: the lines in order, each pass's per-frame log
// adding up to its summary (times and chunk builds), the game's own clock
// agreeing, every chunk the game built counted once, and the game's camera
// and hook slot given back.
TEST_F(E2E, TheExampleFlightTwiceAgreesWithTheGamesOwnClock) {
    std::string csv = dir + "/frames.csv";
    Result r = Standin({"--size", "160x90", "--build-rate", "100000", "--summary-last", "600", FLYRATE_SO},
                       {{"FLYRATE", EXAMPLE_FLIGHT}, {"FLYRATE_PASSES", "2"}, {"FLYRATE_CSV", csv}});
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> out = r.out;
    // A slow machine may reach the warm-up's limit first: one more line.
    if (out.size() > 2 && out[2].rfind("flyrate: warning: still building chunks", 0) == 0) out.erase(out.begin() + 2);
    ASSERT_EQ(out.size(), 11u) << Lines(r.out);
    EXPECT_EQ(out[0], std::string("flyrate: ") + EXAMPLE_FLIGHT + ": 6 keyframes, 600 frames; warm-up 2-30 s, 1 s without chunk builds");
    EXPECT_EQ(out[1], "flyrate: map loaded, warming up");
    EXPECT_EQ(out[2].rfind("flyrate: start after ", 0), 0u);
    std::vector<std::string> rows = TestText_Lines(TestFile_Read(csv));
    ASSERT_EQ(rows.size(), 1u + 2 * 600);
    long chunks = 0, warm = 0, run = 0;
    Summary s, host;
    for (int pass = 1; pass <= 2; pass++) {
        const std::string *lines = &out[3 + (size_t)(pass - 1) * 4];
        EXPECT_EQ(lines[0].rfind("flyrate: per-second fps: ", 0), 0u);
        EXPECT_EQ(lines[1], "flyrate: pass " + std::to_string(pass) + " of 2");
        ASSERT_EQ(sscanf(lines[2].c_str(), "flyrate: chunks built: %ld in the warm-up, %ld during the run", &warm, &run), 2);
        chunks += run;
        ASSERT_TRUE(ParseSummary(lines[3], "flyrate: ", &s)) << lines[3];
        EXPECT_EQ(s.frames, 600);
        double sum = 0;
        long built = 0;
        for (int frame = 1; frame <= 600; frame++) {
            int p = 0, f = 0;
            double ms = 0;
            long c = 0;
            ASSERT_EQ(sscanf(rows[(size_t)(pass - 1) * 600 + (size_t)frame].c_str(), "%d,%d,%lf,%ld", &p, &f, &ms, &c), 4);
            ASSERT_EQ(p * 1000 + f, pass * 1000 + frame);
            sum += ms, built += c;
        }
        EXPECT_NEAR(sum / 1000, s.seconds, 0.0051) << pass;
        EXPECT_EQ(built, run) << pass;
    }
    long hostBuilds = -1;
    for (const std::string &l : r.err) {
        sscanf(l.c_str(), "standin: %*d frames, %ld chunk builds", &hostBuilds);
        ParseSummary(l, "standin: summary: ", &host);
    }
    EXPECT_EQ(warm + chunks, hostBuilds);
    // The game stamps the same 600 frames of the last pass. A preemption
    // between its stamp and the plug-in's clock reading at either end moves
    // one frame's time by the length of the preemption, and that frame is
    // at most either side's slowest; anything more is a real disagreement.
    ASSERT_EQ(host.frames, 600) << Lines(r.err);
    EXPECT_NEAR(s.seconds, host.seconds, 0.005 * host.seconds + (std::max(s.max, host.max) + 0.05) / 1000);
    EXPECT_TRUE(Has(r.err, "standin: after the free slot: active camera is the host's own camera")) << Lines(r.err);
    EXPECT_TRUE(Has(r.err, "standin: after the free slot: hook slot 0 is free"));
}

// Every keyframe's screenshot is the picture the game itself renders from
// that pose (its own camera flying the same script), byte for byte.
TEST_F(E2E, ScreenshotsAreTheGamesOwnRenderOfEachKeyframe) {
    std::string script = Write("flight.txt", "warmup 0 0 100\n0 -230 36 230 -45 -10\n20 -200 44 205 -40 -12\n45 -170 52 180 -30 -20\n");
    std::string shots = dir + "/shots";
    mkdir(shots.c_str(), 0755);
    // Every chunk in range built at once: a picture depends on its pose alone.
    const std::vector<std::string> world = {"--size", "160x90", "--build-rate", "100000", "--view-distance", "64"};
    std::vector<std::string> plugin = world, own = world;
    plugin.push_back(FLYRATE_SO);
    own.insert(own.end(), {"--fly", script, "--max-frames", "46"});
    for (const char *frame : {"00000", "00020", "00045"}) own.insert(own.end(), {"--host-shot", std::to_string(atoi(frame)) + ":" + dir + "/" + frame});
    ASSERT_EQ(Standin(plugin, {{"FLYRATE", script}, {"FLYRATE_SHOTS", shots}}).status, 0);
    ASSERT_EQ(Standin(own).status, 0);
    EXPECT_EQ(TestDir_List(shots), (std::vector<std::string>{"frame-00000.ppm", "frame-00020.ppm", "frame-00045.ppm"}));
    for (const char *frame : {"00000", "00020", "00045"}) {
        std::string shot = TestFile_Read(shots + "/frame-" + frame + ".ppm");
        EXPECT_EQ(shot.size(), 14 + 160 * 90 * 3u) << frame;
        EXPECT_TRUE(shot == TestFile_Read(dir + "/" + frame)) << frame << " differs from the game's render";
    }
    EXPECT_NE(TestFile_Read(dir + "/00000"), TestFile_Read(dir + "/00045"));
}

// The game quits mid-run and frees the plug-in inside the closing event,
// with its own hook in slot 0: the plug-in says where it was and gives
// back the game's camera and its slot.
TEST_F(E2E, QuittingMidRunGivesBackCameraAndHookSlot) {
    std::string script = Write("flight.txt", "warmup 0 0 100\n0 -230 36 230 -45 -10\n60 -200 44 205 -40 -12\n");
    Result r = Standin({"--size", "64x36", "--take-hooks", "1", "--quit-at", "30", "--free-inside-close", FLYRATE_SO},
                       {{"FLYRATE", script}});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.out.size(), 4u) << Lines(r.out);
    EXPECT_EQ(r.out[0], "flyrate: " + script + ": 2 keyframes, 60 frames; warm-up 0-100 s, 0 s without chunk builds");
    EXPECT_EQ(r.out[2].rfind("flyrate: start after ", 0), 0u);
    EXPECT_EQ(r.out[3], "flyrate: the game closed before the end (frame 30 of 60, pass 1 of 1)");
    EXPECT_TRUE(Has(r.err, "standin: after the free slot: active camera is the host's own camera")) << Lines(r.err);
    EXPECT_TRUE(Has(r.err, "standin: after the free slot: hook slot 1 is free"));
}

// A flight flown by the game's own camera and recorded, then replayed by
// the benchmark: every frame within the tolerance of the original, the
// keyframes' frames exactly.
TEST_F(E2E, ARecordedFlightReplaysTheOriginal) {
    std::string script = dir + "/recorded.txt";
    Result r = Standin({"--size", "64x36", "--view-distance", "32", "--fly", EXAMPLE_FLIGHT, "--pose-log", dir + "/flown", "--max-frames", "601",
                        FLYRATE_SO}, {{"FLYRATE_RECORD", script}});
    ASSERT_EQ(r.status, 0);
    int keyframes = 0;
    ASSERT_EQ(sscanf(r.out.back().c_str(), ("flyrate: recorded 601 frames as %d keyframes to " + script).c_str(), &keyframes), 1)
        << Lines(r.out);
    std::vector<std::string> lines = TestText_Lines(TestFile_Read(script));
    Write("recorded.txt", TestFile_Read(script) + "warmup 0 0 100\n");  // replayed from the first frame
    r = Standin({"--size", "64x36", "--view-distance", "32", "--pose-log", dir + "/replayed", FLYRATE_SO}, {{"FLYRATE", script}});
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> flown = TestText_Lines(TestFile_Read(dir + "/flown")), replayed = TestText_Lines(TestFile_Read(dir + "/replayed"));
    ASSERT_EQ(flown.size(), 601u);
    ASSERT_EQ(replayed.size(), 601u);
    std::vector<int> keys;
    for (const std::string &l : lines)
        if (isdigit(l[0])) keys.push_back(atoi(l.c_str()));
    EXPECT_EQ((int)keys.size(), keyframes);
    for (size_t f = 0; f < 601; f++) {
        float a[6], b[6];
        sscanf(flown[f].c_str(), "%f %f %f %f %f %f", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]);
        sscanf(replayed[f].c_str(), "%f %f %f %f %f %f", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
        for (int i = 1; i < 4; i++) EXPECT_LE(fabsf(a[i] - b[i]), 0.0101f) << flown[f] << " vs " << replayed[f];
        for (int i = 4; i < 6; i++) EXPECT_LE(fabs(remainder(a[i] - b[i], 2 * M_PI)) * 180 / M_PI, 0.0501) << f;
        EXPECT_TRUE(!std::count(keys.begin(), keys.end(), (int)f) || flown[f] == replayed[f]) << f;
    }
}

}  // namespace
