// lifecycle_fuzz.cpp: the whole plug-in, driven by a game that does what
// the fuzzer's bytes say, with the script's bytes from the input too.
//
// Input: byte 0 FLYRATE (unset, empty, the script, a directory, a missing
// file); byte 1 FLYRATE_SHOTS (% 5: unset, empty, a directory, a missing one,
// a file), FLYRATE_CSV (/ 5 % 3: unset, a file, /dev/full), FLYRATE_RECORD
// (/ 15 % 2: unset, a file); byte 2 FLYRATE_PASSES (% 12, kPasses),
// FLYRATE_GPU (/ 12 % 2: unset, 1), the GL timer's bits (/ 24 % 3: 64, 0,
// 40), whether it reports disjoint events (/ 72 % 2); byte 3 the game's
// shutdown after a close request (bit 0: inside it; else bits 1-3 steps
// later), bits 4-7 how many queries late a timestamp's result comes (the
// ring holds 8); bytes 4, 5 the framebuffer's size; bytes 6, 7 the script's
// length, then its bytes; then (step, argument) pairs. Rules: every line is
// "flyrate: ..." (but the blank one after a quoted script line); a close is
// asked only from Finished, once; the free slot releases the tables and
// gives back hook slot and camera, nobody else's touched. ASan and LSan
// check the rest; allocations past 1 GB fail. FLYRATE_FUZZ_REPLAY: replays
// the corpus in the test run.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "run/run.h"
#include "tests/support/fakegame.h"
#include "tests/support/files.h"

extern "C" HostComponent Plugin_Component;

static void Check(bool cond, const char *what) {
    if (!cond) fprintf(stderr, "fuzz: broken: %s\n", what), abort();
}

static char scriptPath[] = "/tmp/flyrate-fuzz-script-XXXXXX";
static std::string dir;  // screenshots, the log, a recording, and a directory for FLYRATE
static const char *const kPasses[] = {nullptr, "", "0", "1", "2", "3", "-3", "3x", "99999999999", "2147483648", "+2", "0x10"};

static bool freed, closeAtOnce;
static int freeCountdown, closeDelay;  // steps until the game shuts down (-1: not yet asked)

static void Game_Free(void) {
    Check(!freed, "the free slot ran twice");
    HostCamera *active = Camera.active;
    HostDraw2DFn slots[4];
    memcpy(slots, Game.Draw2DHooks, sizeof slots);
    Plugin_Component.Free();
    freed = true;
    Check(bench.state == RunState_Idle && !bench.keyframes && !bench.frameTimes && !bench.frameChunks && !bench.samples &&
              !bench.gpuMs && !bench.gpuLagMs,
          "the free slot left a run or a table");
    for (int i = 0; i < 4; i++) Check(Game.Draw2DHooks[i] == (slots[i] == Bench_OnDraw2D ? nullptr : slots[i]), "hook slots");
    Check(Camera.active == (active == &bench.cameraCopy ? bench.savedCamera : active), "the camera not given back, or another's changed");
}

static void Game_OnClose(void) {
    Check(bench.state == RunState_Finished && fakeGame.closeRequests == 1 && !WindowInfo.exists, "a close request out of turn");
    if (closeAtOnce && !freed) Game_Free();
    if (!closeAtOnce && freeCountdown < 0) freeCountdown = closeDelay;
}

static void ForeignHook(double) {}

// One step of the game; bursts are capped so an input stays quick to run.
static void Step(uint8_t op, uint8_t arg) {
    switch (op % 9) {
    case 0: Plugin_Component.Init(); break;
    case 1: Plugin_Component.OnNewMapLoaded(); break;
    case 2: FakeGame_Frame(arg < 200 ? arg / 1000.0 : (arg - 200) * 10.0); break;  // up to a stall of 550 s
    case 3: for (int i = 0; i < arg && !freed && fakeGame.frames < 20000; i++) FakeGame_Frame(1.0 / 60); break;
    case 4: Game.chunkUpdates = arg < 250 ? (int32_t)std::min<int64_t>(INT32_MAX, (int64_t)Game.chunkUpdates + arg) : arg == 250 ? 0 : INT32_MAX - (255 - arg); break;
    case 5:  // a camera switch, or the GPU's timer jumps
        Camera.active = arg % 3 == 0 ? &fakeGame.otherCamera : arg % 3 == 1 ? &fakeGame.hostCamera : Camera.active;
        fakeGl.disjoint = fakeGl.disjoint || arg % 3 == 2;
        break;
    case 6: Game.Draw2DHooks[arg % 4] = Game.Draw2DHooks[arg % 4] ? Game.Draw2DHooks[arg % 4] : ForeignHook; break;
    case 7: Game.Draw2DHooks[arg % 4] = nullptr; break;
    case 8:  // the user quits: the game shuts down now or a few steps later
        WindowInfo.exists = 0;
        if (arg & 1) Game_Free();
        else if (freeCountdown < 0) freeCountdown = (arg >> 1) % 8;
        break;
    }
}

// What was printed since the last look; returns how many lines.
static size_t CheckLog(void) {
    std::vector<std::string> lines = TestText_Lines(Stdout_Take());
    for (size_t i = 0; i < lines.size(); i++) {
        bool quoted = lines[i].empty() && i > 0 && lines[i - 1].find(": can't parse: ") != std::string::npos;
        Check(quoted || (!lines[i].rfind("flyrate: ", 0) && lines[i].size() <= 1022), "a line not \"flyrate: ...\"");
    }
    return lines.size();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Check(close(mkstemp(scriptPath)) == 0 && !(dir = TestDir_Make()).empty(), "no scratch files");
    atexit([] { unlink(scriptPath), TestDir_Remove(dir); });
    Stdout_Take();
    return 0;
}

// A path of a few hundred million frames asks for gigabytes of frame
// times. A game's machine may or may not have them; here an allocation past
// 1 GB fails, as on a machine without the memory, so such a script tries the
// plug-in's out-of-memory path instead of stopping the fuzzer. The
// environment's ASAN_OPTIONS still override this.
extern "C" const char *__asan_default_options(void) { return "allocator_may_return_null=1:max_allocation_size_mb=1024"; }

static void SetEnv(const char *name, const char *value) { value ? setenv(name, value, 1) : unsetenv(name); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    size_t scriptLen = std::min((size_t)(data[6] | data[7] << 8), size - 8);
    TestDir_Remove(dir);
    mkdir(dir.c_str(), 0700);
    std::ofstream(scriptPath, std::ios::binary).write((const char *)data + 8, (std::streamsize)scriptLen);
    std::string csv = dir + "/frames.csv", record = dir + "/recorded.txt";
    const char *flyrate[] = {nullptr, "", scriptPath, dir.c_str(), "/nonexistent/script.txt"};
    const char *shots[] = {nullptr, "", dir.c_str(), "/nonexistent/shots", scriptPath};
    const char *logs[] = {nullptr, csv.c_str(), "/dev/full"};
    SetEnv("FLYRATE", flyrate[data[0] % 5]);
    SetEnv("FLYRATE_SHOTS", shots[data[1] % 5]);
    SetEnv("FLYRATE_CSV", logs[data[1] / 5 % 3]);
    SetEnv("FLYRATE_RECORD", data[1] / 15 % 2 ? record.c_str() : nullptr);
    SetEnv("FLYRATE_PASSES", kPasses[data[2] % std::size(kPasses)]);
    SetEnv("FLYRATE_GPU", data[2] / 12 % 2 ? "1" : nullptr);
    closeAtOnce = data[3] & 1, closeDelay = (data[3] >> 1) % 8;
    FakeGame_Reset();
    FakeGl_Reset();
    static const int kTimerBits[] = {64, 0, 40};
    fakeGl.counterBits = kTimerBits[data[2] / 24 % 3];
    fakeGl.listsDisjoint = data[2] / 72 % 2;
    fakeGl.latency = data[3] >> 4;
    Game.width = data[4] % 17, Game.height = data[5] % 17;
    fakeGame.onClose = Game_OnClose;
    freed = false, freeCountdown = -1;
    size_t printed = 0;
    FakeClock_Set(1000.0);
    for (size_t i = 8 + scriptLen; i + 1 < size && !freed; i += 2) {
        Step(data[i], data[i + 1]);
        if (!freed && freeCountdown >= 0 && freeCountdown-- == 0) Game_Free();
        printed += CheckLog();
    }
    if (!freed) Game_Free();
    printed += CheckLog();
    Check(fakeGame.closeRequests <= 1 && fakeGl.wrongReads == 0, "closed twice, or read part of the frame");
    Check(fakeGame.closeRequests == 0 || fakeGl.live == 0, "timer queries left after the run");
    if (data[0] % 5 < 2) {  // no script: no benchmark
        Check(fakeGame.closeRequests == 0 && !bench.savedCamera && (!printed || data[1] / 15 % 2), "acted without a script");
    }
    FakeClock_Release();
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
