// gpu.cpp: GPU times per frame from OpenGL timestamp queries (FLYRATE_GPU=1).
//
// At every timed frame's hook a GL_TIMESTAMP query is put into the GL
// stream next to a reading of the GL clock. The query's result is when the
// GPU got there, so the difference between two hook points' results is the
// GPU's time for the frame between them (gpu_ms), and a result minus the
// clock at its issue is how far the GPU ran behind the game's thread
// (gpu_lag_ms). Results come back frames later: the queries wait in a ring
// and are read oldest first, only when GL says they are available, so the
// frame is never held up; one still out when the ring wraps is lost, and
// its frame has no figures. The pass's end, outside the timed frames, waits
// for the rest.
//
// The entry points are looked up in the game's process when the context is
// first seen, so the library links no GL library and works with GLX and
// EGL alike. A context without timer queries, or a timer that the driver
// says was disjoint (clock changes, power states), gives one warning and
// the run goes on without GPU figures. The queries are given back at the
// run's end, from the hook, while the context is current; a run cut short
// by the game's shutdown leaves them to the context, which goes with it.
#include <GL/gl.h>
#include <dlfcn.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "plugin/bench.h"
#include "run/run.h"

#ifndef GL_TIMESTAMP
#define GL_TIMESTAMP 0x8E28
#endif
#ifndef GL_QUERY_COUNTER_BITS
#define GL_QUERY_COUNTER_BITS 0x8864
#endif
#ifndef GL_QUERY_RESULT
#define GL_QUERY_RESULT 0x8866
#endif
#ifndef GL_QUERY_RESULT_AVAILABLE
#define GL_QUERY_RESULT_AVAILABLE 0x8867
#endif
#ifndef GL_NUM_EXTENSIONS
#define GL_NUM_EXTENSIONS 0x821D
#endif
#ifndef GL_GPU_DISJOINT_EXT
#define GL_GPU_DISJOINT_EXT 0x8FBB
#endif

typedef void *(*GpuProcFn)(const char *name);

int Gpu_Init(void) {
    size_t n = (size_t)bench.totalFrames;
    bench.gpuMs = (double *)malloc(n * sizeof(double));
    bench.gpuLagMs = bench.gpuMs ? (double *)malloc(n * sizeof(double)) : nullptr;
    if (!bench.gpuLagMs) {
        free(bench.gpuMs);
        bench.gpuMs = nullptr;
        Bench_Log("flyrate: warning: no memory for GPU times: the run goes on without them");
        return 0;
    }
    bench.gpuState = GpuState_Asked;
    return 1;
}

// The process's way to GL entry points: the current context's own API
// first (an EGL context's from EGL), else GLX's, else none (plain dlsym).
static GpuProcFn Gpu_Resolver(void) {
    void *(*eglContext)(void) = (void *(*)(void))dlsym(RTLD_DEFAULT, "eglGetCurrentContext");
    GpuProcFn egl = (GpuProcFn)dlsym(RTLD_DEFAULT, "eglGetProcAddress");
    if (egl && eglContext && eglContext()) return egl;
    GpuProcFn glx = (GpuProcFn)dlsym(RTLD_DEFAULT, "glXGetProcAddressARB");
    return glx ? glx : egl;
}

static void *Gpu_Lookup(GpuProcFn resolve, const char *name) {
    void *p = resolve ? resolve(name) : nullptr;
    return p ? p : dlsym(RTLD_DEFAULT, name);
}

// Finds every entry point; names the first one missing, or returns null.
static const char *Gpu_FindEntryPoints(void) {
    GpuProcFn resolve = Gpu_Resolver();
    struct {
        void **slot;
        const char *name;
    } entries[] = {
        {(void **)&bench.gpu.GenQueries, "glGenQueries"},
        {(void **)&bench.gpu.DeleteQueries, "glDeleteQueries"},
        {(void **)&bench.gpu.GetQueryiv, "glGetQueryiv"},
        {(void **)&bench.gpu.QueryCounter, "glQueryCounter"},
        {(void **)&bench.gpu.GetQueryObjectiv, "glGetQueryObjectiv"},
        {(void **)&bench.gpu.GetQueryObjectui64v, "glGetQueryObjectui64v"},
        {(void **)&bench.gpu.GetInteger64v, "glGetInteger64v"},
    };
    for (auto &e : entries) {
        *e.slot = Gpu_Lookup(resolve, e.name);
        if (!*e.slot) return e.name;
    }
    bench.gpu.GetStringi = (const unsigned char *(*)(uint32_t, uint32_t))Gpu_Lookup(resolve, "glGetStringi");
    return nullptr;
}

// Whether the context lists EXT_disjoint_timer_query, the one way a driver
// says its timer jumped; without it there is nothing to check.
static bool Gpu_ReportsDisjoint(void) {
    if (!bench.gpu.GetStringi) return false;
    GLint count = 0;
    glGetIntegerv(GL_NUM_EXTENSIONS, &count);
    for (GLint i = 0; i < count; i++) {
        const unsigned char *name = bench.gpu.GetStringi(GL_EXTENSIONS, (uint32_t)i);
        if (name && !strcmp((const char *)name, "GL_EXT_disjoint_timer_query")) return true;
    }
    return false;
}

// Leaves the run without GPU figures: no columns, no gpu line.
static void Gpu_Off(const char *why) {
    Bench_Log("flyrate: warning: no GPU timer queries (%s): the run goes on without GPU times", why);
    free(bench.gpuMs);
    free(bench.gpuLagMs);
    bench.gpuMs = bench.gpuLagMs = nullptr;
    bench.gpuState = GpuState_Off;
}

int Gpu_Setup(void) {
    if (const char *missing = Gpu_FindEntryPoints()) {
        Gpu_Off(missing);
        return 0;
    }
    int32_t bits = 0;
    bench.gpu.GetQueryiv(GL_TIMESTAMP, GL_QUERY_COUNTER_BITS, &bits);
    if (bits <= 0) {
        Gpu_Off("GL_QUERY_COUNTER_BITS is 0");
        return 0;
    }
    bench.gpuShift = bits < 64 ? 64 - bits : 0;
    bench.gpuDisjointCheck = Gpu_ReportsDisjoint();
    if (bench.gpuDisjointCheck) {
        GLint cleared = 0;  // reading the flag clears it: only later events count
        glGetIntegerv(GL_GPU_DISJOINT_EXT, &cleared);
    }
    uint32_t ids[kGpuRing] = {};
    bench.gpu.GenQueries(kGpuRing, ids);
    for (int32_t i = 0; i < kGpuRing; i++) bench.gpuRing[i] = GpuQuery{ids[i], 0, 0};
    bench.gpuOldest = bench.gpuInFlight = 0;
    bench.gpuState = GpuState_On;
    return 1;
}

void Gpu_Release(void) {
    if (bench.gpuState != GpuState_On) return;
    uint32_t ids[kGpuRing];
    for (int32_t i = 0; i < kGpuRing; i++) ids[i] = bench.gpuRing[i].id;
    bench.gpu.DeleteQueries(kGpuRing, ids);
    bench.gpuInFlight = 0;
    bench.gpuState = GpuState_Stopped;
}

// a - b in milliseconds, modulo the counter's range and signed.
static double Gpu_Ms(uint64_t a, uint64_t b) {
    int64_t ns = (int64_t)((a - b) << bench.gpuShift) >> bench.gpuShift;
    return (double)ns / 1e6;
}

// Takes the oldest query out of the ring with its result, or lost (the
// next frame then has no interval either).
static void Gpu_Retire(bool known, uint64_t result) {
    const GpuQuery &q = bench.gpuRing[bench.gpuOldest];
    bench.gpuOldest = (bench.gpuOldest + 1) % kGpuRing;
    bench.gpuInFlight--;
    if (known && q.frame > 0) {
        bench.gpuLagMs[q.frame - 1] = Gpu_Ms(result, (uint64_t)q.issued);
        if (bench.gpuPrevValid) bench.gpuMs[q.frame - 1] = Gpu_Ms(result, bench.gpuPrev);
    }
    bench.gpuPrevValid = known;
    bench.gpuPrev = result;
}

// A disjoint timer makes every result in flight and to come meaningless.
static int Gpu_CheckDisjoint(void) {
    if (!bench.gpuDisjointCheck) return 1;
    GLint disjoint = 0;
    glGetIntegerv(GL_GPU_DISJOINT_EXT, &disjoint);
    if (!disjoint) return 1;
    Bench_Log("flyrate: warning: the GPU timer was disjoint at frame %d of pass %d: no more GPU times in this run",
              bench.curFrame, bench.pass);
    Gpu_Release();
    return 0;
}

// Reads every result that is ready, oldest first, stopping at the first
// that is not: GPUs finish their work in order.
static void Gpu_Collect(void) {
    while (bench.gpuInFlight > 0) {
        const GpuQuery &q = bench.gpuRing[bench.gpuOldest];
        int32_t available = 0;
        bench.gpu.GetQueryObjectiv(q.id, GL_QUERY_RESULT_AVAILABLE, &available);
        if (!available) return;
        uint64_t result = 0;
        bench.gpu.GetQueryObjectui64v(q.id, GL_QUERY_RESULT, &result);
        Gpu_Retire(true, result);
    }
}

void Gpu_Mark(int32_t frame) {
    if (bench.gpuState != GpuState_On || !Gpu_CheckDisjoint()) return;
    Gpu_Collect();
    if (bench.gpuInFlight == kGpuRing) Gpu_Retire(false, 0);
    GpuQuery &q = bench.gpuRing[(bench.gpuOldest + bench.gpuInFlight) % kGpuRing];
    bench.gpu.GetInteger64v(GL_TIMESTAMP, &q.issued);
    bench.gpu.QueryCounter(q.id, GL_TIMESTAMP);
    q.frame = frame;
    bench.gpuInFlight++;
}

void Gpu_StartPass(void) {
    if (!bench.gpuMs) return;
    for (int32_t i = 0; i < bench.totalFrames; i++) bench.gpuMs[i] = bench.gpuLagMs[i] = NAN;
    Gpu_Mark(0);
}

void Gpu_Drain(void) {
    if (bench.gpuState != GpuState_On || !Gpu_CheckDisjoint()) return;
    while (bench.gpuInFlight > 0) {
        uint64_t result = 0;
        bench.gpu.GetQueryObjectui64v(bench.gpuRing[bench.gpuOldest].id, GL_QUERY_RESULT, &result);
        Gpu_Retire(true, result);
    }
}
