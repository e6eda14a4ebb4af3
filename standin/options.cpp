// options.cpp: the stand-in's command line.
//
// Options for running a plug-in the way the game would, and for making the
// game misbehave on purpose (taken hook slots, camera switches, map reloads,
// early quits) so tests and plug-in developers can see what a plug-in does.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "standin/standin.h"

static const char kUsage[] =
    "usage: flyrate-standin [options] [--plugin] [PLUGIN.so]\n"
    "  --plugin PATH          plug-in library to load (or give it as the last argument)\n"
    "  --size WxH             framebuffer size (default 960x540)\n"
    "  --seed N               world seed (default 1)\n"
    "  --build-rate N         chunk builds per frame (default 4)\n"
    "  --view-distance N      blocks (default 96)\n"
    "  --pose X,Y,Z,YAW,PITCH the host camera's pose; angles in degrees\n"
    "  --take-hooks N         fill N Draw2D hook slots before loading the plug-in\n"
    "  --switch-camera-at N   make another host camera active at frame N\n"
    "  --reload-map-at N      load the map again at frame N\n"
    "  --quit-at N            close the window at frame N\n"
    "  --max-frames N         stop after N frames (default 20000; 0: no limit)\n"
    "  --max-seconds S        stop after S seconds (default 120; 0: no limit)\n"
    "  --free-inside-close    call the plug-in's free slot inside the closing event\n"
    "  --summary              print the host's own frame-time summary at the end\n"
    "  --summary-last N       the same, over the last N frames only\n"
    "  --host-shot N:FILE     write frame N's scene as PPM before the 2D hooks run\n"
    "  --fly FILE             the host camera follows the keyframe script FILE, a frame per frame\n"
    "  --pose-log FILE        write every frame's rendered pose to FILE (frame x y z yaw pitch, radians)\n"
    "  --gpu-load N           draw N extra invisible full-screen layers per frame (default 0)\n"
    "  --cpu-load MS          busy the render thread MS milliseconds per frame (default 0)\n";

static bool Options_Int(const char *text, long lo, long hi, int *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < lo || v > hi) return false;
    *out = (int)v;
    return true;
}

static bool Options_Double(const char *text, double lo, double hi, double *out) {
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno || end == text || *end || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

// Angles are converted from degrees the way a plug-in's script would be, so
// a pose given here matches a keyframe of the same numbers to the bit.
static bool Options_Pose(const char *text, Pose *pose) {
    float v[5];
    int used = 0;
    if (sscanf(text, "%f,%f,%f,%f,%f%n", &v[0], &v[1], &v[2], &v[3], &v[4], &used) != 5 || text[used]) return false;
    pose->x = v[0];
    pose->y = v[1];
    pose->z = v[2];
    pose->yaw = (float)(v[3] * 0.017453292519943295);
    pose->pitch = (float)(v[4] * 0.017453292519943295);
    return true;
}

int Options_Parse(int argc, char **argv, StandinOptions *opts) {
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (!strcmp(arg, "--help") || !strcmp(arg, "-h")) {
            fputs(kUsage, stderr);
            return -1;
        }
        bool flag = !strcmp(arg, "--free-inside-close") || !strcmp(arg, "--summary");
        if (arg[0] != '-' || !arg[1]) {
            if (!opts->plugin.empty()) {
                fprintf(stderr, "standin: more than one plug-in given: %s\n", arg);
                return 2;
            }
            opts->plugin = arg;
            continue;
        }
        static const char *const kValued[] = {"--plugin", "--size", "--seed", "--build-rate", "--view-distance",
                                              "--pose", "--take-hooks", "--switch-camera-at", "--reload-map-at",
                                              "--quit-at", "--max-frames", "--max-seconds", "--summary-last",
                                              "--host-shot", "--fly", "--pose-log", "--gpu-load",
                                              "--cpu-load"};
        bool valued = false;
        for (const char *name : kValued) valued = valued || !strcmp(arg, name);
        if (!flag && !valued) {
            fprintf(stderr, "standin: unknown option %s\n%s", arg, kUsage);
            return 2;
        }
        if (!flag && i + 1 >= argc) {
            fprintf(stderr, "standin: %s needs a value\n%s", arg, kUsage);
            return 2;
        }
        const char *val = flag ? nullptr : argv[++i];
        bool ok = true;
        if (!strcmp(arg, "--plugin")) {
            opts->plugin = val;
        } else if (!strcmp(arg, "--size")) {
            int w = 0, h = 0, used = 0;
            ok = sscanf(val, "%dx%d%n", &w, &h, &used) == 2 && !val[used] && w > 0 && h > 0 && w <= 8192 && h <= 8192;
            opts->width = w;
            opts->height = h;
        } else if (!strcmp(arg, "--seed")) {
            double s = 0;
            ok = Options_Double(val, 0, 4294967295.0, &s) && s == floor(s);
            opts->seed = (uint32_t)s;
        } else if (!strcmp(arg, "--build-rate")) {
            ok = Options_Int(val, 1, 1000000, &opts->buildRate);
        } else if (!strcmp(arg, "--view-distance")) {
            double d = 0;
            ok = Options_Double(val, 8, 1024, &d);
            opts->viewDistance = (float)d;
        } else if (!strcmp(arg, "--pose")) {
            ok = Options_Pose(val, &opts->pose);
            opts->hasPose = ok;
        } else if (!strcmp(arg, "--take-hooks")) {
            ok = Options_Int(val, 0, 4, &opts->takeHooks);
        } else if (!strcmp(arg, "--switch-camera-at")) {
            ok = Options_Int(val, 0, 1 << 30, &opts->switchCameraAt);
        } else if (!strcmp(arg, "--reload-map-at")) {
            ok = Options_Int(val, 0, 1 << 30, &opts->reloadMapAt);
        } else if (!strcmp(arg, "--quit-at")) {
            ok = Options_Int(val, 0, 1 << 30, &opts->quitAt);
        } else if (!strcmp(arg, "--max-frames")) {
            ok = Options_Int(val, 0, 1 << 30, &opts->maxFrames);
        } else if (!strcmp(arg, "--max-seconds")) {
            ok = Options_Double(val, 0, 1e6, &opts->maxSeconds);
        } else if (!strcmp(arg, "--free-inside-close")) {
            opts->freeInsideClose = true;
        } else if (!strcmp(arg, "--summary")) {
            opts->summary = true;
        } else if (!strcmp(arg, "--summary-last")) {
            ok = Options_Int(val, 1, 1 << 30, &opts->summaryLast);
            opts->summary = true;
        } else if (!strcmp(arg, "--fly")) {
            opts->fly = val;
        } else if (!strcmp(arg, "--pose-log")) {
            opts->poseLog = val;
        } else if (!strcmp(arg, "--gpu-load")) {
            ok = Options_Int(val, 0, 10000, &opts->gpuLoad);
        } else if (!strcmp(arg, "--cpu-load")) {
            ok = Options_Double(val, 0, 10000, &opts->cpuLoad);
        } else if (!strcmp(arg, "--host-shot")) {
            const char *colon = strchr(val, ':');
            HostShot shot;
            ok = colon && colon[1] && Options_Int(std::string(val, (size_t)(colon - val)).c_str(), 0, 1 << 30, &shot.frame);
            if (ok) {
                shot.file = colon + 1;
                opts->shots.push_back(shot);
            }
        } else {
            fprintf(stderr, "standin: unknown option %s\n%s", arg, kUsage);
            return 2;
        }
        if (!ok) {
            fprintf(stderr, "standin: bad value for %s: %s\n", arg, val);
            return 2;
        }
    }
    return 0;
}
