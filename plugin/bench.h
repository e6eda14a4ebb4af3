// bench.h: the plug-in's one state record, its log line and its clock.
//
// Everything flyrate knows lives in `bench`, a single statically allocated
// BenchState that every subsystem reads and writes directly. It is touched
// only from the game's render thread, one entry point at a time, so nothing
// is locked. Fields are grouped by who sets them and how long they live.
#pragma once

#include <stdint.h>

#include "plugin/host.h"

enum RunState : int32_t {
    RunState_Idle = 0,       // FLYRATE unset or empty, or the free slot has run
    RunState_Armed = 1,      // script loaded, hook installed, waiting for a map
    RunState_WarmingUp = 2,  // map loaded, waiting for chunk building to settle
    RunState_Running = 3,    // timing frames
    RunState_Finished = 4,   // all passes done, or start-up failed
    // Recording a flight (FLYRATE_RECORD, without FLYRATE): the hook is in,
    // waiting for a map, then sampling the game's camera every frame.
    RunState_RecordWaiting = 5,
    RunState_Recording = 6,
};

// What became of FLYRATE_GPU=1: GPU times are measured only while On.
enum GpuState : int32_t {
    GpuState_Off = 0,      // not asked for, no memory, or no timer queries in the context
    GpuState_Asked = 1,    // tables allocated; the context is looked at in the first warm-up frame
    GpuState_On = 2,       // a timestamp query at every timed frame's hook
    GpuState_Stopped = 3,  // queries given back: the run is over, or the GPU's timer was disjoint
};

// Timestamp queries in flight at most; an older one whose result has not
// come back when the ring is full counts as missing.
static constexpr int32_t kGpuRing = 8;

// One timestamp query in flight: the hook point it marks (frame 0 marks a
// pass's start or a capture's end, which only the next frame measures from)
// and the GL time when it was issued, in nanoseconds.
struct GpuQuery {
    uint32_t id;
    int32_t frame;
    int64_t issued;
};

// The OpenGL entry points of timer queries, found at run time in the game's
// process (core 3.3 or ARB_timer_query), so flyrate.so links no GL library
// and names none of them. Types as GL's: GLuint, GLenum, GLint64, GLuint64.
struct GpuApi {
    void (*GenQueries)(int32_t n, uint32_t *ids);
    void (*DeleteQueries)(int32_t n, const uint32_t *ids);
    void (*GetQueryiv)(uint32_t target, uint32_t name, int32_t *value);
    void (*QueryCounter)(uint32_t id, uint32_t target);
    void (*GetQueryObjectiv)(uint32_t id, uint32_t name, int32_t *value);
    void (*GetQueryObjectui64v)(uint32_t id, uint32_t name, uint64_t *value);
    void (*GetInteger64v)(uint32_t name, int64_t *value);
    const unsigned char *(*GetStringi)(uint32_t name, uint32_t index);  // may be null: no disjoint check
};

// The most characters of text a log line keeps (its newline aside).
static constexpr int kLogLineMax = 1022;
// The longest file name a recording keeps, its terminating zero included.
static constexpr int kRecordPathMax = 4096;

// One point of the camera path.
struct Keyframe {
    int32_t frame;           // path frame at which the camera is exactly here
    float x, y, z;           // world coordinates
    float orientX, orientY;  // degrees
};
static_assert(sizeof(Keyframe) == 24, "keyframes are six 32-bit fields");

struct BenchState {
    // Configuration: set once by Bench_Init and the script's warmup line.
    double warmupMin = 2.0;          // seconds the warm-up lasts at least
    double warmupQuiet = 1.0;        // seconds without chunk builds that count as settled
    double warmupMax = 30.0;         // seconds after which the run starts regardless
    int32_t passes = 1;              // passes to run
    const char *shotsDir = nullptr;  // FLYRATE_SHOTS; the environment's string, not owned
    const char *csvPath = nullptr;   // FLYRATE_CSV; the environment's string, not owned
    int32_t hookIndex = -1;          // claimed Draw2D slot, -1 when none

    // Path: filled by Keyframes_Load, owned from Bench_Init to Bench_Free.
    Keyframe *keyframes = nullptr;   // ascending frame order
    int32_t keyframeCount = 0;
    int32_t totalFrames = 0;         // last keyframe's frame = frames timed per pass

    // Run: driven by the run controller and the scripted camera.
    RunState state = RunState_Idle;
    int32_t pass = 1;                // counted from 1
    int32_t curFrame = 0;            // path frame the camera shows now
    double *frameTimes = nullptr;    // owned; totalFrames entries, [i] = frame i+1 in ms
    double lastFrameTime = 0;        // clock at the start of the frame being timed
    double warmupStart = 0;          // clock when the warm-up began
    double lastBuildTime = 0;        // clock at the last look that saw chunk builds
    int32_t prevChunkCount = 0;      // host chunk counter at the last look
    int64_t warmupChunks = 0;        // chunks built during the warm-up
    int64_t runChunks = 0;           // chunks built during the current pass
    int32_t cameraSwitches = 0;      // scripted camera replaced by the host, this pass
    HostCamera cameraCopy = {};      // the scripted camera the host renders from
    HostCamera *savedCamera = nullptr;  // host camera active at the first install; set once
    int32_t nextShot = 1;            // index of the next keyframe to capture in this pass
    int64_t *frameChunks = nullptr;  // owned, with FLYRATE_CSV only; [i] = builds during frame i+1

    // Pose of the scripted camera: computed once per path frame, however
    // often the game asks; the segment it lay on is where the next search
    // starts. Invalid whenever the path is loaded or released.
    bool poseValid = false;
    int32_t poseFrame = 0;
    int32_t poseSegment = 1;
    Keyframe pose = {};

    // Recording (FLYRATE_RECORD): the game's camera pose of every frame
    // since the map loaded, owned from the first frame to Bench_Free, and
    // the scratch file beside FILE that holds them as they come, from
    // Bench_Init to Bench_Free.
    const char *recordPath = nullptr;  // the environment's string, not owned
    Keyframe *samples = nullptr;       // frame = index, angles in degrees, unwrapped
    int32_t sampleCount = 0;
    int32_t sampleCapacity = 0;
    bool recordFull = false;           // out of memory: no more samples are taken
    char recordTarget[kRecordPathMax] = {};  // FILE with its symbolic links followed: the file replaced
    int recordFd = -1;                 // the scratch file, open and locked while recording
    int32_t samplesSaved = 0;          // samples in the scratch file
    int64_t scratchBytes = 0;          // its length after the last whole write
    double lastSave = 0;               // clock at the last write to it
    bool scratchFailed = false;        // a write to it failed: later samples are in memory only

    // GPU times (FLYRATE_GPU=1). The tables are owned from Bench_Init to
    // Bench_Free, like the frame times, and exist exactly when the log gets
    // their columns; the queries live from the first warm-up frame to the
    // end of the run. Results are read oldest first, only once available.
    GpuState gpuState = GpuState_Off;
    double *gpuMs = nullptr;           // owned; [i] = GPU time from frame i's hook point to frame i+1's, NaN: missing
    double *gpuLagMs = nullptr;        // owned; [i] = how far the GPU was behind at frame i+1's hook, NaN: missing
    GpuApi gpu = {};
    GpuQuery gpuRing[kGpuRing] = {};
    int32_t gpuOldest = 0;             // ring index of the oldest query in flight
    int32_t gpuInFlight = 0;
    int32_t gpuShift = 0;              // 64 minus the counter's bits: differences are worked modulo its range
    bool gpuDisjointCheck = false;     // the context reports disjoint timer events
    bool gpuPrevValid = false;         // the previous hook point's GPU time is known
    uint64_t gpuPrev = 0;              // the GPU time at the previous hook point
};

extern BenchState bench;

// Monotonic clock in seconds. All timing goes through clock_gettime so a
// host or a test can control time.
double Bench_Now(void);

// printf-style; writes "text\n" to descriptor 1 in one write(). At most 1022
// characters of text survive. Every caller starts its text with "flyrate: ".
void Bench_Log(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Component slots: start-up and shutdown.
void Bench_Init(void);
void Bench_Free(void);

// Releases every table the state record owns and marks the pose invalid;
// other fields keep their values.
void Bench_ReleaseTables(void);
