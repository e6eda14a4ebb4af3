// suite.cpp: shared set-up for the benchmark files.
#include "bench/suite.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <GL/gl.h>

#include <iostream>

#include "glctx/glctx.h"
#include "plugin/bench.h"

std::vector<Keyframe> Suite_MakePath(int32_t count) {
    SuiteRandom rng(1u + (uint32_t)count);
    std::vector<Keyframe> path((size_t)count);
    int32_t frame = 0;
    for (int32_t i = 0; i < count; i++) {
        Keyframe &k = path[(size_t)i];
        k.frame = frame;
        k.x = (float)rng.Uniform(-2000, 2000);
        k.y = (float)rng.Uniform(40, 180);
        k.z = (float)rng.Uniform(-2000, 2000);
        k.orientX = (float)rng.Uniform(0, 360);
        k.orientY = (float)rng.Uniform(-89, 89);
        frame += 1 + (int32_t)rng.Below(4);
    }
    return path;
}

std::vector<double> Suite_MakeFrameTimes(int32_t count) {
    SuiteRandom rng(7u + (uint32_t)count);
    std::vector<double> times((size_t)count);
    for (double &t : times) {
        t = 1000.0 / 60.0 + rng.Uniform(-2.5, 2.5);
        if (rng.Below(500) == 0) t += rng.Uniform(20, 60);
    }
    return times;
}

StdoutSilencer::StdoutSilencer() {
    // Whatever the benchmark library has buffered must reach the real
    // stdout before the descriptor moves.
    std::cout.flush();
    fflush(stdout);
    saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, 1);
        close(null);
    }
}

StdoutSilencer::~StdoutSilencer() {
    if (saved >= 0) {
        dup2(saved, 1);
        close(saved);
    }
}

static std::string scratchDir;

const std::string &Suite_ScratchDir(void) {
    if (scratchDir.empty()) {
        struct stat st;
        const char *base = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
                               ? "/dev/shm"
                               : "/tmp";
        std::string pattern = std::string(base) + "/flyrate-bench-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data())) scratchDir = name.data();
    }
    return scratchDir;
}

void Suite_Cleanup(void) {
    if (scratchDir.empty()) return;
    if (DIR *dir = opendir(scratchDir.c_str())) {
        while (struct dirent *e = readdir(dir)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") unlink((scratchDir + "/" + name).c_str());
        }
        closedir(dir);
    }
    rmdir(scratchDir.c_str());
    scratchDir.clear();
}

// One context for the whole run, made on first use on the benchmark thread.
GlContext *Suite_GlContext(benchmark::State &state) {
    static GlContext *ctx;
    static bool tried;
    if (!tried) {
        tried = true;
        char err[256] = "";
        ctx = GlContext_Create(kSuiteWidth, kSuiteHeight, err, sizeof err);
        if (ctx) {
            glClearColor(0.25f, 0.5f, 0.75f, 1.0f);
            glClear(GL_COLOR_BUFFER_BIT);
            glFinish();
        } else {
            fprintf(stderr, "flyrate_bench: no OpenGL context: %s\n", err);
        }
    }
    if (!ctx) state.SkipWithError("no OpenGL context");
    else state.SetLabel(GlContext_Renderer(ctx));
    return ctx;
}

