// lifecycle_fuzz.cpp: the whole plug-in, driven by a game that does what
// the fuzzer's bytes say, with the script's bytes from the input too.
//
// Input layout (seeds.py writes the seed corpus):
//   byte 0  FLYRATE: unset, empty, the script, a directory, a missing file
//   byte 1  FLYRATE_SHOTS (byte % 5): unset, empty, a directory, a missing
//           directory, a file; FLYRATE_CSV (byte / 5 % 3): unset, a file,
//           /dev/full; FLYRATE_RECORD (byte / 15 % 2): unset, a file
//   byte 2  FLYRATE_PASSES: one of kPasses
//   byte 3  when the game shuts down after a close request: bit 0 set = at
//           once, inside the request; otherwise after (bits 1-3) more steps
//   byte 4, 5  framebuffer width and height, 0 to 16
//   byte 6, 7  script length, little-endian; then the script's bytes
//   then pairs (step, argument) until the input ends; see Step.
// Every line printed starts with "flyrate: " and fits the log line (but the
// blank one after a parse error's quoted line); a loaded path keeps the
// script's invariants; the game is asked to close only from Finished, and at
// most once; after the free slot the tables are released and the hook slot
// and camera are back with the game, nobody else's touched. Anything broken
// aborts, which libFuzzer reports with the input; ASan and LeakSanitizer
// check the rest. Built with FLYRATE_FUZZ_REPLAY, a plain program replays
// the committed corpus in the normal test run.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "run/run.h"
#include "tests/support/fakegame.h"
#include "tests/support/files.h"

extern "C" HostComponent Plugin_Component;

static void Check(bool cond, const char *what) {
    if (cond) return;
    fprintf(stderr, "fuzz: invariant broken: %s\n", what);
    abort();
}

static char scriptPath[] = "/tmp/flyrate-fuzz-script-XXXXXX";
static char csvPath[] = "/tmp/flyrate-fuzz-csv-XXXXXX";
static std::string shotsDir, scriptDir;
static int scriptFd = -1;

static const char *const kPasses[] = {
    nullptr, "", "0", "1", "2", "3", "-3", "3x", "x", "99999999999", "2147483647", "2147483648", " 2", "+2", "0x10", "007",
};

// Checks what the plug-in printed since the last look; returns its lines.
static size_t CheckLog(void) {
    std::vector<std::string> lines = TestText_Lines(Stdout_Take());
    for (size_t i = 0; i < lines.size(); i++) {
        bool quoted = lines[i].empty() && i > 0 && lines[i - 1].find(": can't parse: ") != std::string::npos;
        Check(quoted || (!lines[i].rfind("flyrate: ", 0) && lines[i].size() <= 1022), "a log line not \"flyrate: ...\"");
    }
    return lines.size();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    scriptFd = mkstemp(scriptPath);
    close(mkstemp(csvPath));
    shotsDir = TestDir_Make();
    scriptDir = TestDir_Make();
    Check(scriptFd >= 0 && !shotsDir.empty(), "can't make the scratch files");
    Stdout_Take();
    atexit([] {
        unlink(scriptPath), unlink(csvPath);
        TestDir_Remove(shotsDir), TestDir_Remove(scriptDir);
    });
    return 0;
}

// The game's state for one input.
static bool freed;         // the free slot has run; the game is gone
static int freeCountdown;  // steps until a scheduled shutdown, -1 = none
static bool closeAtOnce;   // shut down inside the plug-in's close request
static int closeDelay;     // steps between a close request and shutdown
static HostCamera *previousCamera;

static void ForeignHook(double) {}

static void Game_Free(void) {
    Check(!freed, "the game ran the free slot twice");
    HostCamera *activeBefore = Camera.active;
    HostDraw2DFn slotsBefore[4];
    memcpy(slotsBefore, Game.Draw2DHooks, sizeof slotsBefore);
    Plugin_Component.Free();
    freed = true;
    Check(bench.state == RunState_Idle && !bench.keyframes && !bench.frameTimes && !bench.frameChunks && !bench.samples,
          "free slot left a run or a table");
    for (int i = 0; i < 4; i++) {
        Check(Game.Draw2DHooks[i] == (slotsBefore[i] == Bench_OnDraw2D ? nullptr : slotsBefore[i]),
              "free slot did not give back its hook, or took another's");
    }
    Check(Camera.active == (activeBefore == &bench.cameraCopy ? bench.savedCamera : activeBefore),
          "free slot did not give back the game's camera, or changed another");
}

static void Game_OnClose(void) {
    Check(bench.state == RunState_Finished && fakeGame.closeRequests == 1, "close requested before Finished, or twice");
    Check(WindowInfo.exists == 0, "close requested without clearing the window-open flag");
    if (closeAtOnce) {
        if (!freed) Game_Free();
    } else if (freeCountdown < 0) {
        freeCountdown = closeDelay;
    }
}

// A loaded path keeps the script's invariants.
static void CheckPath(void) {
    if (!bench.keyframes) return;
    Check(bench.keyframeCount >= 2 && bench.keyframes[0].frame == 0, "a path of fewer than two keyframes, or not from 0");
    for (int32_t i = 1; i < bench.keyframeCount; i++) Check(bench.keyframes[i].frame > bench.keyframes[i - 1].frame, "frames do not ascend");
    Check(bench.totalFrames == bench.keyframes[bench.keyframeCount - 1].frame, "totalFrames is not the last keyframe's");
}

static void SetCamera(HostCamera *camera) {
    previousCamera = Camera.active;
    Camera.active = camera;
}

// One step of the game, chosen by the fuzzer. Bursts are capped so one
// input stays quick to run.
static void Step(uint8_t op, uint8_t arg) {
    switch (op % 12) {
    case 0: Plugin_Component.Init(); CheckPath(); break;
    case 1: Plugin_Component.OnNewMapLoaded(); break;
    case 2: FakeGame_Frame(arg < 200 ? arg / 1000.0 : (arg - 200) * 10.0); break;  // up to a stall of 550 s
    case 3:
        for (int i = 0; i < arg && !freed && fakeGame.frames < 20000; i++) FakeGame_Frame(1.0 / 60);
        break;
    case 4:
        if (arg < 250) {
            Game.chunkUpdates = Game.chunkUpdates > INT32_MAX - arg ? INT32_MAX : Game.chunkUpdates + arg;
        } else {
            Game.chunkUpdates = arg == 250 ? 0 : arg == 251 ? Game.chunkUpdates / 2 : INT32_MAX - (255 - arg);
        }
        break;
    case 5:
        if (arg % 3 < 2) SetCamera(arg % 3 ? &fakeGame.hostCamera : &fakeGame.otherCamera);
        else if (previousCamera) SetCamera(previousCamera);
        break;
    case 6: if (!Game.Draw2DHooks[arg % 4]) Game.Draw2DHooks[arg % 4] = ForeignHook; break;
    case 7: Game.Draw2DHooks[arg % 4] = nullptr; break;
    case 8: Camera.active->GetOrientation(), Camera.active->GetPosition(0.5f); break;
    case 9: Entities.cameraEntity = (arg & 1) ? nullptr : &fakeGame.entity; break;
    case 10: Game.width = arg % 17, Game.height = arg / 17 % 17; break;
    case 11:  // the user quits: the game shuts down now or a few steps later
        WindowInfo.exists = 0;
        if (arg & 1) Game_Free();
        else if (freeCountdown < 0) freeCountdown = (arg >> 1) % 8;
        break;
    }
}

static void SetEnv(const char *name, const char *value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    size_t scriptLen = std::min((size_t)(data[6] | data[7] << 8), size - 8);
    const uint8_t *steps = data + 8 + scriptLen;
    size_t stepBytes = size - 8 - scriptLen;
    Check(ftruncate(scriptFd, 0) == 0 && pwrite(scriptFd, data + 8, scriptLen, 0) == (ssize_t)scriptLen,
          "can't write the script file");
    const char *flyrate[] = {nullptr, "", scriptPath, scriptDir.c_str(), "/nonexistent/flyrate/script.txt"};
    const char *shots[] = {nullptr, "", shotsDir.c_str(), "/nonexistent/flyrate/shots", scriptPath};
    const char *csv[] = {nullptr, csvPath, "/dev/full"};
    SetEnv("FLYRATE", flyrate[data[0] % 5]);
    SetEnv("FLYRATE_SHOTS", shots[data[1] % 5]);
    SetEnv("FLYRATE_CSV", csv[data[1] / 5 % 3]);
    SetEnv("FLYRATE_PASSES", kPasses[data[2] % 16]);
    std::string record = shotsDir + "/recorded.txt";
    SetEnv("FLYRATE_RECORD", data[1] / 15 % 2 ? record.c_str() : nullptr);
    closeAtOnce = data[3] & 1;
    closeDelay = (data[3] >> 1) % 8;

    FakeGame_Reset();
    FakeGl_Reset();
    Game.width = data[4] % 17, Game.height = data[5] % 17;
    fakeGame.onClose = Game_OnClose;
    freed = false;
    freeCountdown = -1;
    previousCamera = nullptr;
    size_t printed = 0;
    FakeClock_Set(1000.0);
    for (size_t i = 0; i + 1 < stepBytes && !freed; i += 2) {
        Step(steps[i], steps[i + 1]);
        if (!freed && freeCountdown >= 0 && freeCountdown-- == 0) Game_Free();
        printed += CheckLog();
    }
    if (!freed) Game_Free();
    printed += CheckLog();
    Check(fakeGame.closeRequests <= 1, "close requested more than once");
    Check(fakeGl.wrongReads == 0, "a framebuffer read that is not the whole frame as RGB bytes");
    if (data[0] % 5 < 2) {
        Check(fakeGame.closeRequests == 0 && !bench.savedCamera, "the plug-in took over without a script");
        Check(printed == 0 || data[1] / 15 % 2, "the plug-in printed without a script or a recording");
    }
    FakeClock_Release();
    for (const std::string &name : TestDir_List(shotsDir)) unlink((shotsDir + "/" + name).c_str());
    return 0;
}

#ifdef FLYRATE_FUZZ_REPLAY
// Runs the target once over every file in the directories given.
int main(int argc, char **argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    for (int i = 1; i < argc; i++) {
        for (const std::string &name : TestDir_List(argv[i])) {
            std::string input = TestFile_Read(std::string(argv[i]) + "/" + name);
            LLVMFuzzerTestOneInput((const uint8_t *)input.data(), input.size()), count++;
        }
    }
    fprintf(stderr, "replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
#endif
