// e2e_test.cpp: the built flyrate.so running inside the stand-in game.
//
// Every test starts the stand-in as a separate process, with the plug-in's
// environment variables and the stand-in's options, and reads what each
// side printed: the plug-in's lines on standard output, the stand-in's
// ("standin: ...") on standard error, and any screenshots. Scripts are
// short, with short warm-ups, and framebuffers small, so each run takes a
// second or two even under the sanitizers.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/capture.h"

extern char **environ;

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out, err;
    std::vector<std::string> outLines, errLines;
};

// Each test gets a scratch folder for its script, outputs and screenshots.
class E2E : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        dir = TestDir_Make();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        TestDir_Remove(dir + "/shots");
        TestDir_Remove(dir);
    }

    std::string WriteScript(const std::string &text) {
        std::string path = dir + "/flight.txt";
        std::ofstream(path) << text;
        return path;
    }

    // Runs the stand-in with the given options; env entries are set, and
    // the plug-in's own variables are otherwise removed from the
    // environment. A time limit guards against a run that never closes.
    RunResult Run(std::vector<std::string> args, const std::map<std::string, std::string> &env = {}) {
        RunResult r;
        std::vector<std::string> argv = {STANDIN, "--max-seconds", "90"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> envp;
        for (char **e = environ; *e; e++) {
            if (strncmp(*e, "FLYRATE", 7) != 0) envp.push_back(*e);
        }
        for (const auto &kv : env) envp.push_back(kv.first + "=" + kv.second);
        std::vector<char *> cargv, cenvp;
        for (auto &s : argv) cargv.push_back(&s[0]);
        cargv.push_back(nullptr);
        for (auto &s : envp) cenvp.push_back(&s[0]);
        cenvp.push_back(nullptr);

        std::string outPath = dir + "/stdout", errPath = dir + "/stderr";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        int rc = posix_spawn(&pid, STANDIN, &actions, nullptr, cargv.data(), cenvp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            ADD_FAILURE() << "can't start " << STANDIN << ": " << strerror(rc);
            return r;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = TestFile_Read(outPath);
        r.err = TestFile_Read(errPath);
        r.outLines = TestText_Lines(r.out);
        r.errLines = TestText_Lines(r.err);
        return r;
    }
};

bool HasLine(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The stand-in's closing account: "standin: N frames, M chunk builds".
void HostTotals(const RunResult &r, int *frames, long *builds) {
    *frames = -1;
    *builds = -1;
    for (const std::string &l : r.errLines) {
        if (sscanf(l.c_str(), "standin: %d frames, %ld chunk builds", frames, builds) == 2) return;
    }
    ADD_FAILURE() << "no totals from the stand-in:\n" << r.err;
}

struct Summary {
    int frames = -1;
    double seconds = 0, fps = 0, min = 0, avg = 0, p99 = 0, max = 0;
};

bool ParseSummary(const std::string &line, Summary *s) {
    return sscanf(line.c_str(), "flyrate: %d frames %lf seconds %lf fps, frame ms min/avg/p99/max %lf/%lf/%lf/%lf",
                  &s->frames, &s->seconds, &s->fps, &s->min, &s->avg, &s->p99, &s->max) == 7;
}

std::vector<Summary> Summaries(const RunResult &r) {
    std::vector<Summary> all;
    for (const std::string &l : r.outLines) {
        Summary s;
        if (ParseSummary(l, &s)) all.push_back(s);
    }
    return all;
}

// A path over the stand-in's default world (seed 1), from the southern
// lake towards the hills: keyframes as "frame x y z yaw pitch" rows.
std::string Keyframes(const std::vector<int> &frames) {
    static const float poses[][5] = {
        {-230, 36, 230, -45, -10}, {-200, 44, 205, -40, -12}, {-170, 52, 180, -30, -20},
        {-150, 60, 165, -60, -14}, {-130, 70, 150, -40, -16}, {-110, 72, 130, 10, -25},
    };
    std::string text;
    for (size_t i = 0; i < frames.size(); i++) {
        const float *p = poses[i % 6];
        char line[128];
        snprintf(line, sizeof line, "%d %g %g %g %g %g\n", frames[i], p[0], p[1], p[2], p[3], p[4]);
        text += line;
    }
    return text;
}

const char *kFastStart = "warmup 0 0 100\n";  // starts at the first frame after the map load

// ---- the typical run ---------------------------------------------------

TEST_F(E2E, TypicalRunPrintsItsLinesInOrderAndAgreesWithTheHostsClock) {
    std::string script = WriteScript("# typical run\nwarmup 0.3 0.2 10\n\n" + Keyframes({0, 300, 600}));
    RunResult r = Run({"--size", "320x180", "--summary-last", "600", FLYRATE_SO}, {{"FLYRATE", script}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(r.outLines.size(), 6u) << r.out;
    for (const std::string &l : r.outLines) EXPECT_EQ(l.rfind("flyrate: ", 0), 0u) << l;

    EXPECT_EQ(r.outLines[0],
              "flyrate: " + script + ": 3 keyframes, 600 frames; warm-up 0.3-10 s, 0.2 s without chunk builds");
    EXPECT_EQ(r.outLines[1], "flyrate: map loaded, warming up");
    double warm = -1;
    ASSERT_EQ(sscanf(r.outLines[2].c_str(), "flyrate: start after %lf s warm-up", &warm), 1) << r.outLines[2];
    EXPECT_GE(warm, 0.3 - 0.005);

    Summary s;
    ASSERT_TRUE(ParseSummary(r.outLines[5], &s)) << r.outLines[5];
    EXPECT_EQ(s.frames, 600);
    EXPECT_LE(s.min, s.avg);
    EXPECT_LE(s.avg, s.p99);
    EXPECT_LE(s.p99, s.max);
    // avg is printed to 0.05 ms, seconds to 0.005 s.
    EXPECT_NEAR(s.avg * 600 / 1000, s.seconds, 0.05 * 600 / 1000 + 0.005 + 1e-9);

    // Per-second counts: one per whole second, never more frames than ran.
    ASSERT_EQ(r.outLines[3].rfind("flyrate: per-second fps:", 0), 0u) << r.outLines[3];
    std::istringstream counts(r.outLines[3].substr(24));
    int count = 0, seconds = 0, total = 0;
    while (counts >> count) {
        seconds++;
        total += count;
    }
    EXPECT_LE(total, 600);
    EXPECT_GE(seconds, (int)(s.seconds - 0.005));
    EXPECT_LE(seconds, (int)(s.seconds + 0.005));

    // Every chunk the game built is counted once, in one phase or the other.
    long warmChunks = -1, runChunks = -1;
    ASSERT_EQ(sscanf(r.outLines[4].c_str(), "flyrate: chunks built: %ld in the warm-up, %ld during the run", &warmChunks,
                     &runChunks),
              2)
        << r.outLines[4];
    int hostFrames = 0;
    long hostBuilds = 0;
    HostTotals(r, &hostFrames, &hostBuilds);
    EXPECT_GT(warmChunks, 0);
    EXPECT_EQ(warmChunks + runChunks, hostBuilds);
    EXPECT_GT(hostFrames, 600);

    // The host's own stamps of the same 600 frames.
    Summary host;
    bool found = false;
    for (const std::string &l : r.errLines) {
        if (sscanf(l.c_str(), "standin: summary: %d frames %lf seconds", &host.frames, &host.seconds) == 2) found = true;
    }
    ASSERT_TRUE(found) << r.err;
    EXPECT_EQ(host.frames, 600);
    EXPECT_NEAR(s.seconds, host.seconds, host.seconds * 0.01) << r.out << r.err;

    EXPECT_TRUE(HasLine(r.errLines, "standin: after the free slot: active camera is the host's own camera")) << r.err;
    EXPECT_TRUE(HasLine(r.errLines, "standin: after the free slot: hook slot 0 is free")) << r.err;
}

// ---- screenshots -------------------------------------------------------

TEST_F(E2E, ScreenshotsAreWrittenAtEveryKeyframeAndShowItsPose) {
    const std::vector<int> frames = {0, 20, 45, 70};
    std::string keyframes = Keyframes(frames);
    std::string script = WriteScript(std::string(kFastStart) + keyframes);
    std::string shots = dir + "/shots";
    ASSERT_EQ(mkdir(shots.c_str(), 0755), 0);
    // Building every chunk in range at once makes a frame's picture depend on
    // its pose alone.
    const std::vector<std::string> world = {"--size", "160x90", "--build-rate", "100000", "--view-distance", "64"};
    std::vector<std::string> args = world;
    args.push_back(FLYRATE_SO);
    RunResult r = Run(args, {{"FLYRATE", script}, {"FLYRATE_SHOTS", shots}});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    EXPECT_EQ(TestDir_List(shots),
              (std::vector<std::string>{"frame-00000.ppm", "frame-00020.ppm", "frame-00045.ppm", "frame-00070.ppm"}));
    const std::string header = "P6\n160 90\n255\n";
    std::vector<std::string> pictures;
    for (int f : frames) {
        char name[64];
        snprintf(name, sizeof name, "/frame-%05d.ppm", f);
        std::string data = TestFile_Read(shots + name);
        ASSERT_EQ(data.size(), header.size() + 160 * 90 * 3) << name;
        EXPECT_EQ(data.compare(0, header.size(), header), 0) << name;
        pictures.push_back(data);
    }
    for (size_t i = 0; i < pictures.size(); i++) {
        for (size_t j = i + 1; j < pictures.size(); j++) EXPECT_NE(pictures[i], pictures[j]) << i << " vs " << j;
    }

    // The game's own render of each keyframe's pose, from its own camera.
    std::istringstream rows(keyframes);
    for (size_t i = 0; i < frames.size(); i++) {
        int frame;
        std::string x, y, z, yaw, pitch;
        ASSERT_TRUE(rows >> frame >> x >> y >> z >> yaw >> pitch);
        std::string own = dir + "/own.ppm";
        std::vector<std::string> hostArgs = world;
        hostArgs.insert(hostArgs.end(), {"--pose", x + "," + y + "," + z + "," + yaw + "," + pitch, "--max-frames", "1",
                                         "--host-shot", "0:" + own});
        RunResult h = Run(hostArgs);
        ASSERT_EQ(h.exitCode, 0) << h.err;
        EXPECT_TRUE(TestFile_Read(own) == pictures[i]) << "keyframe at frame " << frame << " differs from the game's render";
        unlink(own.c_str());
    }
}

// ---- the game closing, early or as asked -------------------------------

// The plug-in asks to close from its initialise slot; with the second host
// behaviour its free slot runs inside that request.
TEST_F(E2E, BadScriptClosesTheGameCleanly) {
    std::string script = WriteScript("0 0 50 0 0 0\nnot a keyframe\n20 10 50 0 0 0\n");
    for (bool freeInside : {false, true}) {
        SCOPED_TRACE(freeInside ? "free inside close" : "free after the frame");
        std::vector<std::string> args = {"--size", "64x36", FLYRATE_SO};
        if (freeInside) args.insert(args.begin(), "--free-inside-close");
        RunResult r = Run(args, {{"FLYRATE", script}});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "flyrate: error: " + script + ":2: can't parse: not a keyframe\n\nflyrate: closing the game\n");
        EXPECT_TRUE(HasLine(r.errLines, "standin: window closed after 0 frames")) << r.err;
        EXPECT_TRUE(HasLine(r.errLines, "standin: after the free slot: active camera is the host's own camera")) << r.err;
    }
}

TEST_F(E2E, AllHookSlotsTakenLeavesTheGameRunningToItsLimit) {
    std::string script = WriteScript(std::string(kFastStart) + Keyframes({0, 30}));
    RunResult r = Run({"--size", "64x36", "--take-hooks", "4", "--max-frames", "40", FLYRATE_SO}, {{"FLYRATE", script}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "flyrate: error: no free Draw2D hook\n");
    EXPECT_TRUE(HasLine(r.errLines, "standin: stopping at the frame limit (40 frames)")) << r.err;
    EXPECT_TRUE(HasLine(r.errLines, "standin: the host's own hooks ran 160 times")) << r.err;
}

// Quitting before the end, in the warm-up or in the run, under both ways a
// game may shut down: the free slot after the frame, or inside the closing
// event. The plug-in reports where it was and gives back the host's camera
// and its hook slot (slot 1 here: the host holds slot 0).
struct EarlyQuit {
    const char *name;
    const char *warmup;
    std::vector<std::string> options;
    const char *closedLine;
};

TEST_F(E2E, QuittingBeforeTheEndGivesBackCameraAndHookSlot) {
    const EarlyQuit cases[] = {
        {"warm-up", "warmup 100 100 200\n", {"--quit-at", "5"}, "(frame 0 of 60, pass 1 of 1)"},
        {"warm-up, free inside close", "warmup 100 100 200\n", {"--quit-at", "5", "--free-inside-close"},
         "(frame 0 of 60, pass 1 of 1)"},
        // The run starts in frame 0; frame n's hook moves the path to n + 1.
        {"run", kFastStart, {"--quit-at", "30"}, "(frame 31 of 60, pass 1 of 1)"},
        // Freed as the host closes, before frame 30 reaches the hooks.
        {"run, free inside close", kFastStart, {"--quit-at", "30", "--free-inside-close"},
         "(frame 30 of 60, pass 1 of 1)"},
        {"run, after a camera switch", kFastStart, {"--quit-at", "30", "--switch-camera-at", "10"},
         "(frame 31 of 60, pass 1 of 1)"},
    };
    for (const EarlyQuit &c : cases) {
        SCOPED_TRACE(c.name);
        std::string script = WriteScript(c.warmup + Keyframes({0, 60}));
        std::vector<std::string> args = {"--size", "64x36", "--take-hooks", "1"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(FLYRATE_SO);
        RunResult r = Run(args, {{"FLYRATE", script}});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        ASSERT_FALSE(r.outLines.empty());
        EXPECT_EQ(r.outLines.back(), std::string("flyrate: the game closed before the end ") + c.closedLine) << r.out;
        EXPECT_TRUE(Summaries(r).empty()) << r.out;
        EXPECT_TRUE(HasLine(r.errLines, "standin: after the free slot: active camera is the host's own camera")) << r.err;
        EXPECT_TRUE(HasLine(r.errLines, "standin: after the free slot: hook slot 1 is free")) << r.err;
    }
}

TEST_F(E2E, ThreePassesReportThreeTimesThenClose) {
    std::string script = WriteScript(std::string(kFastStart) + Keyframes({0, 25, 40}));
    RunResult r = Run({"--size", "64x36", FLYRATE_SO}, {{"FLYRATE", script}, {"FLYRATE_PASSES", "3"}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> passes;
    for (const std::string &l : r.outLines) {
        if (l.rfind("flyrate: pass ", 0) == 0) passes.push_back(l);
    }
    EXPECT_EQ(passes, (std::vector<std::string>{"flyrate: pass 1 of 3", "flyrate: pass 2 of 3", "flyrate: pass 3 of 3"}));
    std::vector<Summary> s = Summaries(r);
    ASSERT_EQ(s.size(), 3u) << r.out;
    for (const Summary &p : s) EXPECT_EQ(p.frames, 40);
    // Frame 0 starts the run; then three passes of 40 frames; then the close.
    EXPECT_TRUE(HasLine(r.errLines, "standin: window closed after 121 frames")) << r.err;
    EXPECT_EQ(r.out.find("closed before the end"), std::string::npos) << r.out;
}

// The other host behaviour: the free slot runs inside Event_RaiseVoid, that
// is inside the plug-in's own hook as it asks to close.
TEST_F(E2E, FreeInsideCloseFinishesCleanly) {
    std::string script = WriteScript(std::string(kFastStart) + Keyframes({0, 50}));
    RunResult r = Run({"--size", "64x36", "--free-inside-close", FLYRATE_SO}, {{"FLYRATE", script}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<Summary> s = Summaries(r);
    ASSERT_EQ(s.size(), 1u) << r.out;
    EXPECT_EQ(s[0].frames, 50);
    EXPECT_EQ(r.out.find("closed before the end"), std::string::npos) << r.out;
    EXPECT_TRUE(HasLine(r.errLines, "standin: window closed after 51 frames")) << r.err;
    EXPECT_TRUE(HasLine(r.errLines, "standin: after the free slot: active camera is the host's own camera")) << r.err;
    EXPECT_TRUE(HasLine(r.errLines, "standin: after the free slot: hook slot 0 is free")) << r.err;
}

// ---- the game misbehaving during the run -------------------------------

TEST_F(E2E, CameraSwitchDuringTheRunIsUndoneAndReported) {
    std::string script = WriteScript(std::string(kFastStart) + Keyframes({0, 40}));
    RunResult r = Run({"--size", "64x36", "--switch-camera-at", "10", FLYRATE_SO}, {{"FLYRATE", script}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(HasLine(r.outLines, "flyrate: warning: the game switched the camera 1 times during the run")) << r.out;
    ASSERT_EQ(Summaries(r).size(), 1u) << r.out;
    EXPECT_TRUE(HasLine(r.errLines, "standin: after the free slot: active camera is the host's own camera")) << r.err;
}

TEST_F(E2E, MapReloadDuringTheRunKeepsCountingChunks) {
    std::string script = WriteScript(std::string(kFastStart) + Keyframes({0, 60}));
    RunResult r = Run({"--size", "64x36", "--reload-map-at", "20", FLYRATE_SO}, {{"FLYRATE", script}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<Summary> s = Summaries(r);
    ASSERT_EQ(s.size(), 1u) << r.out;
    EXPECT_EQ(s[0].frames, 60);
    long warmChunks = -1, runChunks = -1;
    for (const std::string &l : r.outLines)
        sscanf(l.c_str(), "flyrate: chunks built: %ld in the warm-up, %ld during the run", &warmChunks, &runChunks);
    int hostFrames = 0;
    long hostBuilds = 0;
    HostTotals(r, &hostFrames, &hostBuilds);
    EXPECT_EQ(hostFrames, 61);
    // The reload throws every chunk away, so the run builds them all again.
    EXPECT_GE(runChunks, warmChunks);
    EXPECT_EQ(warmChunks + runChunks, hostBuilds);
}

// ---- the game without the benchmark ------------------------------------

TEST_F(E2E, WithoutAScriptThePluginDoesNothing) {
    for (bool empty : {false, true}) {
        SCOPED_TRACE(empty ? "FLYRATE empty" : "FLYRATE unset");
        std::map<std::string, std::string> env;
        if (empty) env["FLYRATE"] = "";
        RunResult r = Run({"--size", "64x36", "--max-frames", "10", FLYRATE_SO}, env);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(HasLine(r.errLines, "standin: stopping at the frame limit (10 frames)")) << r.err;
        EXPECT_TRUE(HasLine(r.errLines, "standin: after the free slot: active camera is the host's own camera")) << r.err;
    }
}

TEST_F(E2E, TheExampleFlightLoads) {
    RunResult r = Run({"--size", "64x36", "--quit-at", "0", FLYRATE_SO}, {{"FLYRATE", EXAMPLE_FLIGHT}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_FALSE(r.outLines.empty());
    EXPECT_EQ(r.outLines[0], std::string("flyrate: ") + EXAMPLE_FLIGHT +
                                 ": 6 keyframes, 600 frames; warm-up 2-30 s, 1 s without chunk builds");
}

TEST_F(E2E, TheGameRefusesLibrariesThatAreNotVersion1Plugins) {
    struct Refusal {
        const char *library;
        std::string message;
    };
    const Refusal cases[] = {
        {NOVERSION_SO, std::string("standin: ") + NOVERSION_SO + " is not a plug-in: no Plugin_ApiVersion"},
        {VERSION2_SO,
         std::string("standin: ") + VERSION2_SO + " has plug-in interface version 2; this game only loads version 1"},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.library);
        RunResult r = Run({"--size", "64x36", c.library}, {{"FLYRATE", EXAMPLE_FLIGHT}});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");  // its initialise slot never ran
        EXPECT_TRUE(HasLine(r.errLines, c.message)) << r.err;
    }
    RunResult missing = Run({"--size", "64x36", dir + "/none.so"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("standin: can't load plug-in " + dir + "/none.so: "), std::string::npos) << missing.err;
}

}  // namespace

// ---- the per-frame log -------------------------------------------------

TEST_F(E2E, CsvLogHoldsTheFramesEachPassReportSummarises) {
    std::string script = WriteScript(std::string(kFastStart) + Keyframes({0, 100, 200}));
    std::string csv = dir + "/frames.csv";
    RunResult r = Run({"--size", "160x90", FLYRATE_SO},
                      {{"FLYRATE", script}, {"FLYRATE_PASSES", "2"}, {"FLYRATE_CSV", csv}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<Summary> summaries = Summaries(r);
    ASSERT_EQ(summaries.size(), 2u) << r.out;

    std::vector<std::string> rows = TestText_Lines(TestFile_Read(csv));
    ASSERT_EQ(rows.size(), 1u + 2 * 200) << "header plus 200 rows per pass";
    EXPECT_EQ(rows[0], "pass,frame,frame_ms");
    for (int pass = 1; pass <= 2; pass++) {
        std::vector<double> ms;
        for (int frame = 1; frame <= 200; frame++) {
            const std::string &row = rows[(size_t)(pass - 1) * 200 + (size_t)frame];
            int p = 0, f = 0;
            double t = 0;
            ASSERT_EQ(sscanf(row.c_str(), "%d,%d,%lf", &p, &f, &t), 3) << row;
            ASSERT_EQ(p, pass);
            ASSERT_EQ(f, frame);
            ms.push_back(t);
        }
        // Recomputed the report's way from the logged times, the figures
        // print as the pass's summary line does.
        std::sort(ms.begin(), ms.end());
        double sum = 0;
        for (double t : ms) sum += t;
        const Summary &s = summaries[(size_t)pass - 1];
        char expect[64], got[64];
        snprintf(expect, sizeof expect, "%.1f/%.1f/%.1f", ms.front(), ms[200 * 99 / 100], ms.back());
        snprintf(got, sizeof got, "%.1f/%.1f/%.1f", s.min, s.p99, s.max);
        EXPECT_STREQ(expect, got) << "pass " << pass;
        EXPECT_NEAR(sum / 1000, s.seconds, 0.0051) << "pass " << pass;
    }
}
