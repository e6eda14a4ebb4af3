// standin.h: the stand-in game's modules and how they call each other.
//
// flyrate-standin plays the host game towards a plug-in: it exports the
// host records (records.cpp), loads the plug-in (loader.cpp), generates a
// voxel world (world.cpp), meshes and uploads it chunk by chunk
// (mesh.cpp, chunks.cpp), renders it with OpenGL (render.cpp), keeps its
// own frame timestamps (timing.cpp) and runs the frame loop (main.cpp).
// Coordinates: y is up; a pose's yaw turns around y, 0 looking along +x
// and pi/2 along +z; pitch is positive looking up.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "plugin/host.h"

// ---- options.cpp: the command line ----------------------------------------

struct Pose {
    float x, y, z;
    float yaw, pitch;  // radians
};

struct HostShot {
    int frame;         // stand-in frame number, counted from 0
    std::string file;  // PPM written with the scene of that frame
};

struct StandinOptions {
    std::string plugin;           // empty: run without a plug-in
    int width = 960, height = 540;
    uint32_t seed = 1;
    int buildRate = 4;            // chunk builds per frame
    float viewDistance = 96.0f;   // blocks
    int takeHooks = 0;            // hook slots filled before loading the plug-in
    int switchCameraAt = -1;      // frame at which the host switches camera
    int reloadMapAt = -1;         // frame at which the map is loaded again
    int quitAt = -1;              // frame at which the host raises closing
    int maxFrames = 20000;        // 0: no frame limit
    double maxSeconds = 120.0;    // 0: no time limit
    bool freeInsideClose = false; // free slot called inside Event_RaiseVoid
    bool summary = false;
    int summaryLast = 0;          // 0: every frame
    bool hasPose = false;
    Pose pose = {};               // the host camera's pose when hasPose
    std::vector<HostShot> shots;
    std::string fly;              // a keyframe script the host camera follows
    std::string poseLog;          // file for every frame's rendered pose
    int gpuLoad = 0;              // extra full-screen layers of fragments per frame
    double cpuLoad = 0;           // milliseconds of busy work on the render thread per frame
};

// Parses argv; returns 0 and fills opts, or 2 after printing the problem
// (1 never), or -1 when --help was asked for and usage has been printed.
int Options_Parse(int argc, char **argv, StandinOptions *opts);

// ---- records.cpp: the exported host records and the host's cameras --------

// What the host's event system saw.
struct StandinEvents {
    bool closing;                  // the closing event was raised
    void (*onClosing)(void);       // called inside Event_RaiseVoid, if set
};
extern StandinEvents standinEvents;

// The host's own cameras: the main one and another it can switch to.
extern HostCamera hostMainCamera;
extern HostCamera hostOtherCamera;
// The player entity the camera belongs to.
extern HostEntity hostPlayer;

// Resets every record: framebuffer size, open window, main camera active
// with the given pose, the other camera looking down from above it.
void Records_Init(int width, int height, const Pose &mainPose);
// Moves the main camera (and the other one above it).
void Records_SetMainPose(const Pose &pose);
// Clears the window-open flag and raises the closing event, as the game's
// own quit does.
void Records_RaiseClosing(void);
// Says what the active camera is, for the shutdown report.
const char *Records_DescribeActiveCamera(void);

// ---- fly.cpp: the host camera following a keyframe script -----------------

struct FlyKey {
    int frame;
    float v[5];  // x, y, z, yaw, pitch (degrees)
};
// The keyframes loaded, in frame order.
extern std::vector<FlyKey> flyKeys;
// Reads the script into flyKeys, which it empties first; returns 1, or 0
// after printing why.
int Fly_Load(const char *path);
// The script's pose at frame (held at its ends), angles in radians.
Pose Fly_Pose(int frame);

// ---- loader.cpp: the plug-in library ---------------------------------------

struct StandinPlugin {
    void *handle;
    HostComponent *component;
};

// dlopens the library at path and checks its interface. Returns 1 on
// success; otherwise prints why and returns 0.
int Loader_Open(const char *path, StandinPlugin *plugin);
void Loader_Close(StandinPlugin *plugin);

// ---- world.cpp: the procedural terrain -------------------------------------

constexpr int kChunkSize = 16;     // columns per chunk side
constexpr int kChunkHeight = 96;   // blocks per column
constexpr int kSeaLevel = 22;

enum Block : uint8_t {
    Block_Air, Block_Water, Block_Sand, Block_Grass, Block_Dirt,
    Block_Stone, Block_Snow, Block_Wood, Block_Leaves, Block_Count
};

// Side of the block array World_FillChunk writes: the chunk plus one
// column of its neighbours on each side, so the mesher sees across edges.
constexpr int kPaddedSize = kChunkSize + 2;

void World_Init(uint32_t seed);
// Height of the topmost terrain block of column (x, z), trees aside.
int World_Height(int x, int z);
// Fills blocks[(lx + 1) + (lz + 1) * kPaddedSize + y * kPaddedSize^2] for
// lx, lz in -1..kChunkSize and y in 0..kChunkHeight-1.
void World_FillChunk(int cx, int cz, uint8_t *blocks);

// ---- mesh.cpp: turning a chunk's blocks into quads -------------------------

struct Vertex {
    float x, y, z;
    uint8_t r, g, b, a;
};
static_assert(sizeof(Vertex) == 16, "vertices are tightly packed");

// Appends four vertices per visible face of the chunk at (cx, cz).
void Mesh_Build(int cx, int cz, const uint8_t *blocks, uint32_t seed, std::vector<Vertex> *out);

// ---- chunks.cpp: which chunks are built, building them ---------------------

struct ChunkView {
    int cx, cz;
    unsigned vbo;
    int vertexCount;
};

void Chunks_Init(uint32_t seed, float viewDistance);
// Builds up to rate unbuilt chunks in range of (x, z), nearest first,
// counting each in Game.chunkUpdates, and drops chunks far out of range.
void Chunks_Update(float x, float z, int rate);
// The built chunks in range of (x, z), ordered by chunk coordinates.
void Chunks_InRange(float x, float z, std::vector<ChunkView> *out);
// Drops every chunk (a new map load).
void Chunks_Reset(void);
int Chunks_BuiltCount(void);
long Chunks_TotalBuilds(void);

// ---- render.cpp: drawing a frame -------------------------------------------

void Render_Init(int width, int height, float viewDistance, int gpuLoad);
// Clears and draws the chunks in range that the pose can see, then the
// GPU load: layers of blended fragments over the whole picture that leave
// it as it was.
void Render_Scene(const Pose &pose, const float *tilt);
// Writes the framebuffer as binary PPM, top row first. Returns 1 on success.
int Render_WritePPM(const char *file);

// ---- swap.cpp: the frame's end and made-up CPU work ------------------------

// Ends the frame as a swap chain does: at most two frames in flight.
void Swap_EndFrame(void);
// Waits for the GPU and drops the fences (before the context goes).
void Swap_Finish(void);
// Keeps the render thread busy for ms milliseconds.
void Swap_CpuLoad(double ms);

// ---- timing.cpp: the host's own frame timestamps ---------------------------

double Timing_Now(void);
// Records the timestamp of one frame's 2D phase.
void Timing_Mark(double t);
// Prints the frame-time summary of the last `last` frames (0: all).
void Timing_PrintSummary(int last);
