// host.h: the game's side of the plug-in boundary.
//
// The game loads flyrate.so and resolves its undefined symbols against its
// own exported records. Those records are the game's, not ours: we only know
// the few fields we touch, at fixed byte positions, so each record below is
// laid out with explicit padding and every position is checked at compile
// time. The stand-in host and the tests define these symbols from the same
// declarations.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern "C" {

struct Vec2 { float x, y; };
struct Vec3 { float x, y, z; };

typedef Vec2 (*HostOrientationFn)(void);
typedef Vec3 (*HostPositionFn)(float t);
typedef void (*HostDraw2DFn)(double delta);
typedef void (*HostComponentFn)(void);

// A camera object, what Camera.active points at. 96 bytes; we copy it whole
// and replace only the flag and the two pose callbacks.
struct HostCamera {
    uint8_t flag;                       // 0
    uint8_t unknown1[23];
    HostOrientationFn GetOrientation;   // 24, radians
    HostPositionFn GetPosition;         // 32, world coordinates
    uint8_t unknown40[56];
};

// The exported Game record: framebuffer size, chunk-build counter, and the
// four Draw2D hook slots (null = free).
struct HostGame {
    int32_t width;                      // 0
    int32_t height;                     // 4
    uint8_t unknown8[8];
    int32_t chunkUpdates;               // 16, running count; may restart lower
    uint8_t unknown20[4];
    HostDraw2DFn Draw2DHooks[4];        // 24, 32, 40, 48
};

// The exported Camera record: the view matrix and the active camera.
struct HostCameraState {
    uint8_t unknown0[8];
    float matrix[16];                   // 8..71, 4x4
    uint8_t field72[8];                 // 72..79
    uint8_t unknown80[16];
    HostCamera *active;                 // 96
    uint8_t unknown104[16];
    float float120;                     // 120
};

// The entity the camera belongs to; only its two head angles matter here.
struct HostEntity {
    uint8_t unknown0[20];
    float headY;                        // 20, degrees; receives orientY
    float headX;                        // 24, degrees; receives orientX
};

struct HostEntities {
    uint8_t unknown0[2056];
    HostEntity *cameraEntity;           // 2056, possibly null
};

struct HostWindowInfo {
    uint8_t unknown0[16];
    uint8_t exists;                     // 16, window-open flag
};

// A void event's storage; only its address is handed back to the host.
struct HostVoidEvent {
    uint8_t opaque[8];
};

struct HostWindowEvents {
    uint8_t unknown0[1040];
    HostVoidEvent Closing;              // 1040
};

// The component record the game reads from the plug-in: six slots.
struct HostComponent {
    HostComponentFn Init;
    HostComponentFn Free;
    HostComponentFn Reset;              // left null
    HostComponentFn OnNewMap;           // left null
    HostComponentFn OnNewMapLoaded;
    HostComponentFn Next;               // left null
};

// Provided by the loading process.
extern HostGame Game;
extern HostCameraState Camera;
extern HostEntities Entities;
extern HostWindowInfo WindowInfo;
extern HostWindowEvents WindowEvents;
void Event_RaiseVoid(void *event);

}  // extern "C"

static_assert(sizeof(Vec2) == 8 && sizeof(Vec3) == 12, "pose structs are plain floats");
static_assert(sizeof(HostCamera) == 96, "camera object is 96 bytes");
static_assert(offsetof(HostCamera, flag) == 0, "camera flag");
static_assert(offsetof(HostCamera, GetOrientation) == 24, "orientation callback");
static_assert(offsetof(HostCamera, GetPosition) == 32, "position callback");
static_assert(offsetof(HostGame, width) == 0, "Game width");
static_assert(offsetof(HostGame, height) == 4, "Game height");
static_assert(offsetof(HostGame, chunkUpdates) == 16, "Game chunk counter");
static_assert(offsetof(HostGame, Draw2DHooks) == 24, "Game hook slot 0");
static_assert(offsetof(HostGame, Draw2DHooks[3]) == 48, "Game hook slot 3");
static_assert(offsetof(HostCameraState, matrix) == 8, "Camera matrix");
static_assert(sizeof(((HostCameraState *)0)->matrix) == 64, "Camera matrix is 4x4 floats");
static_assert(offsetof(HostCameraState, field72) == 72, "Camera field at 72");
static_assert(offsetof(HostCameraState, active) == 96, "Camera active pointer");
static_assert(offsetof(HostCameraState, float120) == 120, "Camera float at 120");
static_assert(offsetof(HostEntity, headY) == 20, "entity angle at 20");
static_assert(offsetof(HostEntity, headX) == 24, "entity angle at 24");
static_assert(offsetof(HostEntities, cameraEntity) == 2056, "Entities camera entity");
static_assert(offsetof(HostWindowInfo, exists) == 16, "WindowInfo open flag");
static_assert(offsetof(HostWindowEvents, Closing) == 1040, "WindowEvents closing event");
static_assert(sizeof(HostComponent) == 6 * sizeof(void *), "component has six slots");
static_assert(offsetof(HostComponent, OnNewMapLoaded) == 4 * sizeof(void *), "map-loaded slot");

// Clears the window-open flag and raises the closing event. The game may
// shut down inside that call, running our free slot before it returns;
// callers set the run state to Finished first and touch nothing owned after.
void Host_RequestClose(void);
