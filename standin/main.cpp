// main.cpp: the stand-in game's start-up, frame loop and shutdown.
//
// The order of events is the game's: load the plug-in and call its
// initialise slot, load the map and call its map-loaded slot, then every
// frame ask the active camera for its pose, build a few chunks, draw the
// scene, run the Draw2D hooks and end the frame as a swap does, letting
// the GPU fall up to two frames behind. When the closing event
// is raised (by the host or by a plug-in) the current frame is completed,
// the loop ends, the free slot runs, GL is released and the program exits 0.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "glctx/glctx.h"
#include "standin/standin.h"

static StandinOptions opts;
static StandinPlugin plugin;
static bool pluginFreed;
static int pluginSlots[4];  // slots the plug-in's initialise slot filled
static int pluginSlotCount;
static long dummyHookCalls;

// A view over the lake towards the hills when no pose is given.
static const Pose kDefaultPose = {40.0f, 50.0f, 40.0f, 0.7853982f, -0.2617994f};

static void Standin_DummyHook(double delta) {
    (void)delta;
    dummyHookCalls++;
}

// Calls the free slot once, then says what the plug-in left behind.
static void Standin_FreePlugin(void) {
    if (!plugin.component || pluginFreed) return;
    pluginFreed = true;
    if (plugin.component->Free) plugin.component->Free();
    fprintf(stderr, "standin: after the free slot: active camera is %s\n", Records_DescribeActiveCamera());
    for (int i = 0; i < pluginSlotCount; i++) {
        int slot = pluginSlots[i];
        fprintf(stderr, "standin: after the free slot: hook slot %d is %s\n", slot,
                Game.Draw2DHooks[slot] ? "still set" : "free");
    }
}

static void Standin_LoadMap(void) {
    Chunks_Reset();
    Game.chunkUpdates = 0;
    if (plugin.component && !pluginFreed && plugin.component->OnNewMapLoaded) plugin.component->OnNewMapLoaded();
}

static Pose Standin_CameraPose(double elapsed) {
    HostCamera *cam = Camera.active;
    if (!cam || !cam->GetOrientation || !cam->GetPosition) {
        fprintf(stderr, "standin: the active camera has no pose callbacks; using the host's own\n");
        Camera.active = cam = &hostMainCamera;
    }
    Vec2 o = cam->GetOrientation();
    // The argument is how far the frame lies between two 20 Hz game ticks.
    Vec3 p = cam->GetPosition((float)fmod(elapsed * 20.0, 1.0));
    return Pose{p.x, p.y, p.z, o.x, o.y};
}

static int Standin_Run(void) {
    Records_Init(opts.width, opts.height, opts.hasPose ? opts.pose : kDefaultPose);
    char err[256] = "";
    GlContext *gl = GlContext_Create(opts.width, opts.height, err, (int)sizeof err);
    if (!gl) {
        fprintf(stderr, "standin: no OpenGL: %s\n", err);
        return 1;
    }
    // One line in a fixed form that run tools read back to record the set-up.
    fprintf(stderr,
            "standin: renderer: %s, size %dx%d, seed %u, view distance %g, %d chunk builds per frame, "
            "gpu load %d, cpu load %g ms\n",
            GlContext_Renderer(gl), opts.width, opts.height, opts.seed, (double)opts.viewDistance, opts.buildRate,
            opts.gpuLoad, opts.cpuLoad);
    World_Init(opts.seed);
    Chunks_Init(opts.seed, opts.viewDistance);
    Render_Init(opts.width, opts.height, opts.viewDistance, opts.gpuLoad);

    for (int i = 0; i < opts.takeHooks; i++) Game.Draw2DHooks[i] = Standin_DummyHook;
    FILE *poseLog = opts.poseLog.empty() ? nullptr : fopen(opts.poseLog.c_str(), "w");
    if ((!opts.fly.empty() && !Fly_Load(opts.fly.c_str())) || (!opts.poseLog.empty() && !poseLog)) {
        if (!opts.poseLog.empty() && !poseLog) fprintf(stderr, "standin: can't write %s\n", opts.poseLog.c_str());
        GlContext_Destroy(gl);
        return 1;
    }

    if (!opts.plugin.empty()) {
        if (!Loader_Open(opts.plugin.c_str(), &plugin)) {
            GlContext_Destroy(gl);
            return 1;
        }
        if (opts.freeInsideClose) standinEvents.onClosing = Standin_FreePlugin;
        HostDraw2DFn before[4];
        for (int i = 0; i < 4; i++) before[i] = Game.Draw2DHooks[i];
        if (plugin.component->Init) plugin.component->Init();
        for (int i = 0; i < 4; i++) {
            if (!before[i] && Game.Draw2DHooks[i]) pluginSlots[pluginSlotCount++] = i;
        }
    }

    double start = Timing_Now(), prev2D = start;
    int frame = 0;
    // A plug-in may already have asked to close from its initialise slot.
    if (!standinEvents.closing && WindowInfo.exists) Standin_LoadMap();
    for (;; frame++) {
        if (standinEvents.closing || !WindowInfo.exists) {
            fprintf(stderr, "standin: window closed after %d frames\n", frame);
            break;
        }
        if (opts.maxFrames > 0 && frame >= opts.maxFrames) {
            fprintf(stderr, "standin: stopping at the frame limit (%d frames)\n", frame);
            break;
        }
        double frameStart = Timing_Now();
        if (opts.maxSeconds > 0 && frameStart - start >= opts.maxSeconds) {
            fprintf(stderr, "standin: stopping at the time limit (%g s, %d frames)\n", opts.maxSeconds, frame);
            break;
        }
        if (frame == opts.quitAt) {
            fprintf(stderr, "standin: closing the window at frame %d\n", frame);
            Records_RaiseClosing();
        }
        if (frame == opts.switchCameraAt) {
            fprintf(stderr, "standin: switching to the other camera at frame %d\n", frame);
            Camera.active = &hostOtherCamera;
        }
        if (frame == opts.reloadMapAt) {
            fprintf(stderr, "standin: loading the map again at frame %d\n", frame);
            Standin_LoadMap();
        }

        if (!opts.fly.empty()) Records_SetMainPose(Fly_Pose(frame));
        Pose pose = Standin_CameraPose(frameStart - start);
        if (poseLog) fprintf(poseLog, "%d %.9g %.9g %.9g %.9g %.9g\n", frame, pose.x, pose.y, pose.z, pose.yaw, pose.pitch);
        Chunks_Update(pose.x, pose.z, opts.buildRate);
        Swap_CpuLoad(opts.cpuLoad);
        Render_Scene(pose, Camera.matrix);
        for (const HostShot &shot : opts.shots) {
            if (shot.frame == frame && !Render_WritePPM(shot.file.c_str()))
                fprintf(stderr, "standin: can't write %s\n", shot.file.c_str());
        }

        double now2D = Timing_Now();
        Timing_Mark(now2D);
        double delta = now2D - prev2D;
        prev2D = now2D;
        // Slots are read afresh for each call: a hook may empty its own slot
        // (or another's) while it runs.
        for (int i = 0; i < 4; i++) {
            HostDraw2DFn hook = Game.Draw2DHooks[i];
            if (hook) hook(delta);
        }
        Swap_EndFrame();  // where the game would swap buffers
    }
    Swap_Finish();

    fprintf(stderr, "standin: %d frames, %ld chunk builds\n", frame, Chunks_TotalBuilds());
    if (poseLog) fclose(poseLog);
    if (opts.takeHooks > 0) fprintf(stderr, "standin: the host's own hooks ran %ld times\n", dummyHookCalls);
    if (opts.summary) Timing_PrintSummary(opts.summaryLast);
    Standin_FreePlugin();
    Chunks_Reset();
    GlContext_Destroy(gl);
    Loader_Close(&plugin);
    return 0;
}

int main(int argc, char **argv) {
    int rc = Options_Parse(argc, argv, &opts);
    if (rc < 0) return 0;
    if (rc > 0) return rc;
    return Standin_Run();
}
