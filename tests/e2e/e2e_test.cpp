// e2e_test.cpp: the built flyrate.so in the stand-in game, for what only the
// real library in a real game shows: stdout, stderr and the files written.
#include <gtest/gtest.h>
#include <math.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "tests/support/files.h"

namespace {

struct Result {
    int status = -1;
    std::vector<std::string> out, err;
    bool Said(const std::string &line) const { return std::count(err.begin(), err.end(), line) > 0; }
};

class E2E : public ::testing::Test {
protected:
    void TearDown() override { TestDir_Remove(dir); }
    // The stand-in with these options and variables (others unset), time-limited.
    Result Standin(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {}) {
        auto quote = [](const std::string &s) {
            std::string q = "'";
            for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
            return q + "'";
        };
        std::string cmd = "env -u FLYRATE -u FLYRATE_SHOTS -u FLYRATE_PASSES -u FLYRATE_CSV -u FLYRATE_RECORD -u FLYRATE_GPU";
        for (const auto &kv : env) cmd += " " + quote(kv.first + "=" + kv.second);
        cmd += " " + quote(STANDIN) + " --max-seconds 120";
        for (const std::string &a : args) cmd += " " + quote(a);
        int status = system((cmd + " >" + quote(dir + "/out") + " 2>" + quote(dir + "/err")).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, TestText_Lines(TestFile_Read(dir + "/out")),
                TestText_Lines(TestFile_Read(dir + "/err"))};
    }
    std::string dir = TestDir_Make();
};

// The example flight twice, every chunk built at once (so the warm-up ends at
// 2 s): the log adds up to the summaries, every chunk built is counted once,
// the game's clock agrees, and the camera and hook slot are given back.
TEST_F(E2E, TheExampleFlightTwiceAgreesWithTheGamesOwnClock) {
    std::string csv = dir + "/frames.csv";
    Result r = Standin({"--size", "160x90", "--build-rate", "100000", "--summary-last", "600", FLYRATE_SO},
                       {{"FLYRATE", EXAMPLE_FLIGHT}, {"FLYRATE_PASSES", "2"}, {"FLYRATE_CSV", csv}});
    std::vector<std::string> out = r.out, rows = TestText_Lines(TestFile_Read(csv));
    // A slow machine may reach the warm-up's limit first: one more line.
    if (out.size() > 2 && !out[2].rfind("flyrate: warning: still building chunks", 0)) out.erase(out.begin() + 2);
    ASSERT_TRUE(r.status == 0 && out.size() == 11 && rows.size() == 1201) << Lines(r.out);
    double seconds = 0, max = 0, hostSeconds = 0, hostMax = 0;
    long warm = 0, run = 0, built = 0, hostBuilt = -1;
    for (int pass = 1; pass <= 2; pass++) {
        const std::string *lines = &out[3 + (size_t)(pass - 1) * 4];
        EXPECT_EQ(lines[1], "flyrate: pass " + std::to_string(pass) + " of 2");
        ASSERT_EQ(sscanf(lines[2].c_str(), "flyrate: chunks built: %ld in the warm-up, %ld during the run", &warm, &run), 2);
        ASSERT_EQ(sscanf(lines[3].c_str(), "flyrate: 600 frames %lf seconds %*f fps, frame ms min/avg/p99/max %*f/%*f/%*f/%lf", &seconds, &max), 2);
        double sum = 0, ms = 0;
        long chunks = 0, c = 0;
        for (int frame = 1, p = 0, f = 0; frame <= 600; frame++, sum += ms, chunks += c) {
            ASSERT_EQ(sscanf(rows[(size_t)(pass - 1) * 600 + (size_t)frame].c_str(), "%d,%d,%lf,%ld", &p, &f, &ms, &c), 4);
            ASSERT_EQ(p * 1000 + f, pass * 1000 + frame);
        }
        EXPECT_NEAR(sum / 1000, seconds, 0.0051) << pass;
        EXPECT_EQ(chunks, run) << pass;
        built += run;
    }
    for (const std::string &l : r.err) {
        sscanf(l.c_str(), "standin: %*d frames, %ld chunk builds", &hostBuilt);
        sscanf(l.c_str(), "standin: summary: 600 frames %lf seconds %*f fps, frame ms min/avg/p99/max %*f/%*f/%*f/%lf", &hostSeconds, &hostMax);
    }
    EXPECT_EQ(warm + built, hostBuilt);
    // The game stamps the same 600 frames. A preemption between its stamp
    // and the plug-in's reading at either end moves one frame's time, and
    // that frame is at most either side's slowest.
    EXPECT_NEAR(seconds, hostSeconds, 0.005 * hostSeconds + (std::max(max, hostMax) + 0.05) / 1000) << Lines(r.err);
    EXPECT_TRUE(r.Said("standin: after the free slot: active camera is the host's own camera") &&
                r.Said("standin: after the free slot: hook slot 0 is free")) << Lines(r.err);
}

// A flight flown by the game's own camera and recorded, then replayed by the
// benchmark with screenshots: every frame within the tolerance of the
// original, each keyframe's frame exactly, and each screenshot the very
// picture the game rendered there itself (every chunk in range built at
// once, so a picture depends on its pose alone).
TEST_F(E2E, ARecordedFlightReplaysTheOriginalPictureForPicture) {
    std::string script = dir + "/recorded.txt";
    const std::vector<std::string> world = {"--size", "64x36", "--view-distance", "32", "--build-rate", "100000", "--pose-log"};
    std::vector<std::string> fly = world, replay = world;
    fly.insert(fly.end(), {dir + "/flown", "--fly", EXAMPLE_FLIGHT, "--max-frames", "601", FLYRATE_SO});
    for (int f = 0; f <= 600; f += 120) fly.insert(fly.end(), {"--host-shot", std::to_string(f) + ":" + dir + "/" + std::to_string(f)});
    replay.insert(replay.end(), {dir + "/replayed", FLYRATE_SO});
    Result r = Standin(fly, {{"FLYRATE_RECORD", script}});
    int keyframes = 0;
    ASSERT_EQ(sscanf(r.out.back().c_str(), ("flyrate: recorded 601 frames as %d keyframes to " + script).c_str(), &keyframes), 1) << Lines(r.out);
    std::string recorded = TestFile_Read(script);
    std::ofstream(script) << recorded + "warmup 0 0 100\n";  // replayed from the first frame
    mkdir((dir + "/shots").c_str(), 0755);
    ASSERT_EQ(Standin(replay, {{"FLYRATE", script}, {"FLYRATE_SHOTS", dir + "/shots"}}).status, 0);
    std::vector<std::string> flown = TestText_Lines(TestFile_Read(dir + "/flown")), replayed = TestText_Lines(TestFile_Read(dir + "/replayed"));
    ASSERT_TRUE(flown.size() == 601 && replayed.size() == 601);
    for (size_t f = 0; f < 601; f++) {
        float a[6], b[6];
        sscanf(flown[f].c_str(), "%f %f %f %f %f %f", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]);
        sscanf(replayed[f].c_str(), "%f %f %f %f %f %f", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
        for (int i = 1; i < 4; i++) EXPECT_LE(fabsf(a[i] - b[i]), 0.0101f) << flown[f] << " vs " << replayed[f];
        for (int i = 4; i < 6; i++) EXPECT_LE(fabs(remainder(a[i] - b[i], 2 * M_PI)) * 180 / M_PI, 0.0501) << f;
        bool key = recorded.find("\n" + std::to_string(f) + " ") != std::string::npos;
        EXPECT_TRUE(!key || flown[f] == replayed[f]) << f;
        keyframes -= key;
    }
    EXPECT_EQ(keyframes, 0) << "every keyframe's frame met";
    for (int f = 0; f <= 600; f += 120) {
        char name[32];
        snprintf(name, sizeof name, "/shots/frame-%05d.ppm", f);
        std::string shot = TestFile_Read(dir + name);
        EXPECT_TRUE(shot.size() == 13 + 64 * 36 * 3u && shot == TestFile_Read(dir + "/" + std::to_string(f))) << name << " isn't the game's render";
    }
}

// GPU times on real OpenGL, with a GPU load: every frame of both passes
// has both figures (at most two frames are in flight, the ring holds 8),
// and a timestamp never comes before its issue.
TEST_F(E2E, GpuTimesFillTheirColumnsOnRealOpenGl) {
    std::string script = dir + "/flight.txt", csv = dir + "/frames.csv";
    std::ofstream(script) << "warmup 0 0 100\n0 -230 36 230 -45 -10\n90 -200 36 230 0 -10\n";
    Result r = Standin({"--size", "160x90", "--build-rate", "100000", "--gpu-load", "2", FLYRATE_SO},
                       {{"FLYRATE", script}, {"FLYRATE_GPU", "1"}, {"FLYRATE_CSV", csv}, {"FLYRATE_PASSES", "2"}});
    std::vector<std::string> rows = TestText_Lines(TestFile_Read(csv));
    ASSERT_TRUE(r.status == 0 && rows.size() == 181) << Lines(r.out) << Lines(r.err);
    EXPECT_EQ(rows[0], "pass,frame,frame_ms,chunks,gpu_ms,gpu_lag_ms");
    for (size_t i = 1; i < rows.size(); i++) {
        double ms = 0, gpu = -1, lag = -1;
        int used = 0;
        ASSERT_EQ(sscanf(rows[i].c_str(), "%*d,%*d,%lf,%*d,%lf,%lf%n", &ms, &gpu, &lag, &used), 3) << rows[i];
        EXPECT_TRUE(!rows[i][(size_t)used] && gpu >= 0 && lag >= 0) << rows[i];
    }
    EXPECT_EQ(std::count_if(r.out.begin(), r.out.end(), [](const std::string &l) { return !l.rfind("flyrate: gpu: 90 of 90 frames timed, ", 0); }), 2)
        << Lines(r.out);
}

// The GPU load's layers cost fragments but leave the picture as it was,
// and both loads are named at the end of the renderer line.
TEST_F(E2E, TheStandinsLoadsLeaveThePictureAlone) {
    std::vector<std::string> args = {"--size", "64x36", "--pose", "-230,36,230,-45,-10", "--build-rate", "100000", "--max-frames", "3"};
    std::vector<std::string> plain = args, loaded = args;
    plain.insert(plain.end(), {"--host-shot", "2:" + dir + "/plain.ppm"});
    loaded.insert(loaded.end(), {"--gpu-load", "5", "--cpu-load", "1.5", "--host-shot", "2:" + dir + "/loaded.ppm"});
    ASSERT_EQ(Standin(plain).status, 0);
    Result r = Standin(loaded);
    ASSERT_EQ(r.status, 0);
    ASSERT_FALSE(r.err.empty());
    const std::string tail = ", 100000 chunk builds per frame, gpu load 5, cpu load 1.5 ms";
    EXPECT_EQ(r.err[0].substr(r.err[0].size() - std::min(r.err[0].size(), tail.size())), tail);
    std::string picture = TestFile_Read(dir + "/plain.ppm");
    EXPECT_TRUE(picture.size() == 13 + 64 * 36 * 3u && picture == TestFile_Read(dir + "/loaded.ppm"));
}

}  // namespace
