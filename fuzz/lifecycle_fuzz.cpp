// lifecycle_fuzz.cpp: the whole plug-in, driven by a game that does what
// the fuzzer's bytes say.
//
// Input layout (see seeds.py, which writes the seed corpus):
//   byte 0  FLYRATE: unset, empty, the script, a directory, a missing file
//   byte 1  FLYRATE_SHOTS (byte % 5): unset, empty, a directory, a missing
//           directory, a file; FLYRATE_CSV (byte / 5 % 3): unset, a file,
//           /dev/full
//   byte 2  FLYRATE_PASSES: one of kPasses
//   byte 3  when the game shuts down after a close request: bit 0 set = at
//           once, inside the request; otherwise after (bits 1-3) more steps
//   byte 4, 5  framebuffer width and height, 0 to 16
//   byte 6, 7  script length, little-endian; then the script's bytes
//   then pairs (step, argument) until the input ends; see Step below.
// The game always ends by calling the free slot (if nothing did before),
// and every invariant of the plug-in's contract with the game is checked:
// the log discipline on every record, close requests only from the Finished
// state, tables released, hook slot and camera given back, others' hook
// slots and cameras left alone. ASan and LeakSanitizer check the rest.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz/fuzzhost.h"
#include "plugin/bench.h"
#include "plugin/host.h"
#include "run/run.h"

extern "C" HostComponent Plugin_Component;
extern "C" int32_t Plugin_ApiVersion;

extern "C" const char *__asan_default_options(void) {
    return "allocator_may_return_null=1:max_allocation_size_mb=512:detect_leaks=1";
}

static char scriptPath[] = "/tmp/flyrate-fuzz-life-XXXXXX";
static char shotsDir[] = "/tmp/flyrate-fuzz-shots-XXXXXX";
static char scriptDir[] = "/tmp/flyrate-fuzz-dir-XXXXXX";
static char csvPath[] = "/tmp/flyrate-fuzz-csv-XXXXXX";
static int scriptFd = -1;

static const char *const kPasses[] = {
    nullptr, "", "0", "1", "2", "3", "-3", "3x", "x", "99999999999", "2147483647", "2147483648", " 2", "+2", "0x10", "007",
};

// Bursts and jumps are capped so one input stays quick to run.
static constexpr int kMaxFrames = 20000;

static void ClearShots(void) {
    DIR *dir = opendir(shotsDir);
    if (!dir) return;
    char name[512];
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        snprintf(name, sizeof name, "%s/%s", shotsDir, e->d_name);
        unlink(name);
    }
    closedir(dir);
}

static void RemoveFiles(void) {
    ClearShots();
    rmdir(shotsDir);
    rmdir(scriptDir);
    unlink(scriptPath);
    unlink(csvPath);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    scriptFd = mkstemp(scriptPath);
    int csvFd = mkstemp(csvPath);
    FuzzHost_Check(scriptFd >= 0 && csvFd >= 0 && mkdtemp(shotsDir) && mkdtemp(scriptDir),
                   "can't make the temporary files");
    close(csvFd);
    atexit(RemoveFiles);
    LogCatch_Start();
    return 0;
}

// The game's state for one input.
static bool freed;           // the free slot has run; the game is gone
static int freeCountdown;    // steps until a scheduled shutdown, -1 = none
static bool closeAtOnce;     // shut down inside the plug-in's close request
static int closeDelay;       // steps between a close request and shutdown
static int frames;           // frames rendered for this input
static HostCamera *previousCamera;

static void Foreign_Draw2D(double delta) { (void)delta; }

static void Host_Free(void) {
    FuzzHost_Check(!freed, "the game ran the free slot twice");
    HostCamera *activeBefore = Camera.active;
    HostDraw2DFn slotsBefore[4];
    memcpy(slotsBefore, Game.Draw2DHooks, sizeof slotsBefore);

    Plugin_Component.Free();
    freed = true;
    LogCatch_Drain();

    FuzzHost_Check(bench.state == RunState_Idle, "free slot left a run state");
    FuzzHost_Check(!bench.keyframes && !bench.frameTimes, "free slot left a table allocated");
    for (int i = 0; i < 4; i++) {
        HostDraw2DFn expect = slotsBefore[i] == Bench_OnDraw2D ? nullptr : slotsBefore[i];
        FuzzHost_Check(Game.Draw2DHooks[i] == expect, "free slot did not give back its hook, or took another's");
    }
    if (activeBefore == &bench.cameraCopy) {
        FuzzHost_Check(Camera.active == bench.savedCamera, "free slot did not give back the game's camera");
    } else {
        FuzzHost_Check(Camera.active == activeBefore, "free slot changed a camera that was not its own");
    }
    FuzzHost_Check(Camera.active == &fuzzHost.hostCamera || Camera.active == &fuzzHost.otherCamera,
                   "the game is left with a camera that is not its own");
}

// The plug-in asked the game to close.
static void Host_OnClose(void) {
    FuzzHost_Check(bench.state == RunState_Finished, "close requested before the run state is Finished");
    FuzzHost_Check(fuzzHost.closeRequests == 1, "close requested more than once");
    if (closeAtOnce) {
        if (!freed) Host_Free();
    } else if (freeCountdown < 0) {
        freeCountdown = closeDelay;
    }
}

static void Host_Render(void) {
    HostCamera *cam = Camera.active;
    Vec2 o = cam->GetOrientation();
    Vec3 p = cam->GetPosition(0.5f);
    (void)o;
    (void)p;
}

static void Host_Frame(int64_t ns) {
    FuzzClock_Advance(ns);
    frames++;
    Host_Render();
    for (int i = 0; i < 4 && !freed; i++) {
        HostDraw2DFn hook = Game.Draw2DHooks[i];
        if (hook) hook(ns / 1e9);
        LogCatch_Drain();
    }
}

static void Host_SetCamera(HostCamera *cam) {
    previousCamera = Camera.active;
    Camera.active = cam;
}

// One step of the game, chosen by the fuzzer.
static void Step(uint8_t op, uint8_t arg) {
    switch (op % 12) {
    case 0:
        Plugin_Component.Init();
        break;
    case 1:
        Plugin_Component.OnNewMapLoaded();
        break;
    case 2:
        // A frame taking arg ms, or a stall of up to 550 s.
        Host_Frame(arg < 200 ? (int64_t)arg * 1000000 : (int64_t)(arg - 200) * 10 * 1000000000);
        break;
    case 3:
        for (int i = 0; i < arg && !freed && frames < kMaxFrames; i++) Host_Frame(16666667);
        break;
    case 4:
        if (arg < 250) {
            Game.chunkUpdates = Game.chunkUpdates > INT32_MAX - arg ? INT32_MAX : Game.chunkUpdates + arg;
        } else if (arg == 250) {
            Game.chunkUpdates = 0;  // a new map: the count starts again
        } else if (arg == 251) {
            Game.chunkUpdates /= 2;
        } else {
            Game.chunkUpdates = INT32_MAX - (255 - arg);
        }
        break;
    case 5:
        switch (arg % 3) {
        case 0: Host_SetCamera(&fuzzHost.otherCamera); break;
        case 1: Host_SetCamera(&fuzzHost.hostCamera); break;
        default: if (previousCamera) Host_SetCamera(previousCamera); break;
        }
        break;
    case 6:
        if (!Game.Draw2DHooks[arg % 4]) Game.Draw2DHooks[arg % 4] = Foreign_Draw2D;
        break;
    case 7:
        Game.Draw2DHooks[arg % 4] = nullptr;
        break;
    case 8:
        Host_Render();
        break;
    case 9:
        Entities.cameraEntity = (arg & 1) ? nullptr : &fuzzHost.entity;
        break;
    case 10:
        Game.width = arg % 17;
        Game.height = (arg / 17) % 17;
        break;
    case 11:
        // The user quits: the game shuts down now or a few frames later.
        WindowInfo.exists = 0;
        if (arg & 1) {
            Host_Free();
        } else if (freeCountdown < 0) {
            freeCountdown = (arg >> 1) % 8;
        }
        break;
    }
    LogCatch_Drain();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    size_t scriptLen = (size_t)(data[6] | data[7] << 8);
    if (scriptLen > size - 8) scriptLen = size - 8;
    const uint8_t *script = data + 8;
    const uint8_t *steps = script + scriptLen;
    size_t stepBytes = size - 8 - scriptLen;

    FuzzHost_Check(ftruncate(scriptFd, 0) == 0 && pwrite(scriptFd, script, scriptLen, 0) == (ssize_t)scriptLen,
                   "can't write the script file");
    switch (data[0] % 5) {
    case 0: unsetenv("FLYRATE"); break;
    case 1: setenv("FLYRATE", "", 1); break;
    case 2: setenv("FLYRATE", scriptPath, 1); break;
    case 3: setenv("FLYRATE", scriptDir, 1); break;
    default: setenv("FLYRATE", "/nonexistent/flyrate/script.txt", 1); break;
    }
    switch (data[1] % 5) {
    case 0: unsetenv("FLYRATE_SHOTS"); break;
    case 1: setenv("FLYRATE_SHOTS", "", 1); break;
    case 2: setenv("FLYRATE_SHOTS", shotsDir, 1); break;
    case 3: setenv("FLYRATE_SHOTS", "/nonexistent/flyrate/shots", 1); break;
    default: setenv("FLYRATE_SHOTS", scriptPath, 1); break;
    }
    switch (data[1] / 5 % 3) {
    case 0: unsetenv("FLYRATE_CSV"); break;
    case 1: setenv("FLYRATE_CSV", csvPath, 1); break;
    default: setenv("FLYRATE_CSV", "/dev/full", 1); break;
    }
    const char *passes = kPasses[data[2] % 16];
    if (passes) {
        setenv("FLYRATE_PASSES", passes, 1);
    } else {
        unsetenv("FLYRATE_PASSES");
    }
    closeAtOnce = data[3] & 1;
    closeDelay = (data[3] >> 1) % 8;

    bench = BenchState{};
    FuzzHost_Reset(data[4] % 17, data[5] % 17);
    fuzzHost.onClose = Host_OnClose;
    freed = false;
    freeCountdown = -1;
    frames = 0;
    previousCamera = nullptr;
    LogCatch_Clear();
    FuzzClock_On(1000000000000);

    FuzzHost_Check(Plugin_ApiVersion == 1, "interface version is not 1");
    for (size_t i = 0; i + 1 < stepBytes && !freed; i += 2) {
        Step(steps[i], steps[i + 1]);
        if (!freed && freeCountdown >= 0 && freeCountdown-- == 0) Host_Free();
    }
    if (!freed) Host_Free();
    FuzzHost_Check(fuzzHost.closeRequests <= 1, "close requested more than once");
    if (data[0] % 5 < 2) {
        // Without a script the plug-in does nothing at all.
        FuzzHost_Check(LogCatch_Count() == 0, "the plug-in printed something without a script");
        FuzzHost_Check(fuzzHost.closeRequests == 0, "the plug-in closed the game without a script");
        FuzzHost_Check(bench.savedCamera == nullptr, "the plug-in took the camera without a script");
    }

    FuzzClock_Off();
    if (fuzzHost.pixelReads) ClearShots();
    bench = BenchState{};
    return 0;
}
